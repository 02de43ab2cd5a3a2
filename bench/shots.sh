#!/usr/bin/env bash
# The Shots benchmark: a 100-frame 1920x1080 PNG sequence through `telvix smooth` at one job
# and at all cores, beside oiiotool decoding and encoding the same frames with the same
# compression (the library's default) and thread count: the floor for this job.
#
# Usage: bench/shots.sh [BUILD_DIR] [FRAMES]   (default: build, 100)
# Frames are made from the cel frames h00..h02 in tests/frames, or from samples/cel.png when
# those are not there.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
frames=${2:-100}
telvix="$build/cli/telvix"
[[ -x "$telvix" ]] || { echo "build $telvix first (cmake --build $build)" >&2; exit 2; }
command -v oiiotool >/dev/null || { echo "oiiotool is needed (apt-get install openimageio-tools)" >&2; exit 2; }
cores=$(nproc)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
source "$repo/bench/shipped_frames.sh"
for ((i = 1; i <= frames; i++)); do
    cp "${sources[$(((i - 1) % ${#sources[@]}))]}" "$work/in/shot.$(printf %04d "$i").png"
done

# Wall-clock seconds of a command, the page cache warm and the output folder fresh.
seconds() {
    rm -rf "$work/out" && mkdir -p "$work/out"
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
cat "$work"/in/* >/dev/null

t1=$(seconds "$telvix" smooth "$work/in/shot.####.png" "$work/out/shot.####.png" --jobs 1 --quiet)
tn=$(seconds "$telvix" smooth "$work/in/shot.####.png" "$work/out/shot.####.png" --jobs "$cores" --quiet)
# oiiotool as a compositor runs it on a sequence: one command, frames in turn, N threads.
# --no-autopremult keeps the alpha as stored, as telvix does.
to=$(seconds oiiotool --threads "$cores" --no-autopremult --frames "1-$frames" \
    "$work/in/shot.#.png" -o "$work/out/shot.#.png")
# oiiotool with the frames spread over the cores, one process per frame: its best case here.
tp=$(seconds bash -c "seq 1 $frames | xargs -P $cores -I{} sh -c 'f=\$(printf %04d {}); \
    oiiotool --threads 1 --no-autopremult \"$work/in/shot.\$f.png\" -o \"$work/out/shot.\$f.png\"'")

fmt() { printf '%.2f' "$1"; }
fps() { echo "$frames / $1" | bc -l | xargs printf '%.1f'; }
echo "Shots: $frames frames 1920x1080 RGBA 8-bit PNG, $cores cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
printf '%-44s %8s s  %6s fps\n' "telvix smooth --jobs 1" "$(fmt "$t1")" "$(fps "$t1")"
printf '%-44s %8s s  %6s fps\n' "telvix smooth --jobs $cores" "$(fmt "$tn")" "$(fps "$tn")"
printf '%-44s %8s s  %6s fps\n' "oiiotool --threads $cores --frames (one by one)" "$(fmt "$to")" "$(fps "$to")"
printf '%-44s %8s s  %6s fps\n' "oiiotool per frame, $cores at once" "$(fmt "$tp")" "$(fps "$tp")"
echo "speed-up, all cores over one job:            $(fmt "$(echo "$t1 / $tn" | bc -l)")x (target >= 1.8 on 2 cores)"
echo "telvix all cores / oiiotool --threads $cores:     $(fmt "$(echo "$tn / $to" | bc -l)") (target <= 1.3)"
echo "telvix all cores / oiiotool $cores frames at once: $(fmt "$(echo "$tn / $tp" | bc -l)")"
