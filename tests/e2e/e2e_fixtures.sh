#!/usr/bin/env bash
# Makes the installers the end-to-end tests run:
#   e2e_fixtures.sh BUILD_DIR QUERY_CHILD_EXE OUT_DIR
# package.exe / next_package.exe   signed offline packages of this build and
#                                  of the later test version (bin/next)
# killable_package.exe / killable_next_package.exe   the same, of the builds
#                                  that take the kill switches (bin/killable)
# unsigned_package.exe, other_signer_package.exe   packages that must be refused
# netinstaller.exe                 this build, signed, carrying server tracking data
# next_netinstaller.exe            the later version, without a payload
# other_stream_package.exe         signed, carrying the package, answering
#                                  for another stream (the query child)
set -euo pipefail
build=$1
query_child=$2
out=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
make_package() { "$root/tools/make-package" --build "$build" "$@" >/dev/null; }

rm -rf "$out"
mkdir -p "$out"
make_package --sign "$out/certs" "$out/package.exe"
make_package --sign "$out/certs" --installer "$build/bin/next/installer.exe" "$out/next_package.exe"
# The same two built with the kill sweep's switches, which the shipped one ignores.
make_package --sign "$out/certs" --installer "$build/bin/killable/installer.exe" \
  "$out/killable_package.exe"
make_package --sign "$out/certs" --installer "$build/bin/killable/next/installer.exe" \
  "$out/killable_next_package.exe"
make_package "$out/unsigned_package.exe"
make_package --sign "$out/certs" --signer other "$out/other_signer_package.exe"
# Signed, as released installers are: only a signed installer checks the
# signature of the package it downloads.
cp "$build/bin/installer.exe" "$out/netinstaller.unsigned"
printf 'campaign=e2e' >"$out/tracking_data"
python3 "$root/tools/append_trailer.py" "$out/netinstaller.unsigned" "$out/tracking_data" align
"$root/tools/make-test-cert" sign "$out/certs" signer "$out/netinstaller.unsigned" "$out/netinstaller.exe"
rm "$out/netinstaller.unsigned"
cp "$build/bin/next/installer.exe" "$out/next_netinstaller.exe"
"$root/tools/make-package" --build "$build" --folder "$out/other_stream" >/dev/null
(cd "$out/other_stream" && 7zz a -bd -bso0 -bsp0 -mx=1 "$out/other_stream.7z" .)
cp "$query_child" "$out/other_stream.unsigned"
python3 "$root/tools/append_trailer.py" "$out/other_stream.unsigned" "$out/other_stream.7z" align
"$root/tools/make-test-cert" sign "$out/certs" signer "$out/other_stream.unsigned" \
  "$out/other_stream_package.exe"
rm -rf "$out/other_stream" "$out/other_stream.7z" "$out/other_stream.unsigned"
