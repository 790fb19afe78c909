#!/bin/sh
# Fails when an executable imports a DLL that Windows may take from the
# executable's own folder (the downloads folder of a downloaded installer)
# instead of the system folder: only ntdll.dll, which the system maps itself,
# and the KnownDLLs that Windows 7 and Windows 10 share are always taken from
# the system folder.
#   imports_check.sh OBJDUMP EXECUTABLE...
set -eu
objdump=$1
shift
known="ntdll advapi32 clbcatq comdlg32 difxapi gdi32 imagehlp imm32 kernel32 msctf msvcrt
       normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shell32 shlwapi user32
       wldap32 ws2_32"
status=0
for file in "$@"; do
  dlls=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
  if [ -z "$dlls" ]; then
    echo "$file: no import table"
    status=1
  fi
  for dll in $dlls; do
    name=$(printf '%s' "${dll%.*}" | tr 'A-Z' 'a-z')
    found=
    for known_dll in $known; do
      [ "$name" = "$known_dll" ] && found=1
    done
    if [ -z "$found" ]; then
      echo "$file imports $dll, which Windows may load from the executable's folder"
      status=1
    fi
  done
done
exit $status
