#!/bin/sh
# gallery_run.sh BUILD_DIR GALLERY DPI FONT LANGUAGES [ARGS...]
# Runs ui_gallery at DPI with the dialog fonts drawn in FONT ("default" keeps
# Wine's), for the comma-separated LANGUAGES, and puts the registry back.
# Wine reads both when a process starts. Wine's font linking uses only the
# first linked font for every character, so a script Tahoma lacks is shown
# with a stand-in font that has Latin letters too (see scripts/screenshots).
set -u
build_dir=$1 gallery=$2 dpi=$3 font=$4 languages=$5
shift 5
run() { "$build_dir/wine-exec" "$@" >/dev/null 2>&1; }
desktop='HKCU\Control Panel\Desktop'
substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
restore() {
  run reg add "$desktop" /v LogPixels /t REG_DWORD /d 96 /f
  run reg add "$substitutes" /v 'MS Shell Dlg' /d Tahoma /f
  run reg add "$substitutes" /v 'MS Shell Dlg 2' /d Tahoma /f
  run reg delete "$substitutes" /v 'Segoe UI' /f
}
trap restore EXIT
run reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f
if [ "$font" != default ]; then
  for face in 'MS Shell Dlg' 'MS Shell Dlg 2' 'Segoe UI'; do
    run reg add "$substitutes" /v "$face" /d "$font" /f
  done
fi
"$build_dir/wine-exec" "$gallery" "--languages=$languages" "$@"
