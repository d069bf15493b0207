# Run by cpack on each package it made: Installed-Size counts the program
# installed under five names once (CPack counts every link as a copy).
foreach(deb ${CPACK_PACKAGE_FILES})
  set(dir ${deb}.tree)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND dpkg-deb -R ${deb} ${dir} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND du -k -s --apparent-size --exclude=DEBIAN ${dir}
                  OUTPUT_VARIABLE usage COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "^[0-9]+" size "${usage}")
  file(READ ${dir}/DEBIAN/control control)
  string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${size}" control "${control}")
  file(WRITE ${dir}/DEBIAN/control "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${dir} ${deb} OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${dir})
endforeach()
