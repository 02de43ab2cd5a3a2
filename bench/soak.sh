#!/usr/bin/env bash
# The soak run (not part of CI: it takes several minutes): a 1,000-frame 512x288 PNG sequence
# through `telvix smooth` at all cores and at --jobs 1, every output compared byte for byte, and
# the peak resident memory of a 100-frame and a 1,000-frame run at all cores, to show that
# memory does not grow with the length of the sequence.
#
# Usage: bench/soak.sh [BUILD_DIR] [FRAMES]   (default: build, 1000)
# Frames are 512x288 windows cut at shifting places from the cel frames h00..h02 in
# tests/frames, or from samples/cel.png when those are not there, so that every frame differs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
frames=${2:-1000}
telvix="$build/cli/telvix"
[[ -x "$telvix" ]] || { echo "build $telvix first (cmake --build $build)" >&2; exit 2; }
command -v oiiotool >/dev/null || { echo "oiiotool is needed (apt-get install openimageio-tools)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is needed (apt-get install time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
source "$repo/bench/shipped_frames.sh"

# One oiiotool run per source writes all of that source's windows (it decodes the source once).
echo "making $frames frames..." >&2
for ((s = 0; s < ${#sources[@]}; s++)); do
    args=()
    for ((i = s + 1; i <= frames; i += ${#sources[@]})); do
        x=$(((i * 37) % 1400)); y=$(((i * 23) % 780))
        args+=(--dup --crop "512x288+$x+$y" --fullpixels -o "$work/in/shot.$(printf %04d "$i").png" --pop)
    done
    oiiotool --no-autopremult "${sources[$s]}" "${args[@]}"
done

# Runs telvix at `jobs` on frames 1-`count` into `out`; prints "seconds peak_kB".
run() {
    local jobs=$1 count=$2 out=$3
    rm -rf "$work/$out" && mkdir -p "$work/$out"
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$telvix" smooth "$work/in/shot.####.png" \
        "$work/$out/shot.####.png" --frames "1-$count" --jobs "$jobs" --quiet
    cat "$work/time.txt"
}
cores=$(nproc)
short=$((frames < 100 ? frames : 100))
read -r t100 m100 < <(run "$cores" "$short" short)
read -r tall mall < <(run "$cores" "$frames" all)
read -r tone mone < <(run 1 "$frames" one)
differing=0
for ((i = 1; i <= frames; i++)); do
    f="shot.$(printf %04d "$i").png"
    cmp -s "$work/all/$f" "$work/one/$f" || { echo "differs: $f" >&2; differing=$((differing + 1)); }
done
idle=$(/usr/bin/time -f "%M" "$telvix" --version 2>&1 >/dev/null | tail -1)

echo "frames: $frames (512x288 8-bit RGBA PNG), cores: $cores"
echo "$short frames, $cores jobs: ${t100} s, peak ${m100} kB"
echo "$frames frames, $cores jobs: ${tall} s, peak ${mall} kB"
echo "$frames frames, 1 job: ${tone} s, peak ${mone} kB"
echo "idle process (telvix --version): peak ${idle} kB"
echo "outputs differing between $cores jobs and 1 job: $differing of $frames"
((differing == 0))
