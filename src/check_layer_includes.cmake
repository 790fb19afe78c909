# cmake -DFOLDER=<src/x> -DLIBRARY=<name> -DALLOWED=<folders> -DLAYERS=<folders>
#       -DSTAMP=<file> -P check_layer_includes.cmake
# Fails when a file of FOLDER includes a header of a layer folder (one of
# LAYERS) that is neither its own nor one of the libraries it links (ALLOWED).
cmake_minimum_required(VERSION 3.25)
file(GLOB_RECURSE files ${FOLDER}/*.h ${FOLDER}/*.cc)
set(failures "")
foreach(file IN LISTS files)
  file(STRINGS ${file} includes REGEX "^#include \"[a-z_]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" folder "${line}")
    if(folder IN_LIST LAYERS AND NOT folder IN_LIST ALLOWED)
      string(REGEX REPLACE "^#include (\"[^\"]+\").*" "\\1" header "${line}")
      string(APPEND failures "\n  ${file}: includes ${header}")
    endif()
  endforeach()
endforeach()
if(failures)
  string(REPLACE ";" ", " allowed "${ALLOWED}")
  message(FATAL_ERROR "${LIBRARY} includes a layer it does not link (it may include "
                      "${allowed}):${failures}")
endif()
file(TOUCH ${STAMP})
