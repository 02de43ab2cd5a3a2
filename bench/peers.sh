#!/usr/bin/env bash
# Times Telvix beside two peers on the shipped 1080p cel frames, one core each, in one run:
#   G'MIC's anti-alias filter   gmic in.png fx_smooth_antialias 5,10,0.8 -o out.png
#   ImageMagick's 3x3 mean      convert in.png -statistic Mean 3x3 out.png
# Each peer is also timed with decode and encode alone (gmic in.png -o out.png, convert in.png
# out.png), so that its filtering time is the difference. Telvix's render is timed in process
# (bench/render_driver, no file I/O), and the telvix command end to end with its I/O.
#
#   bench/peers.sh [BUILD_DIR]      (default build-speed; needs render_driver and telvix built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-speed}
frames=${TELVIX_FRAMES:-tests/frames}

need=()
command -v gmic >/dev/null || need+=(gmic)
[ -x /usr/bin/convert ] || need+=(imagemagick)
command -v hyperfine >/dev/null || need+=(hyperfine)
if [ ${#need[@]} -gt 0 ]; then
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get install -y "${need[@]}"
fi
# The Debian binary, not any wrapper earlier in PATH.
convert=/usr/bin/convert

# One core for everyone: the peers' thread pools are limited and every process is pinned.
export OMP_NUM_THREADS=1 MAGICK_THREAD_LIMIT=1
pin="taskset -c 0"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Median wall time in ms of a command, by hyperfine.
median() {
    hyperfine --style none --warmup 1 --runs "${RUNS:-5}" --export-json "$out/h.json" "$1" \
        >/dev/null 2>&1
    python3 -c "import json;print('%.1f'%(json.load(open('$out/h.json'))['results'][0]['median']*1000))"
}

printf '| frame | Telvix render | Telvix floor | telvix smooth (with I/O) | gmic I/O | gmic anti-alias | gmic filtering | convert I/O | convert 3x3 mean | convert filtering | gmic filtering / Telvix |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|\n'
for f in h00 h01 h02; do
    in="$frames/${f}_aliased.png"
    [ -f "$in" ] || continue
    ours=$($pin "$build/bench/render_driver" "$in" --repeat 20 | head -1 | awk '{print $3}')
    floor=$($pin "$build/bench/render_driver" "$in" --repeat 20 --floor | head -1 | awk '{print $3}')
    cmd=$(median "$pin $build/cli/telvix smooth -q $in $out/t.png")
    gio=$(median "$pin gmic -v -1 $in -o $out/g.png")
    gaa=$(median "$pin gmic -v -1 $in fx_smooth_antialias 5,10,0.8 -o $out/g.png")
    cio=$(median "$pin $convert $in $out/c.png")
    cmean=$(median "$pin $convert $in -statistic Mean 3x3 $out/c.png")
    python3 - "$f" "$ours" "$floor" "$cmd" "$gio" "$gaa" "$cio" "$cmean" <<'PY'
import sys
f, ours, floor, cmd, gio, gaa, cio, cmean = sys.argv[1], *map(float, sys.argv[2:])
gf, cf = gaa - gio, cmean - cio
print(f"| {f} | {ours:.1f} | {floor:.1f} | {cmd:.1f} | {gio:.1f} | {gaa:.1f} | {gf:.1f} | "
      f"{cio:.1f} | {cmean:.1f} | {cf:.1f} | {gf / ours:.0f}x |")
PY
done
echo "(ms per 1920x1080 8-bit frame, one core, medians; $(uname -m), $(getconf _NPROCESSORS_ONLN) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs))"
