# Lays the folders, the rasterizer link and the print logs. Existing print logs
# are kept as they are: a reinstall must never lose the user's job history.
#
# Rights, the same as the Debian package's postinst gives them:
#   bin/usb/config  lp:lp 0755        the USB filter writes printerInfo and printerState
#   bin/net/config  lp:lpadmin 2775   the network filter (lp) writes printerInfo; the setup
#                                     tool, run by a desktop user of group lpadmin, writes
#                                     netIpInfo; setgid keeps new files in group lpadmin
#   bin/net/config/netIpInfo  root:lpadmin 0664, so any lpadmin member can rewrite it in place
#   bin/*/print_log lp:lp 0644        appended to by the filters, read by the user
set(root "$ENV{DESTDIR}${ZLP_PREFIX}")

# Debian's maintained Ghostscript is the rasterizer; the filters call it by a
# fixed path inside the driver tree.
file(MAKE_DIRECTORY "${root}/bin/usb/zlp5520nw/bin")
file(CREATE_LINK /usr/bin/gs "${root}/bin/usb/zlp5520nw/bin/gs" SYMBOLIC)
file(MAKE_DIRECTORY "${root}/bin/net")

if(NOT ZLP_INSTALL_RUNTIME_STATE)
  message(STATUS "Install tree: ${root} (print logs and config folders left to the package scripts)")
  return()
endif()

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
set(address "${root}/bin/net/config/netIpInfo")
if(NOT EXISTS "${address}")
  file(TOUCH "${address}")
endif()

# Only root can hand the folders to lp; a staged install as another user keeps them as they are.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND id -u lp RESULT_VARIABLE nolp OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND getent group lpadmin RESULT_VARIABLE nolpadmin OUTPUT_QUIET ERROR_QUIET)
if(uid STREQUAL "0" AND nolp EQUAL 0)
  foreach(build usb net)
    execute_process(COMMAND chown lp:lp "${root}/bin/${build}/config" "${root}/bin/${build}/print_log")
  endforeach()
  if(nolpadmin EQUAL 0)
    execute_process(COMMAND chown lp:lpadmin "${root}/bin/net/config")
    execute_process(COMMAND chmod 2775 "${root}/bin/net/config")
    execute_process(COMMAND chown root:lpadmin "${address}")
    execute_process(COMMAND chmod 0664 "${address}")
  endif()
endif()
message(STATUS "Install tree: ${root}")
