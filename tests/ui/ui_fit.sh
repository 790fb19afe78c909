#!/bin/sh
# Every label of the window fits its control in every carried language, at
# 96, 144 and 192 DPI; scripts Wine's Tahoma lacks are measured in stand-in fonts.
set -u
build_dir=$1 gallery=$2
here=$(dirname "$0")
latin=$(grep -v -x -E 'ar|he|fa|hi|th|ja|ko|zh-CN|zh-TW' "$here/../../host/languages.txt" | paste -sd, -)
status=0
for dpi in 96 144 192; do
  sh "$here/gallery_run.sh" "$build_dir" "$gallery" "$dpi" default "$latin" || status=1
  sh "$here/gallery_run.sh" "$build_dir" "$gallery" "$dpi" 'DejaVu Sans' ar,he,fa || status=1
  sh "$here/gallery_run.sh" "$build_dir" "$gallery" "$dpi" FreeSans hi || status=1
  sh "$here/gallery_run.sh" "$build_dir" "$gallery" "$dpi" FreeSerif th || status=1
  sh "$here/gallery_run.sh" "$build_dir" "$gallery" "$dpi" 'WenQuanYi Micro Hei' ja,ko,zh-CN,zh-TW ||
    status=1
done
exit $status
