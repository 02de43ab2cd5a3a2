# Sourced by the sequence benchmarks: sets `sources` to the shipped 1080p cel frames in the
# shared/frames folder beside the repository ($repo), or to the repo's own sample without it.
sources=()
for f in h00 h01 h02; do
    [[ -f "$repo/../shared/frames/${f}_aliased.png" ]] && sources+=("$repo/../shared/frames/${f}_aliased.png")
done
((${#sources[@]})) || sources=("$repo/samples/cel.png")
