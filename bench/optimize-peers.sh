#!/usr/bin/env bash
# --optimize --strip against optipng -o2 -strip all and zopflipng on real game sprites, in one run:
# sizes per file and per class (the corpus manifest's classes), the folder's time, and the large
# sheets against zopflipng. Every tool rewrites the same inputs losslessly. Builds nothing: give the
# build folder (default: build) and the corpus (default: the shared corpus beside the checkout).
#
#   bench/optimize-peers.sh [BUILD_DIR] [CORPUS_DIR]
#
# The folder is timed as each tool is used on one: ours one process over every file on all cores;
# optipng one process over the folder as its manual shows (one core), and one process per core with
# the files dealt out in turn. RUNS (default 1) runs of each, the best kept, wall and CPU (user +
# system): the machine may be shared. The sheets run one process per file, cores-many at once, for
# ours and zopflipng alike. Checks that every output of ours decodes to the pixels of our plain
# save (ImageMagick's compare), and counts the outputs larger than their input less the chunks
# --strip drops (pngcheck).
set -euo pipefail
source "$(dirname "$0")/timing.sh"

find_cli optimize-peers.sh "${1:-build}"
corpus=$(cd "${2:-$(dirname "$0")/../../shared/corpus/sprites}" && pwd)
[[ -f $corpus/MANIFEST.tsv ]] || { echo "optimize-peers.sh: no MANIFEST.tsv in $corpus" >&2; exit 2; }
need compare optimize-peers.sh "ImageMagick's compare"
need optipng optimize-peers.sh "optipng"
need zopflipng optimize-peers.sh "zopflipng"
need pngcheck optimize-peers.sh "pngcheck"
cores=$(nproc)
runs=${RUNS:-1}
enter_work_dir

files=("$corpus"/*.png)
sheets=()
while IFS=$'\t' read -r name _ _ class _; do
    [[ $class == sheet ]] && sheets+=("$corpus/$name")
done < "$corpus/MANIFEST.tsv"

export cli
each() { # tool outdir files...
    local tool=$1 out=$2; shift 2
    rm -rf "$out" && mkdir "$out"
    case $tool in
        ours) printf '%s\0' "$@" | xargs -0 -n 1 -P "$cores" sh -c 'exec "$cli" convert --optimize --strip -q "$0" "'"$out"'/${0##*/}"' ;;
        zopflipng) printf '%s\0' "$@" | xargs -0 -n 1 -P "$cores" sh -c 'exec zopflipng -y "$0" "'"$out"'/${0##*/}" >/dev/null' ;;
    esac
}
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
# timed CMD...: "WALL CPU" of the command in nanoseconds (CPU: user + system of it and of every
# process it waited for).
timed() {
    local start
    start=$(now)
    ( "$@" >/dev/null; echo $(( $(now) - start )); times ) | awk 'NR == 1 { wall = $1 } NR == 3 {
        n = 0
        for (i = 1; i <= 2; ++i) { split($i, t, /[ms]/); n += t[1] * 60 + t[2] }
        printf "%s %.0f\n", wall, n * 1e9 }'
}
# best CMD...: the least wall time and the least CPU time of RUNS runs.
best() {
    local w=0 c=0 took
    for ((r = 0; r < runs; r++)); do
        read -r -a took < <(timed "$@")
        if (( w == 0 || took[0] < w )); then w=${took[0]}; fi
        if (( c == 0 || took[1] < c )); then c=${took[1]}; fi
    done
    echo "$w $c"
}

echo "Optimizing ${#files[@]} files, $runs run(s) of each, $cores cores ..."
read -r t_ours c_ours < <(best folder ours ours "${files[@]}")
read -r t_opti c_opti < <(best folder optipng opti "${files[@]}")
read -r t_optc c_optc < <(best folder optipng-cores optic "${files[@]}")
echo "Sheets ..."
read -r t_sours c_sours < <(timed each ours sheets-ours "${sheets[@]}")
read -r t_szop c_szop < <(timed each zopflipng sheets-zop "${sheets[@]}")

echo "Checking pixels ..."
"$cli" convert --strip -q -j "$cores" --out-dir plain "${files[@]}"
for f in "${files[@]}"; do
    n=${f##*/}
    for o in "ours/$n" "sheets-ours/$n"; do
        [[ -f $o ]] || continue
        [[ $(compare -metric AE "plain/$n" "$o" null: 2>&1) == 0 ]] || { echo "optimize-peers.sh: $o has other pixels than the plain save" >&2; exit 1; }
    done
done

# Bytes of the chunks --strip drops: all but IHDR, PLTE, tRNS, IDAT and IEND.
dropped() {
    pngcheck -v "$1" 2>/dev/null | awk '/^  chunk / {
        for (i = 1; i <= NF; ++i) if ($i == "length") { len = $(i + 1); sub(/[^0-9].*/, "", len) }
        if ($2 !~ /^(IHDR|PLTE|tRNS|IDAT|IEND)$/) n += len + 12 } END { print n + 0 }'
}

declare -A n_files n_in n_ours n_opti n_zop n_le n_gt
classes=()
larger=""
while IFS=$'\t' read -r name _ _ class _; do
    [[ $name == file ]] && continue
    [[ -n ${n_files[$class]+x} ]] || { classes+=("$class"); n_files[$class]=0 n_in[$class]=0 n_ours[$class]=0 n_opti[$class]=0 n_zop[$class]=0 n_le[$class]=0 n_gt[$class]=0; }
    in=$(bytes "$corpus/$name") a=$(bytes "ours/$name") b=$(bytes "opti/$name")
    n_files[$class]=$(( n_files[$class] + 1 ))
    n_in[$class]=$(( n_in[$class] + in ))
    n_ours[$class]=$(( n_ours[$class] + a ))
    n_opti[$class]=$(( n_opti[$class] + b ))
    [[ -f sheets-zop/$name ]] && n_zop[$class]=$(( n_zop[$class] + $(bytes "sheets-zop/$name") ))
    if (( a <= b )); then n_le[$class]=$(( n_le[$class] + 1 )); else larger+="  $name ($class): $a vs $b"$'\n'; fi
    (( a <= in - $(dropped "$corpus/$name") )) || n_gt[$class]=$(( n_gt[$class] + 1 ))
done < "$corpus/MANIFEST.tsv"

printf '\n%-16s %5s %11s %11s %11s %7s %9s %7s\n' class files input ours optipng "/opti" "<=opti" ">input"
total=(0 0 0 0 0 0)
for class in "${classes[@]}"; do
    printf '%-16s %5d %11d %11d %11d %7s %9s %7d\n' "$class" "${n_files[$class]}" "${n_in[$class]}" "${n_ours[$class]}" \
        "${n_opti[$class]}" "$(ratio "${n_ours[$class]}" "${n_opti[$class]}")" "${n_le[$class]}/${n_files[$class]}" "${n_gt[$class]}"
    total=($(( total[0] + n_files[$class] )) $(( total[1] + n_in[$class] )) $(( total[2] + n_ours[$class] )) \
           $(( total[3] + n_opti[$class] )) $(( total[4] + n_le[$class] )) $(( total[5] + n_gt[$class] )))
done
printf '%-16s %5d %11d %11d %11d %7s %9s %7d\n' all "${total[0]}" "${total[1]}" "${total[2]}" "${total[3]}" \
    "$(ratio "${total[2]}" "${total[3]}")" "${total[4]}/${total[0]}" "${total[5]}"
s_sours=$(bytes sheets-ours/*.png) s_szop=$(bytes sheets-zop/*.png)
printf '\nsheets (%d): tintabrel %s bytes in %s s (CPU %s s), zopflipng %s bytes in %s s (CPU %s s): size %s, time %s\n' \
    "${#sheets[@]}" "$s_sours" "$(seconds "$t_sours")" "$(seconds "$c_sours")" "$s_szop" "$(seconds "$t_szop")" \
    "$(seconds "$c_szop")" "$(ratio "$s_sours" "$s_szop")" "$(ratio "$t_sours" "$t_szop")"
printf 'folder in one run: tintabrel %s s (CPU %s s); optipng in one process %s s (CPU %s s), in one per core %s s (CPU %s s)\n' \
    "$(seconds "$t_ours")" "$(seconds "$c_ours")" "$(seconds "$t_opti")" "$(seconds "$c_opti")" "$(seconds "$t_optc")" "$(seconds "$c_optc")"
echo
echo "Targets: no larger than optipng on ${total[4]} of ${total[0]} ($(ratio "${total[4]}" "${total[0]}"), >= 0.95);" \
     "total / optipng $(ratio "${total[2]}" "${total[3]}") (<= 0.86); larger than the input less its dropped chunks: ${total[5]} (0);" \
     "sheets / zopflipng $(ratio "$s_sours" "$s_szop") (<= 1.03) in $(ratio "$t_sours" "$t_szop") of its time (< 0.25; CPU" \
     "$(ratio "$c_sours" "$c_szop")); folder / optipng $(ratio "$t_ours" "$t_opti") of its time (<= 0.5; CPU $(ratio "$c_ours" "$c_opti"))"
[[ -z $larger ]] || printf 'Larger than optipng:\n%s' "$larger"
