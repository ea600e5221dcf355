# SPDX-License-Identifier: ISC
# Run by CPack on each package it has made. CPack gives the members of the
# .deb's ar archive the modes its files had on disk, which the builder's
# umask decides; every member header is set to 0644 here, as dpkg-deb
# writes them, so that the package's bytes do not depend on the umask.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE "${deb}" end)
  set(at 8) # past "!<arch>\n"
  while(at LESS end)
    file(READ "${deb}" header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 size)
    string(STRIP "${size}" size)
    if(NOT size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${at}")
    endif()
    math(EXPR mode_at "${at} + 40")
    execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc 2>/dev/null"
      "${deb}" ${mode_at} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${deb}: cannot set the mode of the ar member at byte ${at}")
    endif()
    # Members start on even bytes.
    math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()
