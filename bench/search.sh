#!/usr/bin/env bash
# Time of the two heavy search stages against their I/O floor: the same
# bytes read and written with no computation (bench/search_io_floor),
# measured in the same run.  Stage and floor alternate; medians are shown.
#
#   bash bench/search.sh [BUILD_DIR]        (default: build)
#
# Environment: SIZES (default "18 20 22"), RUNS (default 3), BENCH_TMP.
set -euo pipefail

build=${1:-build}
bin=$build/bin
make_scores=$build/bench/make_local_scores
floor=$build/bench/search_io_floor
for p in "$bin/find_top_families" "$bin/solve_leaf_table" "$make_scores" "$floor"; do
    [[ -x $p ]] || { echo "search.sh: $p: not built" >&2; exit 2; }
done
sizes=${SIZES:-18 20 22}
runs=${RUNS:-3}
work=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/search-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {print b - a}'; }

printf '%-4s %-18s %-10s %-10s %-6s\n' n stage stage_s floor_s ratio
for n in $sizes; do
    "$make_scores" "$n" "$work"
    for stage in find_top_families solve_leaf_table; do
        ts=() tf=()
        for ((r = 0; r < runs; ++r)); do
            t0=$(now)
            if [[ $stage == find_top_families ]]; then
                "$bin/find_top_families" "$n" "$work"
            else
                "$bin/solve_leaf_table" "$n" "$work" "$work/sink"
            fi
            t1=$(now)
            if [[ $stage == find_top_families ]]; then
                "$floor" families "$n" "$work"
            else
                "$floor" sinks "$n" "$work"
            fi
            t2=$(now)
            ts+=("$(elapsed "$t0" "$t1")")
            tf+=("$(elapsed "$t1" "$t2")")
        done
        ms=$(median "${ts[@]}")
        mf=$(median "${tf[@]}")
        awk -v n="$n" -v st="$stage" -v s="$ms" -v f="$mf" 'BEGIN {
            printf "%-4d %-18s %-10.3f %-10.3f %-6.1f\n", n, st, s, f, s / f }'
    done
    rm -f "$work"/*
done
