#!/bin/sh
# Makes a delay-load import library of a system DLL from the toolchain's
# ordinary import library of it:
#   make-delay-lib.sh NM DLLTOOL IMPORT_LIB DLL_NAME OUT
set -eu
nm=$1 dlltool=$2 import_lib=$3 dll=$4 out=$5
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  "$nm" -g --defined-only "$import_lib" | sed -n 's/^.* I __imp_//p' | sort -u
} >"$out.def"
"$dlltool" --input-def "$out.def" --dllname "$dll" --output-delaylib "$out"
