#!/usr/bin/env bash
# Families per second of compute_family_scores, against the floor of simply
# writing a score table of the same size.
#
#   bash bench/scorer.sh [BUILD_DIR]        (default: build)
#
# BUILD_DIR must hold bin/compute_family_scores, bench/make_bench_data and
# bench/write_floor (a build with BUILD_BENCH=ON, the default).  Environment:
# SIZES (default "16 20 22"), ROWS (default "1000 10000"), RUNS (default 3),
# SCORE (default bdeu), THREADS (--threads of the scorer, default: its own
# default, one per core), BENCH_TMP (scratch folder, default under TMPDIR).
# For each n and N the scorer and the floor run alternately RUNS times; the
# medians are reported.
set -euo pipefail

build=${1:-build}
scorer=$build/bin/compute_family_scores
make_data=$build/bench/make_bench_data
floor=$build/bench/write_floor
for p in "$scorer" "$make_data" "$floor"; do
    [[ -x $p ]] || { echo "scorer.sh: $p: not built" >&2; exit 2; }
done
sizes=${SIZES:-16 20 22}
rows=${ROWS:-1000 10000}
runs=${RUNS:-3}
score=${SCORE:-bdeu}
threads=()
[[ -n ${THREADS:-} ]] && threads=(--threads "$THREADS")
work=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/scorer-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

printf '%-4s %-7s %-11s %-10s %-14s %-10s %-6s\n' n N families scorer_s families_per_s floor_s ratio
for n in $sizes; do
    for N in $rows; do
        "$make_data" "$n" "$N" 1 > "$work/data.csv"
        families=$(( n * (1 << (n - 1)) ))
        ts=() tf=()
        for ((r = 0; r < runs; ++r)); do
            t0=$(now)
            "$scorer" --score "$score" "${threads[@]}" "$work/data.csv" "$work/out"
            t1=$(now)
            rm -rf "$work/out"
            "$floor" "$n" "$work/floor"
            t2=$(now)
            rm -f "$work/floor"
            ts+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')")
            tf+=("$(awk -v a="$t1" -v b="$t2" 'BEGIN {print b - a}')")
        done
        ms=$(median "${ts[@]}")
        mf=$(median "${tf[@]}")
        awk -v n="$n" -v N="$N" -v f="$families" -v s="$ms" -v fl="$mf" 'BEGIN {
            printf "%-4d %-7d %-11d %-10.3f %-14.0f %-10.3f %-6.1f\n", n, N, f, s, f / s, fl, s / fl }'
    done
done
