# Installation of the program and its manual page, the Debian package (CPack) and an uninstall
# target. Included from the top-level CMakeLists.txt after the program's target is defined.
include(GNUInstallDirs)

# The manual page is written by hand; the build only fills in the project's version.
set(FRIENDLY_MANUAL_PAGE "${PROJECT_BINARY_DIR}/man/friendlyNumbers.1")
configure_file("${PROJECT_SOURCE_DIR}/man/friendlyNumbers.1" "${FRIENDLY_MANUAL_PAGE}" @ONLY)

install(TARGETS friendlyNumbers RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${FRIENDLY_MANUAL_PAGE}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

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

# Debian package: `cpack -G DEB` in the build tree.
set(FRIENDLY_PACKAGE_MAINTAINER
    "friendlyNumbers maintainers <maintainers@users.noreply.c-seed-2b15eee3.example>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME friendlyNumbers)
set(CPACK_PACKAGE_VENDOR "friendlyNumbers maintainers")
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
