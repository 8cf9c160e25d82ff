# cmake -DSOURCE=<header> -DROOT=<source tree> -DOUTPUT=<file> -P PublishHeader.cmake
#
# Writes the one-file header that hosts of the shared library get: SOURCE with every
# `#include "<path>"` (a path below ROOT) replaced by that file's text, so hosts need no folder of
# the source tree. The output is rewritten only when it changes, so hosts rebuild only then.
foreach(variable SOURCE ROOT OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "PublishHeader.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ "${SOURCE}" text)
string(REGEX MATCHALL "#include \"[^\"\n]+\"" includes "${text}")
foreach(include IN LISTS includes)
  string(REGEX REPLACE "^#include \"(.*)\"$" "\\1" path "${include}")
  if(NOT EXISTS "${ROOT}/${path}")
    message(FATAL_ERROR "${SOURCE}: ${path} is not a file of ${ROOT}")
  endif()
  file(READ "${ROOT}/${path}" body)
  string(REPLACE "${include}" "/* ---- ${path} ---- */\n${body}/* ---- end of ${path} ---- */" text "${text}")
endforeach()
file(RELATIVE_PATH shown "${ROOT}" "${SOURCE}")
set(text "/* Generated from ${shown} at build time; edit that file instead. */\n${text}")

if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
