# SPDX-License-Identifier: ISC
# Run by CPack on the staged files before it packs them: drops the
# compiler's .comment section, which strip leaves in the binary.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/dovrel"
  "${CPACK_TEMPORARY_DIRECTORY}/*/bin/dovrel")
list(REMOVE_DUPLICATES binaries)
foreach(binary IN LISTS binaries)
  execute_process(COMMAND objcopy --remove-section=.comment "${binary}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objcopy failed on ${binary}")
  endif()
endforeach()
if(NOT binaries)
  message(FATAL_ERROR "no staged dovrel binary under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
