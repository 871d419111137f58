# Lays the folders, the rasterizer link and the print logs. Existing print logs
# are kept as they are: a reinstall must never lose the user's job history.
set(root "$ENV{DESTDIR}${ZLP_PREFIX}")

foreach(build usb net)
  file(MAKE_DIRECTORY "${root}/bin/${build}/config")
  set(log "${root}/bin/${build}/print_log")
  if(NOT EXISTS "${log}")
    file(TOUCH "${log}")
  endif()
  file(CHMOD "${root}/bin/${build}" "${root}/bin/${build}/config"
       DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                             WORLD_READ WORLD_EXECUTE)
  file(CHMOD "${log}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# Debian's maintained Ghostscript is the rasterizer; the filters call it by a
# fixed path inside the driver tree.
file(MAKE_DIRECTORY "${root}/bin/usb/zlp5520nw/bin")
file(CREATE_LINK /usr/bin/gs "${root}/bin/usb/zlp5520nw/bin/gs" SYMBOLIC)

# Only root can hand the folders to lp; a staged install as another user keeps them as they are.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND id -u lp RESULT_VARIABLE nolp OUTPUT_QUIET ERROR_QUIET)
if(uid STREQUAL "0" AND nolp EQUAL 0)
  foreach(build usb net)
    execute_process(COMMAND chown lp:lp "${root}/bin/${build}/config" "${root}/bin/${build}/print_log")
  endforeach()
endif()
message(STATUS "Install tree: ${root}")
