# CPack pre-build script: compresses the staged manual pages with gzip -9n, as Debian packages
# ship them (-n keeps the name and time stamp out, so the package is reproducible).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot compress ${page}")
  endif()
endforeach()
