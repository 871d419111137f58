# Lays the folders, the rasterizer link and the print logs. Existing print logs
# are kept as they are: a reinstall must never lose the user's job history.
#
# Rights, the same as the Debian package's postinst gives them:
#   bin/usb/config  lp:lp 0755        the USB filter writes printerInfo and printerState
#   bin/net/config  lp:lpadmin 2775   the network filter (lp) writes printerInfo; the setup
#                                     tool, run by a desktop user of group lpadmin, writes
#                                     netIpInfo; setgid keeps new files in group lpadmin
#   bin/net/config/netIpInfo  root:lpadmin 0664, so any lpadmin member can rewrite it in place
#   bin/*/print_log lp:lpadmin 0640   appended to by the filters, read by printer administrators:
#                                     it holds every user's job titles
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

# The folders and files below may be reached by lp or the lpadmin group, who could have
# planted a link at any of them; zlp-state-rights never follows one (see its header), so a
# reinstall as root cannot be made to change some other file. Staged as another user, the
# tree gets that user's owner and group and the same modes.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND id -u lp RESULT_VARIABLE nolp OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND getent group lpadmin RESULT_VARIABLE nolpadmin OUTPUT_QUIET ERROR_QUIET)
if(uid STREQUAL "0" AND nolp EQUAL 0)
  set(tree root:root)
  set(filters lp:lp)
  set(admin lp:root)
  set(address root:root)
  if(nolpadmin EQUAL 0)
    set(admin lp:lpadmin)
    set(address root:lpadmin)
  endif()
else()
  execute_process(COMMAND id -un OUTPUT_VARIABLE me OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND id -gn OUTPUT_VARIABLE mygroup OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(tree ${me}:${mygroup})
  set(filters ${me}:${mygroup})
  set(admin ${me}:${mygroup})
  set(address ${me}:${mygroup})
endif()

function(state_rights kind path rights mode)
  execute_process(COMMAND perl "${ZLP_STATE_RIGHTS}" ${kind} "${path}" ${rights} ${mode}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Install tree: ${path} could not be given ${rights} ${mode}")
  endif()
endfunction()

state_rights(dir "${root}/bin/usb" ${tree} 0755)
state_rights(dir "${root}/bin/net" ${tree} 0755)
state_rights(dir "${root}/bin/usb/config" ${filters} 0755)
state_rights(dir "${root}/bin/net/config" ${admin} 2775)
state_rights(file "${root}/bin/usb/print_log" ${admin} 0640)
state_rights(file "${root}/bin/net/print_log" ${admin} 0640)
state_rights(file "${root}/bin/net/config/netIpInfo" ${address} 0664)
message(STATUS "Install tree: ${root}")
