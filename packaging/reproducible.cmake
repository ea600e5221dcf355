# SPDX-License-Identifier: ISC
# Read by CPack before it packs. A package built without SOURCE_DATE_EPOCH
# carries the time of the source's last commit (outside a git checkout,
# the date of the changelog's first entry) in every time stamp, so that
# the same source packs to the same bytes wherever and whenever it is
# built. An explicit SOURCE_DATE_EPOCH wins.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_DOVREL_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    file(STRINGS "${CPACK_DOVREL_SOURCE_DIR}/packaging/changelog" signature REGEX "^ -- " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .*>  " "" released "${signature}")
    execute_process(COMMAND date -u -d "${released}" +%s
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  endif()
  if(rc EQUAL 0 AND epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  else()
    message(WARNING "dovrel: no commit or changelog date found; the package carries the build's time")
  endif()
endif()
