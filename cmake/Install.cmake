# Installation of the program and its manual page, the Debian package (CPack) and an uninstall
# target. Included from the top-level CMakeLists.txt after the program's target is defined.
include(GNUInstallDirs)

# The one setting of the package's maintainer: the control file, the copyright file and the
# changelog name it.
set(FRIENDLY_PACKAGE_MAINTAINER
    "The friendlyNumbers developers <maintainers@users.noreply.c-seed-2b15eee3.example>"
    CACHE STRING "Maintainer of the Debian package, as 'name <address>'")

# The manual page is written by hand; the build only fills in the project's version.
set(FRIENDLY_MANUAL_PAGE "${PROJECT_BINARY_DIR}/man/friendlyNumbers.1")
configure_file("${PROJECT_SOURCE_DIR}/man/friendlyNumbers.1" "${FRIENDLY_MANUAL_PAGE}" @ONLY)

install(TARGETS friendlyNumbers RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${FRIENDLY_MANUAL_PAGE}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# The licence and the changelog, where Debian keeps them (the package's name is lower case): the
# copyright file in Debian's machine-readable form, made from LICENSE, and the changelog, whose
# entries are written by hand, compressed with gzip -9n (no name or time stamp, so that the
# package is reproducible).
set(FRIENDLY_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/friendlynumbers")
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" _friendly_licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _friendly_holder "${_friendly_licence}")
set(_friendly_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" _friendly_terms "${_friendly_licence}")
string(STRIP "${_friendly_terms}" _friendly_terms)
string(REPLACE "\n\n" "\n.\n" _friendly_terms "${_friendly_terms}")
string(REPLACE "\n" "\n " _friendly_terms "${_friendly_terms}")
file(WRITE "${PROJECT_BINARY_DIR}/doc/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${PROJECT_NAME}\n"
     "Upstream-Contact: ${FRIENDLY_PACKAGE_MAINTAINER}\n\n"
     "Files: *\n"
     "Copyright: ${_friendly_holder}\n"
     "License: MIT\n ${_friendly_terms}\n")
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${PROJECT_BINARY_DIR}/doc/changelog" @ONLY)
execute_process(COMMAND gzip -9nc "${PROJECT_BINARY_DIR}/doc/changelog"
                OUTPUT_FILE "${PROJECT_BINARY_DIR}/doc/changelog.gz" RESULT_VARIABLE _friendly_gzip)
if(NOT _friendly_gzip EQUAL 0)
  message(FATAL_ERROR "cannot compress the changelog")
endif()
install(FILES "${PROJECT_BINARY_DIR}/doc/copyright" "${PROJECT_BINARY_DIR}/doc/changelog.gz"
        DESTINATION "${FRIENDLY_DOC_DIR}")

# Uninstall list. CMake's own install_manifest.txt is rewritten by every install from this build
# tree, CPack's staging installs included, and leaves DESTDIR out: after `cpack` it would name the
# staging files, and after a staged install the files under the prefix itself. This last rule
# keeps its own list, written by RecordInstall.cmake.
set(FRIENDLY_INSTALLED_LIST "${PROJECT_BINARY_DIR}/installed_files.txt")
install(CODE "set(FRIENDLY_INSTALLED_LIST \"${FRIENDLY_INSTALLED_LIST}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/RecordInstall.cmake\")")

add_custom_target(uninstall
  COMMAND "${CMAKE_COMMAND}" "-DFRIENDLY_INSTALLED_LIST=${FRIENDLY_INSTALLED_LIST}"
          -P "${CMAKE_CURRENT_LIST_DIR}/Uninstall.cmake"
  COMMENT "Removing the files of the last install"
  VERBATIM)

# Debian package: `cpack -G DEB` in the build tree. Its maintainer (set above) is also the
# contact of the copyright file and the signature of the changelog.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME friendlyNumbers)
set(CPACK_PACKAGE_VENDOR "The friendlyNumbers developers")
set(CPACK_PACKAGE_CONTACT "${FRIENDLY_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "parallel search for friendly number pairs")
# The long description, as lines of the package's control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "friendlyNumbers LOW HIGH prints every pair of 32-bit integers from LOW to HIGH"
       "whose divisor sum over the number is the same fraction in lowest terms, then"
       "the wall-clock time of the search. The work is fixed (trial division of every"
       "number, comparison of every pair) and runs on all processors through OpenMP,"
       "so the printed time also serves as a benchmark.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION math)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from the binary's shared libraries through dpkg-shlibdeps, which CPack runs on
# the files that `file` reports as ELF; without either tool they are named here (those of a g++
# build with libgomp).
find_program(FRIENDLY_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(FRIENDLY_FILE file)
if(FRIENDLY_DPKG_SHLIBDEPS AND FRIENDLY_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libgomp1, libstdc++6")
endif()
# Debian compresses manual pages; the staged page is compressed before the package is made.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/CompressManPages.cmake")
include(CPack)
