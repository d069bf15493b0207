# The names file's limit has its home in the web server's script, which is
# installed as it is; the programs are built with the number it holds.
set(kiv_webserver_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/webserver.lua)
file(STRINGS ${kiv_webserver_script} kiv_names_max REGEX "^local names_max = [0-9]+$")
string(REGEX REPLACE "^local names_max = " "" kiv_names_max "${kiv_names_max}")
if(NOT kiv_names_max MATCHES "^[0-9]+$")
  message(FATAL_ERROR "scripts/webserver.lua holds no line \"local names_max = N\"")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kiv_webserver_script})
