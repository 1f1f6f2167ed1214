# Last install rule: writes the files installed so far, DESTDIR included, one per line to
# FRIENDLY_INSTALLED_LIST, for the uninstall target. CPack's staging installs (always under
# _CPack_Packages) are not recorded, so a package build does not replace a real install's list.
set(root "$ENV{DESTDIR}")
if(NOT "${root}${CMAKE_INSTALL_PREFIX}" MATCHES "/_CPack_Packages/")
  if(root)
    get_filename_component(root "${root}" ABSOLUTE)
  endif()
  list(TRANSFORM CMAKE_INSTALL_MANIFEST_FILES PREPEND "${root}" OUTPUT_VARIABLE installed)
  list(JOIN installed "\n" installed)
  file(WRITE "${FRIENDLY_INSTALLED_LIST}" "${installed}\n")
endif()
