#!/usr/bin/env bash
# --optimize --strip against optipng -o2 (per file, total size, time) on a folder of sprites, and
# against zopflipng on large sprite sheets, in one run. Every tool rewrites the same inputs
# losslessly; each file goes to its own process, cores-many at once, for every tool alike. Builds
# nothing: give the build folder (default: build).
#
#   bench/optimize-peers.sh [BUILD_DIR]
#
# Times are the best of three runs (zopflipng, much slower, runs once); on the sprites the CPU
# time (user + system, best of three more runs) too, as the machine may be shared. Checks that
# every output of ours decodes to its input's pixels (ImageMagick's compare).
set -euo pipefail
source "$(dirname "$0")/timing.sh"

find_cli optimize-peers.sh "${1:-build}"
need convert optimize-peers.sh "ImageMagick's convert"
need optipng optimize-peers.sh "optipng"
need zopflipng optimize-peers.sh "zopflipng"
suite=$(cd "$(dirname "$0")/../tests/data/pngsuite" && pwd)
cores=$(nproc)
enter_work_dir

echo "Making the pictures ..."
make_sprites sprites "$suite"
# Small characters and items as games keep them, one per file: 16 to 64 pixels, a few flat
# shapes with an outline, palette and RGBA alike.
RANDOM=7
colours=('#d04648' '#597dce' '#6daa2c' '#d2aa99' '#dad45e' '#854c30' '#346524' '#757161')
for k in $(seq 0 47); do
    size=$(( 16 << (k % 3) ))
    draw=()
    for _ in 1 2 3 4; do
        x=$((RANDOM % size)) y=$((RANDOM % size)) r=$((RANDOM % (size / 4) + 2))
        draw+=(-fill "${colours[$((RANDOM % ${#colours[@]}))]}" -draw "circle $x,$y $((x + r)),$y")
    done
    if (( k % 2 )); then kind=PNG32; else kind=PNG8; fi
    convert -size ${size}x$size xc:none +antialias -stroke '#140c1c' -strokewidth 1 "${draw[@]}" "$kind:sprites/item$k.png"
done
# Large sheets, 2048x2048: RGBA with smooth (anti-aliased) edges, so more than 256 colours, and
# one of palette indices.
mkdir -p sheets
draw=()
RANDOM=3
for _ in $(seq 1 1500); do
    x=$((RANDOM % 2032 + 8)) y=$((RANDOM % 2032 + 8)) r=$((RANDOM % 20 + 4))
    draw+=(-fill "${colours[$((RANDOM % ${#colours[@]}))]}" -draw "circle $x,$y $((x + r)),$y")
done
convert -size 2048x2048 xc:none -stroke '#140c1c' -strokewidth 2 "${draw[@]}" PNG32:sheets/rgba2048.png
convert -size 2048x2048 xc:none +antialias -stroke '#140c1c' -strokewidth 2 "${draw[@]}" PNG8:sheets/palette2048.png

export cli
each() { # tool outdir files...
    local tool=$1 out=$2; shift 2
    rm -rf "$out" && mkdir "$out"
    case $tool in
        ours) printf '%s\0' "$@" | xargs -0 -n 1 -P "$cores" sh -c 'exec "$cli" convert --optimize --strip -q "$0" "'"$out"'/${0##*/}"' ;;
        optipng) printf '%s\0' "$@" | xargs -0 -n 1 -P "$cores" sh -c 'exec optipng -quiet -o2 -strip all -out "'"$out"'/${0##*/}" "$0"' ;;
        zopflipng) printf '%s\0' "$@" | xargs -0 -n 1 -P "$cores" sh -c 'exec zopflipng -y "$0" "'"$out"'/${0##*/}" >/dev/null' ;;
    esac
}

# The folder in one run, as each tool is used on one: ours one process over every file on all cores;
# optipng one process over the folder as its manual shows (one core), and one process per core, the
# files dealt out in turn so that the large ones are shared.
folder() { # tool outdir files...
    local tool=$1 out=$2; shift 2
    rm -rf "$out" && mkdir "$out"
    case $tool in
        ours) "$cli" convert --optimize --strip -q -j "$cores" --out-dir "$out" "$@" ;;
        optipng) optipng -quiet -o2 -strip all -dir "$out" "$@" ;;
        optipng-cores)
            local k i share
            for ((k = 0; k < cores; k++)); do
                share=()
                for ((i = k + 1; i <= $#; i += cores)); do share+=("${!i}"); done
                ((${#share[@]} == 0)) || optipng -quiet -o2 -strip all -dir "$out" "${share[@]}" &
            done
            wait ;;
    esac
}

echo "Timing (best of 3, $cores cores) ..."
t_ours=$(best_of each ours out-ours sprites/*.png)
t_opti=$(best_of each optipng out-opti sprites/*.png)
c_ours=$(cpu_best_of each ours out-ours sprites/*.png)
c_opti=$(cpu_best_of each optipng out-opti sprites/*.png)
f_ours=$(best_of folder ours folder-ours sprites/*.png)
f_opti=$(best_of folder optipng folder-opti sprites/*.png)
f_optc=$(best_of folder optipng-cores folder-opti sprites/*.png)
fc_ours=$(cpu_best_of folder ours folder-ours sprites/*.png)
fc_optc=$(cpu_best_of folder optipng-cores folder-opti sprites/*.png)
start=$(now); each ours sheets-ours sheets/*.png; t_sours=$(( $(now) - start ))
start=$(now); each optipng sheets-opti sheets/*.png; t_sopti=$(( $(now) - start ))
start=$(now); each zopflipng sheets-zopfli sheets/*.png; t_szop=$(( $(now) - start ))

for f in sprites/*.png sheets/*.png; do
    outs=("out-ours/${f##*/}" "folder-ours/${f##*/}"); [[ $f == sheets/* ]] && outs=("sheets-ours/${f##*/}")
    for o in "${outs[@]}"; do
        [[ $(compare -metric AE "$f" "$o" null: 2>&1) == 0 ]] || { echo "optimize-peers.sh: $o has other pixels than $f" >&2; exit 1; }
    done
done

count=0 notLarger=0
worst=""
for f in sprites/*.png; do
    n=${f##*/}
    a=$(bytes "out-ours/$n") b=$(bytes "out-opti/$n")
    count=$((count + 1))
    if (( a <= b )); then notLarger=$((notLarger + 1)); else worst+="  $n: $a vs $b"$'\n'; fi
done
s_ours=$(bytes out-ours/*.png) s_opti=$(bytes out-opti/*.png) s_in=$(bytes sprites/*.png)

printf '\n%-38s %12s %10s %10s\n' "" "bytes" "seconds" "CPU s"
printf '%-38s %12s %10s\n' "sprites ($count files): inputs" "$s_in" ""
printf '%-38s %12s %10s %10s\n' "  tintabrel --optimize --strip" "$s_ours" "$(seconds "$t_ours")" "$(seconds "$c_ours")"
printf '%-38s %12s %10s %10s\n' "  optipng -o2 -strip all" "$s_opti" "$(seconds "$t_opti")" "$(seconds "$c_opti")"
for f in sheets/*.png; do
    n=${f##*/}
    printf '%-38s %12s\n' "$n: input" "$(bytes "$f")"
    printf '%-38s %12s\n' "  tintabrel --optimize --strip" "$(bytes "sheets-ours/$n")"
    printf '%-38s %12s\n' "  optipng -o2" "$(bytes "sheets-opti/$n")"
    printf '%-38s %12s   (to ours: %s)\n' "  zopflipng" "$(bytes "sheets-zopfli/$n")" "$(ratio "$(bytes "sheets-ours/$n")" "$(bytes "sheets-zopfli/$n")")"
done
printf 'sprites as one run over the folder: tintabrel %s s (%s bytes); optipng %s s in one process (%s), %s s in one per core (%s)\n' \
    "$(seconds "$f_ours")" "$(bytes folder-ours/*.png)" "$(seconds "$f_opti")" "$(ratio "$f_ours" "$f_opti")" \
    "$(seconds "$f_optc")" "$(ratio "$f_ours" "$f_optc")"
printf '  CPU: tintabrel %s s, optipng in one process per core %s s (%s)\n' "$(seconds "$fc_ours")" "$(seconds "$fc_optc")" "$(ratio "$fc_ours" "$fc_optc")"
printf 'sheets in all: tintabrel %s s, optipng %s s, zopflipng %s s\n' "$(seconds "$t_sours")" "$(seconds "$t_sopti")" "$(seconds "$t_szop")"
echo
echo "Targets: files no larger than optipng's $notLarger of $count ($(ratio "$notLarger" "$count"), >= 0.95);" \
     "total / optipng $(ratio "$s_ours" "$s_opti") (<= 0.95); time / optipng $(ratio "$t_ours" "$t_opti") (<= 0.5;" \
     "CPU $(ratio "$c_ours" "$c_opti"));" \
     "sheets / zopflipng <= 1.05 (above)"
[[ -z $worst ]] || printf 'Larger than optipng:\n%s' "$worst"
