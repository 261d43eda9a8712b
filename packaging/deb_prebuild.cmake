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
if(NOT CPACK_ORVANED_OBJCOPY)
  set(programs "")  # no objcopy found: the notes stay
endif()
foreach(file ${programs})
  execute_process(COMMAND "${CPACK_ORVANED_OBJCOPY}" --remove-section=.comment "${file}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objcopy ${file} failed")
  endif()
endforeach()

# The router's tarball leaves out what only a Debian machine reads: the systemd unit and
# lintian's overrides.
if(CPACK_GENERATOR STREQUAL "TGZ")
  file(GLOB debian_only "${CPACK_TEMPORARY_DIRECTORY}/*/lib/systemd"
       "${CPACK_TEMPORARY_DIRECTORY}/*/share/lintian")
  file(REMOVE_RECURSE ${debian_only})
  file(GLOB lib_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*/lib")
  foreach(dir ${lib_dirs})
    file(GLOB content LIST_DIRECTORIES true "${dir}/*")
    if(NOT content)
      file(REMOVE_RECURSE "${dir}")
    endif()
  endforeach()
endif()
