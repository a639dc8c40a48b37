# SPDX-License-Identifier: MIT
# Converts every input named in INPUTS/manifest.txt with the Linux build's imabox tool, keeping
# for each NAME the output REF/NAME (when one is written), the console text REF/NAME.txt and the
# exit status REF/NAME.status:
#   cmake -DTOOL=path/to/imabox -DINPUTS=dir -DREF=dir -P linux_reference.cmake
file(REMOVE_RECURSE ${REF})
file(MAKE_DIRECTORY ${REF})
file(STRINGS ${INPUTS}/manifest.txt names)
list(LENGTH names count)
if(count EQUAL 0)
  message(FATAL_ERROR "${INPUTS}/manifest.txt lists no input")
endif()
foreach(name IN LISTS names)
  execute_process(COMMAND ${TOOL} convert ${INPUTS}/${name} ${REF}/${name}
                  OUTPUT_FILE ${REF}/${name}.txt RESULT_VARIABLE status)
  file(WRITE ${REF}/${name}.status "${status}")
  message(STATUS "${name}: ${status}")
endforeach()
