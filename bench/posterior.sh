#!/usr/bin/env bash
# Times the exact posterior stages (sum_family_subsets, sum_leaf_tables,
# weigh_arcs) against the search's own stages (find_top_families,
# solve_leaf_table, trace_leaf_sequence, assemble_optimal_graph) on the same
# local score files, with peak resident memory.
#
#   bash bench/posterior.sh [--n LIST] [--runs K] [--build DIR] [--tmp DIR] [--keep DIR] [--strict]
#
# For each n (default 20,22,24) two sets of local score files are timed:
# "table", from bench/make_score_table, scatter_family_values and
# flip_family_files, as in bench/run; and "data", the scores of
# compute_family_scores --local-files (BDeu) on bench/make_bench_data's
# 1,000 rows, whose scores spread over thousands of log units as real data
# does (most terms of the sums are then negligible, a case the table's
# scores never reach).  Every stage runs K times (default 3) with its inputs read into
# the page cache just before; the median wall time, the median processor
# time (user + system, all threads) and the largest peak memory are
# reported (from bench/measure), and the posterior's output is checked to
# hold probabilities (kept as DIR/prob.<n> with --keep DIR).  Targets: the
# posterior stages together at most 3 times the search's processor time,
# and no stage of them above the search's peak memory.
#
# Exit status: 0 done, 1 wrong usage, 2 a stage failed, 3 a target missed
# (only with --strict).
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=20,22,24
runs=3
build=$src/build
tmp=
strict=0
keep=

usage() {
    echo "Usage: bench/posterior.sh [--n LIST] [--runs K] [--build DIR] [--tmp DIR] [--keep DIR] [--strict]" >&2
    exit 1
}
while [[ $# -gt 0 ]]; do
    case $1 in
    --n) [[ $# -ge 2 ]] || usage; sizes=$2; shift 2 ;;
    --runs) [[ $# -ge 2 ]] || usage; runs=$2; shift 2 ;;
    --build) [[ $# -ge 2 ]] || usage; build=$2; shift 2 ;;
    --tmp) [[ $# -ge 2 ]] || usage; tmp=$2; shift 2 ;;
    --strict) strict=1; shift ;;
    --keep) [[ $# -ge 2 ]] || usage; keep=$2; shift 2 ;;
    -h | --help) usage ;;
    *) echo "bench/posterior.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage
IFS=, read -r -a size_list <<<"$sizes"
for n in "${size_list[@]}"; do
    [[ $n =~ ^[0-9]+$ ]] && ((n >= 2 && n <= 30)) || { echo "bench/posterior.sh: --n: 2 to 30: $sizes" >&2; usage; }
done

bin=$build/bin
helpers=$build/bench
for p in scatter_family_values flip_family_files find_top_families solve_leaf_table \
    trace_leaf_sequence assemble_optimal_graph sum_family_subsets sum_leaf_tables weigh_arcs \
    compute_family_scores; do
    [[ -x $bin/$p ]] || { echo "bench/posterior.sh: $bin/$p: not built" >&2; exit 2; }
done
for p in make_score_table make_bench_data measure; do
    [[ -x $helpers/$p ]] || { echo "bench/posterior.sh: $helpers/$p: not built (BUILD_BENCH=ON)" >&2; exit 2; }
done
[[ -n $tmp ]] || tmp=$build/bench-work
mkdir -p "$tmp"
work=$(mktemp -d "$tmp/posterior.XXXXXX")
trap 'rm -rf "$work"' EXIT

say() { echo "bench/posterior.sh: $*" >&2; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# stage NAME WARM... -- COMMAND...: sets t (median wall seconds), u (median
# processor seconds, user + system, all threads) and kib (peak).
stage() {
    local name=$1
    shift
    local warm=()
    while [[ $1 != -- ]]; do warm+=("$1"); shift; done
    shift
    local times=() cpus=() r seconds k user system
    kib=0
    for ((r = 1; r <= runs; ++r)); do
        [[ ${#warm[@]} -eq 0 ]] || cat "${warm[@]}" >/dev/null
        "$helpers/measure" "$work/measure" "$@" >/dev/null 2>"$work/err" ||
            { head -c 2000 "$work/err" >&2; say "FAIL: $name (n=$n)"; exit 2; }
        read -r seconds k user system _ <"$work/measure"
        times+=("$seconds")
        cpus+=("$(awk -v a="$user" -v b="$system" 'BEGIN {print a + b}')")
        ((k > kib)) && kib=$k
    done
    t=$(median "${times[@]}")
    u=$(median "${cpus[@]}")
    printf '| %s | %s | %.3f | %.3f | %.1f MiB |\n' "$name" "$n" "$t" "$u" "$(awk -v k="$kib" 'BEGIN {print k / 1024}')"
}

missed=0
echo "| stage | n | median s | cpu s | peak RSS |"
echo "|---|---|---|---|---|"
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
# add PREFIX: adds the last stage's t, u and kib to PREFIX_t, PREFIX_u
# (sums) and PREFIX_kib (largest).
add() {
    local -n at=${1}_t au=${1}_u ak=${1}_kib
    at=$(awk -v a="$at" -v b="$t" 'BEGIN {print a + b}')
    au=$(awk -v a="$au" -v b="$u" 'BEGIN {print a + b}')
    ((kib > ak)) && ak=$kib
    return 0
}
for n_source in $(for n in "${size_list[@]}"; do echo "$n:table $n:data"; done); do
    n=${n_source%:*} source=${n_source#*:}
    d=$work/n$n
    mkdir -p "$d"
    say "n=$n: local score files ($source)"
    if [[ $source == table ]]; then
        "$helpers/make_score_table" "$n" "$n" "$d/res" "$d/truth"
        "$bin/scatter_family_values" "$n" "$d"
        "$bin/flip_family_files" "$n" "$d"
        rm -f "$d/res" "$d"/*.slt
    else
        "$helpers/make_bench_data" "$n" 1000 "$n" >"$d/data.csv"
        "$bin/compute_family_scores" --quiet --local-files "$d/data.csv" "$d"
        rm -f "$d/data.csv" "$d/vd"
    fi
    local_files=() lsum=() bss=() bps=()
    for ((i = 0; i < n; ++i)); do
        local_files+=("$d/$i"); lsum+=("$d/$i.lsum"); bss+=("$d/$i.bss"); bps+=("$d/$i.bps")
    done

    search_t=0 search_u=0 search_kib=0
    stage find_top_families "${local_files[@]}" -- "$bin/find_top_families" "$n" "$d"
    add search
    stage solve_leaf_table "${bss[@]}" -- "$bin/solve_leaf_table" "$n" "$d" "$d/sink"
    add search
    stage trace_leaf_sequence "$d/sink" -- "$bin/trace_leaf_sequence" "$n" "$d/sink" "$d/order"
    add search
    stage assemble_optimal_graph -- "$bin/assemble_optimal_graph" "$n" "$d" "$d/order" "$d/network"
    add search
    rm -f "${bss[@]}" "${bps[@]}" "$d/sink"

    post_t=0 post_u=0 post_kib=0
    stage sum_family_subsets "${local_files[@]}" -- "$bin/sum_family_subsets" "$n" "$d"
    add post
    stage sum_leaf_tables "${lsum[@]}" -- "$bin/sum_leaf_tables" "$n" "$d" "$d/fwd" "$d/bwd"
    add post
    stage weigh_arcs "$d/fwd" "$d/bwd" "${local_files[@]}" -- "$bin/weigh_arcs" "$n" "$d" "$d/fwd" "$d/bwd" "$d/prob"
    add post
    awk -v n="$n" 'NF != n {exit 1} {for (k = 1; k <= NF; ++k) if (!($k >= 0 && $k <= 1)) exit 1} END {exit NR != n}' "$d/prob" ||
        { say "FAIL: n=$n: $d/prob holds no n x n probabilities"; exit 2; }
    [[ -z $keep ]] || cp "$d/prob" "$keep/prob.$n"

    # Judged on processor time (both sides use two cores; it is less
    # disturbed than wall time by the load of a shared machine).
    ratio=$(awk -v p="$post_u" -v s="$search_u" 'BEGIN {printf "%.2f", (s > 0 ? p / s : 0)}')
    wall_ratio=$(awk -v p="$post_t" -v s="$search_t" 'BEGIN {printf "%.2f", (s > 0 ? p / s : 0)}')
    time_mark=pass mem_mark=pass
    awk -v r="$ratio" 'BEGIN {exit !(r <= 3)}' || { time_mark=MISS; missed=1; }
    ((post_kib <= search_kib)) || { mem_mark=MISS; missed=1; }
    printf '| search total (%s) | %s | %.3f | %.3f | %s MiB |\n' "$source" "$n" "$search_t" "$search_u" "$(mib "$search_kib")"
    printf '| posterior total (%s) | %s | %.3f | %.3f | %s MiB |\n' "$source" "$n" "$post_t" "$post_u" "$(mib "$post_kib")"
    printf '| posterior / search (%s) | %s | wall %s | cpu %s (<= 3: %s) | memory %s |\n' "$source" "$n" "$wall_ratio" "$ratio" "$time_mark" "$mem_mark"
    rm -rf "$d"
done
if ((missed && strict)); then exit 3; fi
exit 0
