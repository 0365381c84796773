#!/usr/bin/env bash
# Times tintabrel-cli recolour on a folder of small sprites (PNG in and out), where most of the wall
# time is making every output durable before it takes its name. Prints the best of five runs (wall
# and CPU seconds) for the default jobs and for -j 1. Builds nothing: give the build folder.
#
#   bench/batch-sync.sh [BUILD_DIR] [SPRITES]     (default: build, 200)
#
# The files go to a folder under the current one, so that they land on a disk and not in memory.
set -euo pipefail
source "$(dirname "$0")/timing.sh"

count=${2:-200}
find_cli batch-sync.sh "${1:-build}"
suite=$(cd "$(dirname "$0")/../tests/data/pngsuite" && pwd)
enter_work_dir "$PWD/batch-sync.XXXXXX"

# 32 x 32 sprites of the PNG suite (colour, palette, alpha), each used many times.
mkdir sprites
bases=("$suite/basn2c08.png" "$suite/basn3p08.png" "$suite/basn6a08.png" "$suite/tbrn2c08.png")
for i in $(seq 0 $((count - 1))); do cp "${bases[i % 4]}" "sprites/s$i.png"; done

# best_of JOBS: the fastest of five runs as wall and CPU seconds.
best_of() {
    local best="" line
    for _ in 1 2 3 4 5; do
        rm -rf out && mkdir out
        line=$( { /usr/bin/time -f '%e %U %S' "$cli" recolour --source 120 --tolerance 36 --target 300 -q \
                   -j "$1" --out-dir out sprites/*.png >/dev/null; } 2>&1 | tail -1)
        if [[ -z "$best" || $(awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { print (a < b) }') == 1 ]]; then
            best=$line
        fi
    done
    awk '{ printf "wall %.3f s  cpu %.3f s\n", $1, $2 + $3 }' <<<"$best"
}

echo "$count sprites of 32 x 32, $(nproc) cores"
echo "default jobs: $(best_of "$(nproc)")"
echo "-j 1:         $(best_of 1)"
