# Run by CPack between staging the files and building the Debian package: Debian ships manual
# pages and the changelog compressed.
file(GLOB_RECURSE compressed "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man8/*.8"
     "${CPACK_TEMPORARY_DIRECTORY}/*/share/doc/orvaned/changelog")
foreach(file ${compressed})
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
