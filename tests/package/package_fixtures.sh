#!/usr/bin/env bash
# Makes the signed and unsigned executables the package tests read:
#   package_fixtures.sh BASE_EXE OUT_DIR
# BASE_EXE is a small console program; every file below is a copy of it,
# some with a payload trailer ("NVR", payload, 32-bit little-endian length)
# and some signed with the test certificates of tools/make-test-cert.
set -euo pipefail
base=$1
out=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
certs=$out/certs
sign() { "$root/tools/make-test-cert" sign "$certs" "$@"; }

append_trailer() { python3 "$root/tools/append_trailer.py" "$@"; }

rm -rf "$out"
mkdir -p "$out"
"$root/tools/make-test-cert" certs "$certs"

# A payload that starts with the 7z signature, and one of tracking data.
printf '7z\xbc\xaf\x27\x1c\x00\x04archive-body-%s' "$(seq -s, 1 200)" >"$out/archive_payload.bin"
printf 'tracking=abc123&partner=test' >"$out/tracking_payload.bin"

cp "$base" "$out/unsigned.exe"
sign signer "$base" "$out/signed.exe"
sign other "$base" "$out/signed_other.exe"

cp "$base" "$out/archive_inside.unsigned"
append_trailer "$out/archive_inside.unsigned" "$out/archive_payload.bin" align
sign signer "$out/archive_inside.unsigned" "$out/signed_archive_inside.exe"
rm "$out/archive_inside.unsigned"

cp "$out/signed.exe" "$out/signed_archive_outside.exe"
append_trailer "$out/signed_archive_outside.exe" "$out/archive_payload.bin"
cp "$out/signed.exe" "$out/signed_tracking_outside.exe"
append_trailer "$out/signed_tracking_outside.exe" "$out/tracking_payload.bin"

# The signed archive with one payload byte changed after signing.
python3 - "$out/signed_archive_inside.exe" "$out/signed_archive_tampered.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.index(b'archive-body-')
data[at] ^= 0x20
open(sys.argv[2], 'wb').write(data)
PY
# A whole package as the package builder makes it, signed.
"$root/tools/make-package" --sign "$certs" --build "$(dirname "$(dirname "$base")")" \
  "$out/built_package.exe" >/dev/null
echo "package fixtures ready in $out"
