# SPDX-License-Identifier: MIT
# Writes the manual page and the shell completions from the tool's own option definitions.
#   cmake -DTOOL=<imabox> -DTEMPLATE=<docs/imabox.1.in> -DVERSION=<x.y.z> -DOUT=<dir>
#         [-DGZIP=<gzip>] -P GenerateDocs.cmake
# Writes OUT/imabox.1 (and OUT/imabox.1.gz when GZIP is given), OUT/completion/imabox (bash)
# and OUT/completion/_imabox (zsh).
# Without it, "@VERSION@" below would be read as a variable reference (policy CMP0053).
cmake_minimum_required(VERSION 3.16)
foreach(var TOOL TEMPLATE VERSION OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "GenerateDocs.cmake: ${var} is not set")
  endif()
endforeach()

function(run_docs what result)
  execute_process(COMMAND ${TOOL} _docs ${what}
    OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} _docs ${what} failed (${status}): ${errors}")
  endif()
  string(REGEX REPLACE "\n$" "" text "${text}")
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

run_docs(man-synopsis synopsis)
run_docs(man-commands commands)
run_docs(man-options options)
file(READ ${TEMPLATE} page)
foreach(part SYNOPSIS COMMANDS OPTIONS)
  string(TOLOWER ${part} var)
  string(FIND "${page}" "\n@${part}@\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${TEMPLATE} has no line @${part}@")
  endif()
  string(REPLACE "\n@${part}@\n" "\n${${var}}\n" page "${page}")
endforeach()
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
file(WRITE ${OUT}/imabox.1.new "${page}")
file(COPY_FILE ${OUT}/imabox.1.new ${OUT}/imabox.1 ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}/imabox.1.new)
if(GZIP)
  # -n: no name or time stamp in the archive, so the same page always compresses the same.
  execute_process(COMMAND ${GZIP} -9n -c ${OUT}/imabox.1 OUTPUT_FILE ${OUT}/imabox.1.gz
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${GZIP} failed on ${OUT}/imabox.1")
  endif()
endif()

run_docs(bash bash)
file(WRITE ${OUT}/completion/imabox "${bash}\n")
run_docs(zsh zsh)
file(WRITE ${OUT}/completion/_imabox "${zsh}\n")
