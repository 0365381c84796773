# Timing and size helpers shared by the command-line benchmark scripts (sourced, not run).

# find_cli SCRIPT BUILD: the absolute path of BUILD's tintabrel-cli, in $cli; exits 2 without it.
find_cli() {
    cli="$2/bin/tintabrel-cli"
    [[ -x "$cli" ]] || { echo "$1: $cli not found; build tintabrel-cli first" >&2; exit 2; }
    cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
}
# need COMMAND SCRIPT WHAT: exits 2 when COMMAND is missing, saying what it is.
need() { command -v "$1" >/dev/null || { echo "$2: $3 is needed" >&2; exit 2; }; }
# enter_work_dir [TEMPLATE]: a scratch folder, removed on exit, becomes the current one.
enter_work_dir() {
    work=$(mktemp -d ${1:+"$1"})
    trap 'rm -rf "$work"' EXIT
    cd "$work"
}

# The same change on both sides: the window on greens (source 120 on the mirrored scale,
# tolerance 36) moved to hue 300; ImageMagick's nearest equivalent rotates every hue by 60 degrees.
ours=(recolour --source 120 --tolerance 36 --target 300 -q)
modulate=100,100,133.33

now() { date +%s%N; }
# best_of CMD...: runs the command three times, prints the fastest wall time in nanoseconds.
best_of() {
    local best=0 start took
    for _ in 1 2 3; do
        start=$(now)
        "$@" >/dev/null
        took=$(( $(now) - start ))
        if (( best == 0 || took < best )); then best=$took; fi
    done
    echo "$best"
}
# cpu_best_of CMD...: runs the command three times, prints the least CPU time (user + system, of
# the command and every process it waited for) in nanoseconds: on a shared machine it moves less
# than the wall time.
cpu_best_of() {
    local best=0 took
    for _ in 1 2 3; do
        took=$( ( "$@" >/dev/null; times ) | awk 'NR == 2 {
            n = 0
            for (i = 1; i <= 2; ++i) { split($i, t, /[ms]/); n += t[1] * 60 + t[2] }
            printf "%.0f", n * 1e9 }')
        if (( best == 0 || took < best )); then best=$took; fi
    done
    echo "$best"
}
bytes() { du -cb "$@" | tail -1 | cut -f1; }
seconds() { awk -v n="$1" 'BEGIN { printf "%.3f", n / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# make_sprites DIR SUITE: a folder of palette and RGBA sprites: from the PNG suite (the palette
# files of every depth, with and without tRNS, every size, and the 8-bit RGBA and grey-alpha ones;
# interlaced and damaged files left out) and generated sprite sheets with flat colours from a small
# game palette, dark outlines and a transparent background (no anti-aliasing, as pixel art is
# drawn), half palette PNGs, half RGBA. Needs ImageMagick's convert.
make_sprites() {
    local dir=$1 suite=$2 sheet size kind x y r c
    mkdir -p "$dir"
    for f in "$suite"/basn3p*.png "$suite"/s[0-9][0-9]n3p*.png "$suite"/t[bmp]*n3p*.png "$suite"/c[hs]*n3p*.png \
             "$suite"/g*n3p04.png "$suite"/ccwn3p08.png "$suite"/basn6a08.png "$suite"/bg[aw]n6a08.png \
             "$suite"/basn4a08.png "$suite"/pp0n6a08.png; do
        cp "$f" "$dir"/
    done
    local colours=('#d04648' '#597dce' '#6daa2c' '#d2aa99' '#dad45e' '#854c30' '#346524' '#757161' '#8595a1' '#deeed6' '#4e4a4e' '#d27d2c')
    RANDOM=42
    for sheet in $(seq 0 15); do
        size=$(( sheet < 8 ? 256 : 512 ))
        local draw=()
        for _ in $(seq 1 $(( size / 4 ))); do
            x=$((RANDOM % (size - 16) + 8)) y=$((RANDOM % (size - 16) + 8)) r=$((RANDOM % 14 + 3))
            c=${colours[$((RANDOM % ${#colours[@]}))]}
            if (( RANDOM % 2 )); then
                draw+=(-fill "$c" -draw "circle $x,$y $((x + r)),$y")
            else
                draw+=(-fill "$c" -draw "rectangle $((x - r)),$((y - r)) $((x + r)),$((y + r))")
            fi
        done
        if (( sheet % 2 )); then kind=PNG32; else kind=PNG8; fi
        convert -size ${size}x$size xc:none +antialias -stroke '#140c1c' -strokewidth 2 "${draw[@]}" \
            "$kind:$dir/sheet$sheet.png"
    done
}
