# Run by CPack after the packages are built. CPack gives every package with a
# library under /usr/lib a postinst and a postrm that call ldconfig, and has
# no setting to leave them out; the ldconfig trigger (debian/triggers) does
# that work once per dpkg run. So the two scripts are taken out again, and
# dpkg -r leaves nothing behind. A script that does anything else stops here.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(dir ${CPACK_TEMPORARY_DIRECTORY}/ek-repack)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND dpkg-deb -R ${deb} ${dir} COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    if(EXISTS ${dir}/DEBIAN/${script})
      file(READ ${dir}/DEBIAN/${script} text)
      string(REGEX REPLACE "#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|[ \t\n]"
                           "" rest "${text}")
      if(NOT rest STREQUAL "")
        message(FATAL_ERROR "${deb}: ${script} does more than call ldconfig:\n${text}")
      endif()
      file(REMOVE ${dir}/DEBIAN/${script})
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${dir} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${dir})
endforeach()
