# SPDX-License-Identifier: MIT
# Runs imabox.exe encode and decode under Wine on every input of INPUTS/manifest.txt, in one batch
# per command, and the Linux build's tool on the same inputs: exit statuses and every output file
# must be the same.
#   cmake -DEMULATOR=wine64 -DEXE=imabox.exe -DTOOL=path/to/imabox -DINPUTS=dir -DOUT=dir
#         -P encode_decode_wine.cmake
file(REMOVE_RECURSE ${OUT})
file(STRINGS ${INPUTS}/manifest.txt names)
set(inputs)
foreach(name IN LISTS names)
  list(APPEND inputs ${INPUTS}/${name})
endforeach()

set(failures 0)
foreach(command encode decode)
  foreach(side linux windows)
    file(MAKE_DIRECTORY ${OUT}/${side}/${command})
  endforeach()
  execute_process(COMMAND ${TOOL} ${command} --quiet -j 2 -d ${OUT}/linux/${command} ${inputs}
                  RESULT_VARIABLE linux_status OUTPUT_QUIET ERROR_VARIABLE linux_errors)
  execute_process(COMMAND ${EMULATOR} ${EXE} ${command} --quiet -j 2 -d ${OUT}/windows/${command}
                          ${inputs}
                  RESULT_VARIABLE windows_status OUTPUT_QUIET ERROR_VARIABLE windows_errors)
  message(STATUS "${command}: Linux ${linux_status}, Windows ${windows_status}")
  if(NOT linux_status STREQUAL windows_status)
    message(SEND_ERROR "${command}: exit status ${windows_status} under Wine, ${linux_status} on "
                       "Linux\nWine:\n${windows_errors}\nLinux:\n${linux_errors}")
  endif()
  file(GLOB written RELATIVE ${OUT}/linux/${command} ${OUT}/linux/${command}/*)
  file(GLOB written_windows RELATIVE ${OUT}/windows/${command} ${OUT}/windows/${command}/*)
  if(NOT written STREQUAL written_windows)
    message(SEND_ERROR "${command}: Linux wrote [${written}], Windows [${written_windows}]")
  endif()
  list(LENGTH written count)
  if(count LESS 3)
    message(SEND_ERROR "${command}: only ${count} outputs: the comparison proves little")
  endif()
  foreach(name IN LISTS written)
    file(SHA256 ${OUT}/linux/${command}/${name} expected)
    if(EXISTS ${OUT}/windows/${command}/${name})
      file(SHA256 ${OUT}/windows/${command}/${name} actual)
    else()
      set(actual missing)
    endif()
    if(NOT expected STREQUAL actual)
      message(SEND_ERROR "${command} ${name}: the Windows output differs from Linux's")
    endif()
  endforeach()
endforeach()
