#!/usr/bin/env bash
# Times tintabrel-cli recolour against ImageMagick's hue rotation (convert -modulate) on the
# same files: a folder of 200 small sprites and one 4096x4096 picture. Prints the time ratio
# and the output size ratio of each. On the big picture it also times the default jobs against
# -j 1 (one deflate stream on one core) and against a plain PNG copy by libvips (`vips copy`).
# Builds nothing: give the build folder (default: build).
#
#   bench/cli.sh [BUILD_DIR]
#
# Each measurement is the best of three runs, so that a busy machine disturbs it less.
# ImageMagick runs one convert per sprite, as many at once as there are cores, the same
# parallelism tintabrel-cli uses by default.
set -euo pipefail
source "$(dirname "$0")/timing.sh"

find_cli cli.sh "${1:-build}"
need convert cli.sh "ImageMagick's convert"
need vips cli.sh "libvips' vips (scripts/install-deps)"
cores=$(nproc)
enter_work_dir

echo "Making the pictures ..."
mkdir -p base sprites
convert -size 48x48 -seed 7 plasma:green-yellow -depth 8 base/0.png
convert -size 48x48 -seed 8 plasma:blue-green -depth 8 base/1.png
convert -size 48x48 -seed 9 plasma: -depth 8 base/2.png
convert -size 48x48 -seed 10 plasma:red-green -depth 8 \( +clone -fill black -colorize 100 -fill white \
    -draw 'circle 24,24 24,4' \) -alpha off -compose copy_opacity -composite base/3.png
for i in $(seq 0 199); do
    "$cli" convert "base/$((i % 4)).png" "sprites/s$i.png"
done
convert -size 4096x4096 -seed 11 plasma: -depth 8 base/big-im.png
"$cli" convert base/big-im.png big.png

run_ours_sprites() { rm -rf out-t && mkdir out-t && "$cli" "${ours[@]}" --out-dir out-t sprites/*.png; }
run_im_sprites() {
    rm -rf out-im && mkdir out-im
    printf '%s\0' sprites/*.png |
        xargs -0 -n 1 -P "$cores" sh -c 'exec convert "$0" -modulate '"$modulate"' "out-im/${0##*/}"'
}
run_ours_big() { rm -f big-t.png && "$cli" "${ours[@]}" -o big-t.png big.png; }
run_im_big() { rm -f big-im.png && convert big.png -modulate "$modulate" big-im.png; }
run_ours_big_j1() { rm -f big-t1.png && "$cli" "${ours[@]}" -j 1 -o big-t1.png big.png; }
run_vips_big() { rm -f big-vips.png && vips copy big.png big-vips.png; }

echo "Timing (best of 3, $cores cores) ..."
t_ours_s=$(best_of run_ours_sprites)
t_im_s=$(best_of run_im_sprites)
t_ours_b=$(best_of run_ours_big)
t_im_b=$(best_of run_im_big)
t_ours_b1=$(best_of run_ours_big_j1)
t_vips_b=$(best_of run_vips_big)

s_ours_s=$(bytes out-t/*.png)
s_im_s=$(bytes out-im/*.png)
s_ours_b=$(bytes big-t.png)
s_im_b=$(bytes big-im.png)
s_ours_b1=$(bytes big-t1.png)
s_vips_b=$(bytes big-vips.png)

printf '\n%-26s %12s %12s %10s %12s\n' "" "tintabrel" "ImageMagick" "speed-up" "size ratio"
printf '%-26s %11ss %11ss %9sx %12s\n' "200 sprites 48x48" "$(seconds "$t_ours_s")" "$(seconds "$t_im_s")" \
    "$(ratio "$t_im_s" "$t_ours_s")" "$(ratio "$s_ours_s" "$s_im_s")"
printf '%-26s %11ss %11ss %9sx %12s\n' "one picture 4096x4096" "$(seconds "$t_ours_b")" "$(seconds "$t_im_b")" \
    "$(ratio "$t_im_b" "$t_ours_b")" "$(ratio "$s_ours_b" "$s_im_b")"
echo "(speed-up: ImageMagick's time / tintabrel's; size ratio: tintabrel's output bytes / ImageMagick's)"

printf '\n%-26s %12s %12s %10s %12s\n' "one picture 4096x4096" "default -j" "other" "speed-up" "size ratio"
printf '%-26s %11ss %11ss %9sx %12s\n' "against tintabrel -j 1" "$(seconds "$t_ours_b")" "$(seconds "$t_ours_b1")" \
    "$(ratio "$t_ours_b1" "$t_ours_b")" "$(ratio "$s_ours_b" "$s_ours_b1")"
printf '%-26s %11ss %11ss %9sx %12s\n' "against vips copy" "$(seconds "$t_ours_b")" "$(seconds "$t_vips_b")" \
    "$(ratio "$t_vips_b" "$t_ours_b")" "$(ratio "$s_ours_b" "$s_vips_b")"
echo "(speed-up: the other's time / the default's; size ratio: the default's output bytes / the other's)"
