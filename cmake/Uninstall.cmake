# Removes every file that the last `cmake --install` of the build tree wrote, as listed in
# FRIENDLY_INSTALLED_LIST. Directories are left in place: they may hold other programs' files.
if(NOT EXISTS "${FRIENDLY_INSTALLED_LIST}")
  message(FATAL_ERROR "nothing to uninstall: ${FRIENDLY_INSTALLED_LIST} does not exist "
                      "(run cmake --install first)")
endif()

file(STRINGS "${FRIENDLY_INSTALLED_LIST}" installed_files)
foreach(installed_file IN LISTS installed_files)
  if(NOT EXISTS "${installed_file}" AND NOT IS_SYMLINK "${installed_file}")
    message(STATUS "Already gone: ${installed_file}")
    continue()
  endif()
  message(STATUS "Removing: ${installed_file}")
  file(REMOVE "${installed_file}")
  if(EXISTS "${installed_file}" OR IS_SYMLINK "${installed_file}")
    message(FATAL_ERROR "cannot remove ${installed_file}")
  endif()
endforeach()
