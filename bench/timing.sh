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
bytes() { du -cb "$@" | tail -1 | cut -f1; }
seconds() { awk -v n="$1" 'BEGIN { printf "%.3f", n / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
