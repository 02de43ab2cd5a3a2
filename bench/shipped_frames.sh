# Sourced by the sequence benchmarks: sets `sources` to the 1080p cel frames in tests/frames of
# the repository ($repo), or to the repo's own sample without them.
sources=()
for f in h00 h01 h02; do
    [[ -f "$repo/tests/frames/${f}_aliased.png" ]] && sources+=("$repo/tests/frames/${f}_aliased.png")
done
((${#sources[@]})) || sources=("$repo/samples/cel.png")
