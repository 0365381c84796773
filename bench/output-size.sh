#!/usr/bin/env bash
# Output size and time of tintabrel-cli recolour at its default settings, with --optimize, and
# of ImageMagick's hue rotation (convert -modulate), on the same files in one run: a folder of
# palette and RGBA sprites (from the PNG suite and generated sprite sheets with flat colours,
# outlines and transparency) and one 4096x4096 photo-like picture. Builds nothing: give the
# build folder (default: build).
#
#   bench/output-size.sh [BUILD_DIR]
#
# Times are the best of three runs. Also checks that every palette input gave a palette output
# by default, and reports their size against the inputs'.
set -euo pipefail
source "$(dirname "$0")/timing.sh"

find_cli output-size.sh "${1:-build}"
need convert output-size.sh "ImageMagick's convert"
suite=$(cd "$(dirname "$0")/../tests/data/pngsuite" && pwd)
cores=$(nproc)
enter_work_dir

# PNG colour type (IHDR byte 25): 3 is a palette.
colour_type() { od -An -tu1 -j25 -N1 "$1" | tr -d ' '; }

echo "Making the pictures ..."
make_sprites sprites "$suite"
convert -size 4096x4096 -seed 11 plasma: -depth 8 photo-im.png
"$cli" convert photo-im.png photo.png

palette_inputs=()
for f in sprites/*.png; do [[ $(colour_type "$f") == 3 ]] && palette_inputs+=("${f#sprites/}"); done

run_default() { rm -rf out-d && mkdir out-d && "$cli" "${ours[@]}" --out-dir out-d sprites/*.png; }
run_optimize() { rm -rf out-o && mkdir out-o && "$cli" "${ours[@]}" --optimize --out-dir out-o sprites/*.png; }
run_im() {
    rm -rf out-im && mkdir out-im
    printf '%s\0' sprites/*.png |
        xargs -0 -n 1 -P "$cores" sh -c 'exec convert "$0" -modulate '"$modulate"' "out-im/${0##*/}"'
}
run_default_photo() { rm -f photo-d.png && "$cli" "${ours[@]}" -o photo-d.png photo.png; }
run_optimize_photo() { rm -f photo-o.png && "$cli" "${ours[@]}" --optimize -o photo-o.png photo.png; }
run_im_photo() { rm -f photo-m.png && convert photo.png -modulate "$modulate" photo-m.png; }
# ImageMagick's hue rotation gives other (smoother) pixels; its encoding of our own result
# compares the encoders on the same pixels.
run_im_same_photo() { rm -f photo-ms.png && convert photo-d.png photo-ms.png; }

echo "Timing (best of 3, $cores cores) ..."
t_d=$(best_of run_default)
t_o=$(best_of run_optimize)
t_im=$(best_of run_im)
t_dp=$(best_of run_default_photo)
t_op=$(best_of run_optimize_photo)
t_imp=$(best_of run_im_photo)
t_imsp=$(best_of run_im_same_photo)

count=$(ls sprites | wc -l)
s_in=$(bytes sprites/*.png)
s_d=$(bytes out-d/*.png)
s_o=$(bytes out-o/*.png)
s_im=$(bytes out-im/*.png)
s_pin=$(bytes photo.png)

printf '\n%-34s %12s %10s %14s\n' "" "bytes" "seconds" "vs inputs"
printf '%-34s %12s %10s %14s\n' "sprites ($count files): inputs" "$s_in" "" ""
printf '%-34s %12s %10s %14s\n' "  tintabrel default" "$s_d" "$(seconds "$t_d")" "$(ratio "$s_d" "$s_in")"
printf '%-34s %12s %10s %14s\n' "  tintabrel --optimize" "$s_o" "$(seconds "$t_o")" "$(ratio "$s_o" "$s_in")"
printf '%-34s %12s %10s %14s\n' "  ImageMagick convert -modulate" "$s_im" "$(seconds "$t_im")" "$(ratio "$s_im" "$s_in")"
printf '%-34s %12s %10s %14s\n' "photo-like 4096x4096: input" "$s_pin" "" ""
printf '%-34s %12s %10s %14s\n' "  tintabrel default" "$(bytes photo-d.png)" "$(seconds "$t_dp")" "$(ratio "$(bytes photo-d.png)" "$s_pin")"
printf '%-34s %12s %10s %14s\n' "  tintabrel --optimize" "$(bytes photo-o.png)" "$(seconds "$t_op")" "$(ratio "$(bytes photo-o.png)" "$s_pin")"
printf '%-34s %12s %10s %14s\n' "  ImageMagick convert -modulate" "$(bytes photo-m.png)" "$(seconds "$t_imp")" "$(ratio "$(bytes photo-m.png)" "$s_pin")"
printf '%-34s %12s %10s %14s\n' "  ImageMagick, our pixels" "$(bytes photo-ms.png)" "$(seconds "$t_imsp")" "$(ratio "$(bytes photo-ms.png)" "$s_pin")"

kept=0
for f in "${palette_inputs[@]}"; do [[ $(colour_type "out-d/$f") == 3 ]] && kept=$((kept + 1)); done
p_in=$(cd sprites && bytes "${palette_inputs[@]}")
p_d=$(cd out-d && bytes "${palette_inputs[@]}")
sheets=()
for f in "${palette_inputs[@]}"; do [[ $f == sheet* ]] && sheets+=("$f"); done
echo
echo "Palette inputs: ${#palette_inputs[@]}, palette outputs by default: $kept; default output / input size: $(ratio "$p_d" "$p_in")" \
     "(generated sheets $(ratio "$(cd out-d && bytes "${sheets[@]}")" "$(cd sprites && bytes "${sheets[@]}")"))"
echo "Targets: --optimize sprites / inputs $(ratio "$s_o" "$s_in") (<= 0.95), / ImageMagick $(ratio "$s_o" "$s_im") (<= 1);" \
     "photo --optimize / ImageMagick $(ratio "$(bytes photo-o.png)" "$(bytes photo-m.png)") (<= 1)," \
     "/ ImageMagick on the same pixels $(ratio "$(bytes photo-o.png)" "$(bytes photo-ms.png)");" \
     "--optimize time / default $(ratio "$t_o" "$t_d") (<= 5)"
