#!/usr/bin/env bash
# A walk cycle of 64 frames of 128 x 128 (bench/walk-cycle.py draws its sprite sheet, the tool
# reads the sheet into a GIF and an animated PNG) recoloured end to end by tintabrel-cli: the red
# tunic turned green in every frame, each file read, changed and written by one run of the tool.
# Beside it ImageMagick rotates the hues of the same GIF (convert -modulate, every frame), and
# the tool lays the GIF's frames out as a sheet again. The frames are palette pictures, so a
# change recolours their palettes; --truecolour sends every pixel through the engine instead. Prints the best of three runs of each,
# wall and CPU seconds. Builds nothing: give the build folder.
#
#   bench/walk-cycle.sh [BUILD_DIR] [KEEP_DIR]
#
# KEEP_DIR: the walk cycle's files are made there and kept (to time the commands another way).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/timing.sh"

find_cli walk-cycle.sh "${1:-build}"
need python3 walk-cycle.sh "python3"
need convert walk-cycle.sh "ImageMagick's convert"
if [[ -n "${2:-}" ]]; then
    mkdir -p "$2"
    cd "$2"
else
    enter_work_dir
fi

python3 "$here/walk-cycle.py" --frames 64 --size 128 --columns 8 sheet.png
"$cli" convert -q --overwrite --frames 128,128 --delay 80 sheet.png walk.gif
"$cli" convert -q --overwrite --frames 128,128 --delay 80 sheet.png walk.png
echo "walk.gif: $(bytes walk.gif) bytes, walk.png: $(bytes walk.png) bytes (64 frames of 128 x 128)"

# The tunic's reds (hue 354 to 5) on the mirrored scale: 240 +- 12; to hue 140. ImageMagick's
# nearest: every hue turned by 140 degrees.
change=(recolour --from-hue 0 --tolerance 12 --target 140 -q --overwrite)
report() {
    local name=$1
    shift
    printf '%-42s wall %s s  cpu %s s\n' "$name" "$(seconds "$(best_of "$@")")" "$(seconds "$(cpu_best_of "$@")")"
}
report "tintabrel-cli recolour, GIF" "$cli" "${change[@]}" -o out.gif walk.gif
report "tintabrel-cli recolour, APNG" "$cli" "${change[@]}" -o out.png walk.png
# Every pixel of every frame through the engine (a million in all), written as RGBA frames.
report "tintabrel-cli recolour, APNG --truecolour" "$cli" "${change[@]}" --truecolour -o out-rgba.png walk.png
report "tintabrel-cli recolour, APNG --optimize" "$cli" "${change[@]}" --optimize -o out-opt.png walk.png
report "tintabrel-cli convert --sheet 8, GIF" "$cli" convert -q --overwrite --sheet 8 walk.gif out-sheet.png
report "ImageMagick convert -modulate, GIF" convert walk.gif -modulate 100,100,177.78 out-im.gif
echo "outputs: out.gif $(bytes out.gif), out.png $(bytes out.png), out-rgba.png $(bytes out-rgba.png), out-opt.png $(bytes out-opt.png), out-im.gif $(bytes out-im.gif) bytes"
