# Timing and size helpers shared by the command-line benchmark scripts (sourced, not run).

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
