#!/usr/bin/env bash
# Makes the installers and full packages the package fetcher tests use:
#   fetcher_fixtures.sh INSTALLER_EXE QUERY_CHILD_EXE FETCHER_CHILD_EXE OUT_DIR
# A full package is a real installer executable carrying the package's 7z
# archive as its payload; the fetcher child, copied with an archive or a
# signature, plays the running installer.
set -euo pipefail
installer=$1
query_child=$2
fetcher_child=$3
out=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
certs=$out/certs
sign() { "$root/tools/make-test-cert" sign "$certs" "$@"; }
append_trailer() { python3 "$root/tools/append_trailer.py" "$@"; }

rm -rf "$out"
mkdir -p "$out/package/resources"
"$root/tools/make-test-cert" certs "$certs"

# The package: a few files in a folder, as 7-Zip packs them.
printf 'stand-in launcher\r\n' >"$out/package/launcher.exe"
seq 1 20000 >"$out/package/resources/numbers.txt"
(cd "$out/package" && 7zz a -bd -y -mx=5 "$out/package.7z" . >/dev/null)
# What another process would rather have unpacked.
mkdir -p "$out/decoy"
printf 'not the package\r\n' >"$out/decoy/launcher.exe"
(cd "$out/decoy" && 7zz a -bd -y -mx=5 "$out/decoy.7z" . >/dev/null)
# Starts with the 7z signature, then nothing a reader can use.
printf '7z\xbc\xaf\x27\x1c\x00\x04not really an archive' >"$out/broken.7z"

cp "$installer" "$out/full_package.exe"
append_trailer "$out/full_package.exe" "$out/package.7z"

cp "$installer" "$out/full_package.unsigned"
append_trailer "$out/full_package.unsigned" "$out/package.7z" align
sign signer "$out/full_package.unsigned" "$out/full_package_signed.exe"
sign other "$out/full_package.unsigned" "$out/full_package_other_signer.exe"
rm "$out/full_package.unsigned"

# A package with its own list of files, not in name order.
cp -r "$out/package" "$out/listed"
printf 'listed\r\n' >"$out/listed/zeta.txt"
printf 'zeta.txt\r\nresources\\numbers.txt\r\n' >"$out/listed/files_list"
(cd "$out/listed" && 7zz a -bd -y -mx=5 "$out/listed.7z" . >/dev/null)
cp "$installer" "$out/listed_package.exe"
append_trailer "$out/listed_package.exe" "$out/listed.7z"

# A folder stands where the package's list of files belongs.
cp -r "$out/package" "$out/list_folder"
mkdir "$out/list_folder/files_list"
printf 'held' >"$out/list_folder/files_list/held"
(cd "$out/list_folder" && 7zz a -bd -y -mx=5 "$out/list_folder.7z" . >/dev/null)
cp "$installer" "$out/list_folder_package.exe"
append_trailer "$out/list_folder_package.exe" "$out/list_folder.7z"

cp "$installer" "$out/no_payload_package.exe"
cp "$installer" "$out/broken_archive_package.exe"
append_trailer "$out/broken_archive_package.exe" "$out/broken.7z"
# Answers the version switch but names another stream.
cp "$query_child" "$out/other_stream_package.exe"
append_trailer "$out/other_stream_package.exe" "$out/package.7z"

# Running installers.
cp "$fetcher_child" "$out/offline_installer.exe"
append_trailer "$out/offline_installer.exe" "$out/package.7z"
cp "$fetcher_child" "$out/offline_broken_installer.exe"
append_trailer "$out/offline_broken_installer.exe" "$out/broken.7z"
sign signer "$fetcher_child" "$out/signed_installer.exe"
# A certificate table that starts past the end of the file.
python3 - "$fetcher_child" "$out/corrupt_installer.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
struct.pack_into('<II', data, pe + 0xA8, len(data) + 0x1000, 0x200)
open(sys.argv[2], 'wb').write(data)
PY
echo "fetcher fixtures ready in $out"
