#!/usr/bin/env bash
# learn_optimal_network end to end on the benchmark's data: for each n, a
# data set of ROWS rows (bench/make_bench_data, seed n) is learned from
# scratch, and the run's wall, user and system time, its peak resident
# memory and the peak disk of its output folder are reported, with the time
# and the sampled peak resident memory of every stage.
#
#   bash bench/end_to_end.sh [--n LIST] [--rows K] [--build DIR] [--tmp DIR]
#                            [--driver-args ARGS] [--no-save]
#
# Stage times are the driver's own ("[k/N] stage ... T s" on standard
# error).  The whole run's peak resident memory is that of its largest
# process (getrusage of the waited-for children, bench/measure).  The
# stages' resident memory and the output folder's size are sampled every
# 50 ms while the run goes on, so a stage shorter than that may show a
# lower peak than it had, or none.  Exit status: 0 done, 1 wrong usage,
# 2 a run failed.  Results go to bench/results/<date>-<host>-end-to-end.md
# unless --no-save.  `make bench-end-to-end` runs it at n = 24 and 26.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=24,26
rows=1000
build=$src/build
tmp=
save=1
driver_args=

usage() {
    cat >&2 <<'EOF'
Usage: bench/end_to_end.sh [--n LIST] [--rows K] [--build DIR] [--tmp DIR] [--driver-args ARGS] [--no-save]
  --n LIST           comma-separated variable counts (default 24,26)
  --rows K           rows of every data set (default 1000)
  --build DIR        build whose bin/ and bench/ are used (default: build/)
  --tmp DIR          work folder (default: DIR/bench-work of the build)
  --driver-args ARGS extra options of learn_optimal_network (one word each)
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
    --no-save) save=0; shift ;;
    -h | --help) usage ;;
    *) echo "bench/end_to_end.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
[[ $rows =~ ^[1-9][0-9]*$ ]] || { echo "bench/end_to_end.sh: --rows: not a positive count: $rows" >&2; usage; }
IFS=, read -r -a size_list <<<"$sizes"
[[ ${#size_list[@]} -gt 0 ]] || usage
for n in "${size_list[@]}"; do
    [[ $n =~ ^[0-9]+$ ]] && ((n >= 2 && n <= 30)) ||
        { echo "bench/end_to_end.sh: --n: variable counts must be 2 to 30: $sizes" >&2; usage; }
done

driver=$build/bin/learn_optimal_network
[[ -x $driver ]] || { echo "bench/end_to_end.sh: $driver: not built" >&2; exit 2; }
for p in make_bench_data measure; do
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
    rows_out+=("| $n | $rows | $(printf %.2f "$seconds") | $(printf %.2f "$user") | $(printf %.2f "$system") | $(bytes $((kib * 1024))) | $(bytes "$disk") | $score |")
    # Stage lines "[k/N] name ... T s" of the driver, with the sampled peak
    # resident memory of the processes of that name.
    while IFS=$'\t' read -r stage t; do
        peak=$(awk -v s="$stage" '$1 == "rss" && substr(s, 1, 15) == $2 && $3 + 0 > m {m = $3 + 0} END {print m + 0}' "$d/samples")
        stage_rows+=("| $n | $stage | $t | $( ((peak > 0)) && bytes $((peak * 1024)) || echo -) |")
    done < <(sed -n 's/^\[[0-9]*\/[0-9]*\] \([a-z_]*\) \.\.\. \([0-9.]*\) s.*$/\1\t\2/p' "$d/stderr")
    say "n=$n: $(printf %.2f "$seconds") s, peak RSS $(bytes $((kib * 1024))), peak disk $(bytes "$disk")"
    rm -rf "$d"
done

report() {
    echo "# learn_optimal_network end to end, $(date +%F) on $(hostname)"
    echo
    echo "- machine: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory"
    echo "- build: $build ($(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo 'no git')); driver options: ${driver_args:-none}"
    echo "- load average (1, 5, 15 min) at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
    echo
    echo "| n | rows | wall s | user s | system s | peak RSS | peak disk | score |"
    echo "|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${rows_out[@]}"
    echo
    echo "| n | stage | s (driver) | peak RSS (sampled) |"
    echo "|---|---|---|---|"
    printf '%s\n' "${stage_rows[@]}"
    echo
    echo "Peak RSS of the run: its largest process.  Peak disk: the output folder, sampled every 50 ms."
}
report >"$work/report.md"
cat "$work/report.md"
if ((save)); then
    mkdir -p "$src/bench/results"
    out=$src/bench/results/$(date +%F)-$(hostname)-end-to-end.md
    cp "$work/report.md" "$out"
    say "table written to $out"
fi
