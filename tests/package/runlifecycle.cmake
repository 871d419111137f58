# Picks the one .deb that package.build made and runs the lifecycle on it.
file(GLOB debs "${DEB_DIR}/printer-driver-zlp5520nw_*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one package in ${DEB_DIR}, found: ${debs}")
endif()
execute_process(COMMAND ${PYTHON} ${SCRIPT} --deb ${debs} --sim ${SIM} --sim-usb ${SIM_USB}
                        --programs "${PROGRAMS}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lifecycle.py failed (${rc})")
endif()
