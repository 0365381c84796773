#!/usr/bin/env bash
# Times a recolour batch of tintabrel-cli against the same batch as a game developer would script
# it in Python (Pillow and numpy, vectorised, one process: ../shared/peers/pillow_recolour.py),
# side by side in one run: the two run in turn, ROUNDS times each, on the same real sprites, and
# each writes a folder of PNG files. Prints the median wall and CPU seconds of each, and the
# median of the ratios taken round by round (a machine whose load drifts moves both alike).
# Builds nothing: give the build folder.
#
#   bench/batch-vs-python.sh [BUILD_DIR] [SPRITES_DIR] [ROUNDS]
#       (default: build, ../shared/corpus/sprites beside the checkout, 5)
#
# The outputs go to a folder under the current one, so that they land on a disk (and are synced
# there, as the tool always does) and not in memory. Needs Debian's python3 with python3-pil and
# python3-numpy (scripts/install-deps).
set -euo pipefail
source "$(dirname "$0")/timing.sh"

here=$(cd "$(dirname "$0")/.." && pwd)
find_cli batch-vs-python.sh "${1:-build}"
sprites=$(cd "${2:-$here/../shared/corpus/sprites}" && pwd)
rounds=${3:-5}
peer="$here/../shared/peers/pillow_recolour.py"
[[ -f "$peer" ]] || peer="$(dirname "$sprites")/../peers/pillow_recolour.py"
[[ -f "$peer" ]] || { echo "batch-vs-python.sh: pillow_recolour.py not found beside the corpus" >&2; exit 2; }
/usr/bin/python3 -c 'import numpy, PIL' 2>/dev/null ||
    { echo "batch-vs-python.sh: /usr/bin/python3 needs python3-pil and python3-numpy" >&2; exit 2; }
need /usr/bin/time batch-vs-python.sh "GNU time (/usr/bin/time)"
enter_work_dir "$PWD/batch-vs-python.XXXXXX"
files=("$sprites"/*.png)

# The same change on both sides: hues within 18 degrees of red (0) set to green (120).
ours_cmd=("$cli" recolour --from-hue 0 --tolerance 18 --target 120 -q --out-dir out-ours "${files[@]}")
# OPENBLAS_* (set on some machines for old OpenBLAS builds) only slow a current numpy down.
python_cmd=(env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE /usr/bin/python3 "$peer" 0 18 120 out-python "${files[@]}")

# timed NAME: one run into a fresh folder; prints "wall cpu" in seconds.
timed() {
    local -n cmd="$1_cmd"
    rm -rf "out-$1" && mkdir "out-$1"
    /usr/bin/time -f '%e %U %S' -o time.txt "${cmd[@]}" >/dev/null
    awk '{ printf "%s %.3f\n", $1, $2 + $3 }' time.txt
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

timed ours >/dev/null # warm-up: the files in the page cache for both
: >ours.txt
: >python.txt
: >ratios.txt
for _ in $(seq "$rounds"); do
    read -r ow oc < <(timed ours)
    read -r pw pc < <(timed python)
    echo "$ow $oc" >>ours.txt
    echo "$pw $pc" >>python.txt
    awk -v a="$ow" -v b="$pw" -v c="$oc" -v d="$pc" 'BEGIN { printf "%.3f %.3f\n", b / a, d / c }' >>ratios.txt
done
[[ $(ls out-ours | wc -l) -eq ${#files[@]} && $(ls out-python | wc -l) -eq ${#files[@]} ]] ||
    { echo "batch-vs-python.sh: a batch did not write every file" >&2; exit 1; }

col() { cut -d' ' -f"$2" "$1" | median; }
echo "${#files[@]} sprites ($(bytes "${files[@]}") bytes), $(nproc) cores, $rounds rounds each, medians:"
printf '%-22s %10s %10s %14s\n' "" "wall s" "cpu s" "output bytes"
printf '%-22s %10s %10s %14s\n' "tintabrel-cli" "$(col ours.txt 1)" "$(col ours.txt 2)" "$(bytes out-ours)"
printf '%-22s %10s %10s %14s\n' "Pillow + numpy" "$(col python.txt 1)" "$(col python.txt 2)" "$(bytes out-python)"
printf '%-22s %9sx %9sx\n' "tintabrel-cli faster" "$(col ratios.txt 1)" "$(col ratios.txt 2)"
echo "(faster: the Python batch's time / tintabrel-cli's, round by round; load: $(cut -d' ' -f1-3 /proc/loadavg))"
