# Run by CPack between staging the files and building each package (the Debian package and the
# router's tarball): Debian ships manual pages and the changelog compressed, and programs
# without the compiler's .comment notes (CPack's strip leaves them).
file(GLOB_RECURSE compressed "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man8/*.8"
     "${CPACK_TEMPORARY_DIRECTORY}/*/share/doc/orvaned/changelog")
foreach(file ${compressed})
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()

file(GLOB programs "${CPACK_TEMPORARY_DIRECTORY}/*/sbin/*" "${CPACK_TEMPORARY_DIRECTORY}/sbin/*")
foreach(file ${programs})
  execute_process(COMMAND "${CPACK_ORVANED_OBJCOPY}" --remove-section=.comment "${file}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objcopy ${file} failed")
  endif()
endforeach()
