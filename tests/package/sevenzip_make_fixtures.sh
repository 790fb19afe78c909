#!/usr/bin/env bash
# Makes the 7z archives of the sevenzip tests with 7-Zip itself (7zz), and
# 7-Zip's own extraction of each as the reference. Runs before the Wine tests
# (a CTest fixture); does nothing when the output is complete.
set -euo pipefail
out=${1:?output folder}
pack_blocks=$(cd "$(dirname "$0")/../../tools" && pwd)/pack-blocks
stamp=$out/.complete-$(cat "$0" "$pack_blocks" | sha1sum | cut -c1-12)
[ -f "$stamp" ] && exit 0
rm -rf "$out"
mkdir -p "$out/src" "$out/archives" "$out/ref"
export LC_ALL=C.UTF-8
dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

# A mixed tree: executables (for the branch filters), text, random bytes,
# empty files and folders, Unicode names.
src=$out/src/mixed
mkdir -p "$src/bin" "$src/docs/deep/er" "$src/empty folder/inner" "$src/ünïcödé 日本語 😀"
cp "$dlls/kernelbase.dll" "$dlls/msvcrt.dll" "$dlls/comctl32.dll" "$src/bin/"
seq 1 200000 >"$src/docs/numbers.txt"
head -c 1500000 /dev/urandom >"$src/docs/random.bin"
: >"$src/docs/empty.txt"
: >"$src/ünïcödé 日本語 😀/vide é.txt"
printf 'café 東京 🚀\n' >"$src/ünïcödé 日本語 😀/naïve 🚀.txt"
printf 'deep\n' >"$src/docs/deep/er/leaf.txt"
touch -d '2001-02-03 04:05:06.123456789' "$src/docs/deep/er/leaf.txt"

small=$out/src/small
mkdir -p "$small/d"
printf 'hello, small world\n' >"$small/d/a.txt"
printf 'second file\n' >"$small/b.txt"

many=$out/src/many
mkdir -p "$many"
for d in $(seq 1 30); do
  mkdir -p "$many/d$d"
  for f in $(seq 1 100); do echo "file $d/$f $RANDOM" >"$many/d$d/f$f.txt"; done
done

big=$out/src/big
mkdir -p "$big"
# Compressible but not trivial: 300 MiB of decimal numbers.
(seq 1 40000000 || true) | head -c 314572800 >"$big/numbers.txt"

# Sixteen blocks of 4 MiB, each with a dictionary as large: the memory tests.
blocks16=$out/src/blocks16
mkdir -p "$blocks16"
for n in $(seq 1 16); do (seq "$n" 2 100000000 || true) | head -c 4194304 >"$blocks16/part$n.txt"; done

# Repeats at every distance from 1 to 40, at lengths around the 16-byte
# pieces of the decoder's match copy, between random bytes so that each is
# coded as matches at its distance; then one run longer than an LZMA2 chunk.
periods=$out/src/periods
mkdir -p "$periods"
python3 - "$periods/periods.bin" <<'PY'
import random, sys
rng = random.Random(5)
with open(sys.argv[1], "wb") as f:
    for distance in range(1, 41):
        for length in (2, 15, 16, 17, 31, 32, 33, 47, 100, 273, 274, 600, 5000):
            f.write(rng.randbytes(64))
            f.write((rng.randbytes(distance) * (length // distance + 2))[:distance + length])
    f.write(bytes(3 << 20))
PY

make() {  # name source options...
  local name=$1 from=$2
  shift 2
  (cd "$from" && 7zz a -bd -bso0 -bsp0 "$@" "$out/archives/$name.7z" .)
  7zz x -bd -bso0 -bsp0 -o"$out/ref/$name" "$out/archives/$name.7z"
}
make copy "$src" -m0=Copy
make lzma "$src" -m0=LZMA
make lzma2 "$src" -m0=LZMA2
make periods "$periods" -m0=LZMA2
make bcj_lzma "$src" -m0=BCJ -m1=LZMA
make bcj2 "$src" -m0=BCJ2 -m1=LZMA -m2=LZMA -m3=LZMA -mb0s0:1 -mb0s1:2 -mb0s2:3
make bcj2_auto "$src" -mf=BCJ2
make arm64 "$src" -m0=ARM64 -m1=LZMA2
make delta "$src" -m0=Delta:4 -m1=LZMA2
make nonsolid "$src" -ms=off
make plain_header "$src" -mhc=off
make no_times "$src" -mtm=off
make lzma2_blocks "$src" -m0=LZMA2:d=64k -mmt=2 -ms=e
# LZMA streams that end with an end marker after their declared size: alone
# (-mf=off keeps 7-Zip from adding BCJ), behind BCJ, one folder per file, and
# a small one for the damage tests.
make lzma_eos "$src" -m0=LZMA:eos -mf=off
make bcj_lzma_eos "$src" -m0=BCJ -m1=LZMA:eos
make lzma_eos_nonsolid "$src" -m0=LZMA:eos -mf=off -ms=off
make small_eos "$small" -m0=LZMA:eos
make small "$small" -m0=LZMA2 -mhc=on
make small_plain "$small" -m0=LZMA -mhc=off
make many "$many" -mx=1
make big "$big" -mx=1 -mmt=2
# Several solid blocks, as the package builder lays a package out.
blocks() {  # name source count options...
  local name=$1 from=$2 count=$3
  shift 3
  "$pack_blocks" --blocks "$count" "$out/archives/$name.7z" "$from" "$@"
  7zz x -bd -bso0 -bsp0 -o"$out/ref/$name" "$out/archives/$name.7z"
}
blocks blocks1 "$src" 1 -m0=BCJ -m1=LZMA2
blocks blocks2 "$src" 2 -m0=BCJ -m1=LZMA2
blocks blocks_many "$src" 6 -mx=1
blocks blocks16 "$blocks16" 16 -m0=LZMA2:d=4m -mx=1
(cd "$small" && 7zz a -bd -bso0 -bsp0 -m0=PPMd "$out/archives/ppmd.7z" .)
touch "$stamp"
