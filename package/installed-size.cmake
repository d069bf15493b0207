# Run by cpack on each package it made: Installed-Size counts the program
# installed under five names once (CPack counts every link as a copy).
foreach(deb ${CPACK_PACKAGE_FILES})
  set(dir ${deb}.tree)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND dpkg-deb -R ${deb} ${dir} COMMAND_ERROR_IS_FATAL ANY)
  # The files and links alone: a directory's own size depends on the file
  # system the package was built on.
  execute_process(COMMAND find . -path ./DEBIAN -prune -o ! -type d -printf "%s\\n"
                  WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE sizes COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[0-9]+" sizes "${sizes}")
  set(bytes 0)
  foreach(one ${sizes})
    math(EXPR bytes "${bytes} + ${one}")
  endforeach()
  math(EXPR size "(${bytes} + 1023) / 1024")
  file(READ ${dir}/DEBIAN/control control)
  string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${size}" control "${control}")
  file(WRITE ${dir}/DEBIAN/control "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${dir} ${deb} OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${dir})
endforeach()
