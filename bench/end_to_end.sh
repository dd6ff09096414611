#!/usr/bin/env bash
# learn_optimal_network end to end on the benchmark's data: for each n, a
# data set of ROWS rows (bench/make_bench_data, seed n) is learned from
# scratch, and the run's wall, user and system time, its peak resident
# memory and the peak disk of its output folder are reported, with the time
# and the sampled peak resident memory of every stage.
#
#   bash bench/end_to_end.sh [--n LIST] [--rows K] [--build DIR] [--tmp DIR]
#                            [--driver-args ARGS] [--settle S] [--no-save]
#
# Stage times are the driver's own ("[k/N] stage ... T s" on standard
# error).  The whole run's peak resident memory is that of its largest
# process (getrusage of the waited-for children, bench/measure).  The
# stages' resident memory and the output folder's size are sampled every
# 50 ms while the run goes on, so a stage shorter than that may show a
# lower peak than it had, or none.  Exit status: 0 done, 1 wrong usage,
# 2 a run failed.  Results go to bench/results/<date>-<host>-end-to-end.md
# unless --no-save.  `make bench-end-to-end` runs it at n = 24 and 26.
#
# After each run, its I/O floor: bench/io_floor moving the bytes of the
# default route's large files in the run's order, with no computation (the
# data read and the local score files written; each local file read and its
# best-parent and best-score files written; the best-score files read and
# the sink written).  Both start alike: no earlier output left, a sync, then
# --settle seconds (default 30) of rest.  On a virtual machine that hands
# free memory back to its host, memory freed moments ago is several times
# cheaper to fill than memory left free for half a minute, so without the
# rest whichever runs right after a deletion gains.  On such a machine the
# copy into new page-cache pages is most of a large run; "beyond floor" is
# what the programs add to it.  n = 26 is judged against its target of 60 s.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=24,26
rows=1000
build=$src/build
tmp=
save=1
driver_args=
settle=30

usage() {
    cat >&2 <<'EOF'
Usage: bench/end_to_end.sh [--n LIST] [--rows K] [--build DIR] [--tmp DIR] [--driver-args ARGS] [--settle S] [--no-save]
  --n LIST           comma-separated variable counts (default 24,26)
  --rows K           rows of every data set (default 1000)
  --build DIR        build whose bin/ and bench/ are used (default: build/)
  --tmp DIR          work folder (default: DIR/bench-work of the build)
  --driver-args ARGS extra options of learn_optimal_network (one word each)
  --settle S         seconds of rest before the run and before its I/O floor
                     (default 30)
  --no-save          do not write bench/results/<date>-<host>-end-to-end.md
EOF
    exit 1
}

while [[ $# -gt 0 ]]; do
    case $1 in
    --n) [[ $# -ge 2 ]] || usage; sizes=$2; shift 2 ;;
    --rows) [[ $# -ge 2 ]] || usage; rows=$2; shift 2 ;;
    --build) [[ $# -ge 2 ]] || usage; build=$2; shift 2 ;;
    --tmp) [[ $# -ge 2 ]] || usage; tmp=$2; shift 2 ;;
    --driver-args) [[ $# -ge 2 ]] || usage; driver_args=$2; shift 2 ;;
    --settle) [[ $# -ge 2 ]] || usage; settle=$2; shift 2 ;;
    --no-save) save=0; shift ;;
    -h | --help) usage ;;
    *) echo "bench/end_to_end.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
[[ $settle =~ ^[0-9]+$ ]] || { echo "bench/end_to_end.sh: --settle: not a count of seconds: $settle" >&2; usage; }
[[ $rows =~ ^[1-9][0-9]*$ ]] || { echo "bench/end_to_end.sh: --rows: not a positive count: $rows" >&2; usage; }
IFS=, read -r -a size_list <<<"$sizes"
[[ ${#size_list[@]} -gt 0 ]] || usage
for n in "${size_list[@]}"; do
    [[ $n =~ ^[0-9]+$ ]] && ((n >= 2 && n <= 30)) ||
        { echo "bench/end_to_end.sh: --n: variable counts must be 2 to 30: $sizes" >&2; usage; }
done

driver=$build/bin/learn_optimal_network
[[ -x $driver ]] || { echo "bench/end_to_end.sh: $driver: not built" >&2; exit 2; }
for p in make_bench_data measure io_floor; do
    [[ -x $build/bench/$p ]] || { echo "bench/end_to_end.sh: $build/bench/$p: not built" >&2; exit 2; }
done
[[ -n $tmp ]] || tmp=$build/bench-work
mkdir -p "$tmp"
work=$(mktemp -d "$tmp/end-to-end.XXXXXX")
sampler=
cleanup() {
    if [[ -n $sampler ]]; then kill "$sampler" 2>/dev/null || true; wait "$sampler" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say() { echo "bench/end_to_end.sh: $*" >&2; }
bytes() {
    awk -v b="$1" 'BEGIN {
        split("B KiB MiB GiB TiB", u, " "); k = 1
        while (b >= 1024 && k < 5) { b /= 1024; ++k }
        if (k == 1) printf "%d B", b; else printf "%.1f %s", b, u[k] }'
}

# sample ROOT_PID OUTDIR FILE: every 50 ms, one line "disk <bytes>" and one
# line "rss <comm> <KiB>" per process below ROOT_PID, until killed.
sample() {
    local root=$1 dir=$2 file=$3
    while :; do
        echo "disk $(du -sb "$dir" 2>/dev/null | cut -f 1)" >>"$file"
        ps -e -o pid=,ppid=,rss=,comm= 2>/dev/null | awk -v root="$root" '
            { pid[NR] = $1; parent[$1] = $2; rss[$1] = $3; comm[$1] = $4 }
            END {
                for (k = 1; k <= NR; ++k) {
                    p = pid[k]; q = p
                    for (d = 0; d < 8 && q != "" && q != root; ++d) q = parent[q]
                    if (q == root && p != root) print "rss", comm[p], rss[p]
                }
            }' >>"$file"
        sleep 0.05
    done
}

rows_out=()
stage_rows=()
for n in "${size_list[@]}"; do
    d=$work/n$n
    mkdir -p "$d"
    say "n=$n: writing $rows rows"
    "$build/bench/make_bench_data" "$n" "$rows" "$n" >"$d/data.csv"
    : >"$d/samples"
    sync
    sleep "$settle"
    say "n=$n: learn_optimal_network ${driver_args}"
    # The driver runs under bench/measure; the sampler follows measure's
    # descendants.
    # shellcheck disable=SC2086
    "$build/bench/measure" "$d/measure" "$driver" $driver_args "$d/data.csv" "$d/out" \
        >"$d/stdout" 2>"$d/stderr" &
    run=$!
    sample "$run" "$d/out" "$d/samples" &
    sampler=$!
    status=0
    wait "$run" || status=$?
    kill "$sampler" 2>/dev/null || true
    wait "$sampler" 2>/dev/null || true
    sampler=
    if [[ $status -ne 0 ]]; then
        head -c 2000 "$d/stderr" >&2
        say "FAIL: n=$n: learn_optimal_network: exit status $status"
        exit 2
    fi
    read -r seconds kib user system _ <"$d/measure"
    disk=$(awk '$1 == "disk" && $2 + 0 > m {m = $2 + 0} END {print m + 0}' "$d/samples")
    score=$(head -n 1 "$d/stdout")
    rm -rf "$d/out"
    # The I/O floor of the default route, in a folder of its own.
    say "n=$n: I/O floor"
    f=$d/floor
    mkdir "$f"
    records=$((1 << (n - 1)))
    ops=(-r "$d/data.csv")
    for ((i = 0; i < n; ++i)); do ops+=(-w $((8 * records)) "$f/$i"); done
    for ((i = 0; i < n; ++i)); do ops+=(-r "$f/$i" -w $((4 * records)) "$f/$i.bps" -w $((8 * records)) "$f/$i.bss"); done
    for ((i = 0; i < n; ++i)); do ops+=(-r "$f/$i.bss"); done
    ops+=(-w $((1 << n)) "$f/sink")
    sync
    sleep "$settle"
    "$build/bench/measure" "$d/floor-measure" "$build/bench/io_floor" "${ops[@]}" >/dev/null
    read -r floor_s _ _ floor_sys _ <"$d/floor-measure"
    rm -rf "$f"
    target=-
    if ((n == 26)); then
        target=$(awk -v t="$seconds" 'BEGIN {print (t <= 60 ? "<= 60 s: pass" : "<= 60 s: MISS")}')
    fi
    rows_out+=("| $n | $rows | $(printf %.2f "$seconds") | $(printf %.2f "$user") | $(printf %.2f "$system") | $(printf %.2f "$floor_s") | $(printf %.2f "$floor_sys") | $(awk -v t="$seconds" -v f="$floor_s" 'BEGIN {printf "%.2f", t - f}') | $target | $(bytes $((kib * 1024))) | $(bytes "$disk") | $score |")
    # Stage lines "[k/N] name ... T s" of the driver, with the sampled peak
    # resident memory of the processes of that name.
    while IFS=$'\t' read -r stage t; do
        peak=$(awk -v s="$stage" '$1 == "rss" && substr(s, 1, 15) == $2 && $3 + 0 > m {m = $3 + 0} END {print m + 0}' "$d/samples")
        stage_rows+=("| $n | $stage | $t | $( ((peak > 0)) && bytes $((peak * 1024)) || echo -) |")
    done < <(sed -n 's/^\[[0-9]*\/[0-9]*\] \([a-z_]*\) \.\.\. \([0-9.]*\) s.*$/\1\t\2/p' "$d/stderr")
    say "n=$n: $(printf %.2f "$seconds") s (I/O floor $(printf %.2f "$floor_s") s), peak RSS $(bytes $((kib * 1024))), peak disk $(bytes "$disk")"
    rm -rf "$d"
done

report() {
    echo "# learn_optimal_network end to end, $(date +%F) on $(hostname)"
    echo
    echo "- machine: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory"
    echo "- build: $build ($(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo 'no git')); driver options: ${driver_args:-none}"
    echo "- load average (1, 5, 15 min) at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
    echo
    echo "| n | rows | wall s | user s | system s | I/O floor s | floor system s | beyond floor s | target | peak RSS | peak disk | score |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${rows_out[@]}"
    echo
    echo "| n | stage | s (driver) | peak RSS (sampled) |"
    echo "|---|---|---|---|"
    printf '%s\n' "${stage_rows[@]}"
    echo
    echo "Peak RSS of the run: its largest process.  Peak disk: the output folder, sampled every 50 ms."
    echo "I/O floor: bench/io_floor moving the default route's large files in the run's order (256 KiB reads and writes, no computation), run after it; both after a sync and $settle s of rest."
}
report >"$work/report.md"
cat "$work/report.md"
if ((save)); then
    mkdir -p "$src/bench/results"
    out=$src/bench/results/$(date +%F)-$(hostname)-end-to-end.md
    cp "$work/report.md" "$out"
    say "table written to $out"
fi
