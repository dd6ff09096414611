#!/usr/bin/env bash
# Coverage-guided fuzzing of every text reader of the suite with AFL++.
#
#   bash tests/fuzz/run.sh BUILD_DIR [SECONDS]
#
# BUILD_DIR holds programs built with afl-clang-fast++ and ASan+UBSan (see
# `make fuzz`).  Each target below runs one program on the fuzzed file and
# small fixed side files for SECONDS seconds (default 60), starting from the
# seeds in tests/fuzz/<target>/.  A program that rejects its input with a
# message and status 2 behaves normally; a sanitizer report (it aborts), a
# signal or an uncaught exception is a crash, a run over the time limit a
# hang.  Results: BUILD_DIR/fuzz-summary.tsv, one line per target, and the
# findings in BUILD_DIR/fuzz-out/<target>/default/{crashes,hangs}/.  The
# exit status is 1 when any target found a crash or a hang.  FUZZ_TARGETS
# (names separated by spaces) runs only those targets.
set -euo pipefail

build=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-60}
case $seconds in
  '' | *[!0-9]*) echo "run.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 1 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
bin=$build/bin
work=$build/fuzz-work
out=$build/fuzz-out
summary=$build/fuzz-summary.tsv

command -v afl-fuzz >/dev/null || { echo "run.sh: afl-fuzz not found (apt-get install afl++)" >&2; exit 1; }

# Every input is at most 4 KiB; a run over 2 s is a hang.
max_len=4096
timeout_ms=2000

export AFL_NO_UI=1 AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1
export AFL_FAST_CAL=1
# A sanitizer report must end the run with a signal so that the fuzzer sees
# it; leaks at exit(2) are not faults of these programs.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1:malloc_context_size=0
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:symbolize=0:print_stacktrace=1

rm -rf "$work" "$out"
mkdir -p "$work" "$out"

# ---- fixed side files ------------------------------------------------------
bash "$here/fixtures.sh" "$work"
scores=$work/scores
# import_family_table writes into the result folder fixed by its build.
prefix=$(sed -n "s/^RESULT_DIR_PREFIX:PATH=//p" "$build/CMakeCache.txt" 2>/dev/null || true)
mkdir -p "${prefix:-$build}/example/resdir"

# ---- targets -----------------------------------------------------------------
# name | reader | dictionary (tests/fuzz/dictionaries/<name>.dict) | command
# (@@ is the fuzzed file; rate_graphs reads it as $work/net.cur through its
# fixed list)
targets=(
  "rate_graph|network file|numbers|$bin/rate_graph @@ $scores"
  "rate_graphs|network file in a list|numbers|$bin/rate_graphs $work/list $scores"
  "graph_to_family_lists|network file|numbers|$bin/graph_to_family_lists @@ $work/parents"
  "family_lists_to_edges|parent file|numbers|$bin/family_lists_to_edges @@ $work/arcs"
  "edges_to_gv_vd|variable-description file|vd|$bin/edges_to_gv @@ $work/arcs.fixed $work/out.dot"
  "edges_to_gv_arcs|arc file|numbers|$bin/edges_to_gv $work/vd.fixed @@ $work/out.dot"
  "assemble_optimal_graph|order file|numbers|$bin/assemble_optimal_graph 4 $scores @@ $work/network"
  "import_family_table|text score listing|listing|$bin/import_family_table @@"
  "apply_edge_rules_listing|text score listing|listing|$bin/apply_edge_rules @@ $work/ban $work/white $work/out.listing"
  "apply_edge_rules_ban|ban list|rules|$bin/apply_edge_rules $work/listing @@ $work/white $work/out.listing"
  "apply_edge_rules_white|white list|rules|$bin/apply_edge_rules $work/listing $work/ban @@ $work/out.listing"
  "compute_family_scores_data|CSV/TSV data|csv|$bin/compute_family_scores_capped --threads 1 --missing=drop @@ $work/scored"
  "compute_family_scores_arcs|arc constraint list|arcs|$bin/compute_family_scores --threads 1 --forbid $work/forbid --require @@ $work/data.csv $work/scored"
)

stat_of() {   # stat_of FILE KEY: a value of fuzzer_stats, 0 when absent
  local v
  v=$(sed -n "s/^$2 *: *//p" "$1" 2>/dev/null | head -n 1)
  echo "${v:-0}"
}

printf 'target\treader\tseconds\texecs\tcrashes\thangs\n' >"$summary"
failed=0
for entry in "${targets[@]}"; do
  IFS='|' read -r name reader dict command <<<"$entry"
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then
    continue
  fi
  seeds=$here/$name
  [ -d "$seeds" ] || { echo "run.sh: no seed folder $seeds" >&2; exit 1; }
  file_opt=()
  [ "$name" = rate_graphs ] && file_opt=(-f "$work/net.cur")
  echo "== $name ($reader): ${seconds}s"
  # shellcheck disable=SC2086  # the command is split into its words on purpose
  (cd "$work" && afl-fuzz -i "$seeds" -o "$out/$name" -V "$seconds" -t "$timeout_ms" \
     -G "$max_len" -x "$here/dictionaries/$dict.dict" "${file_opt[@]}" -- $command) >"$out/$name.log" 2>&1 || {
    echo "run.sh: afl-fuzz failed on $name; the end of $out/$name.log:" >&2
    tail -n 20 "$out/$name.log" >&2
    exit 1
  }
  stats=$out/$name/default/fuzzer_stats
  execs=$(stat_of "$stats" execs_done)
  crashes=$(stat_of "$stats" saved_crashes)
  hangs=$(stat_of "$stats" saved_hangs)
  run_time=$(stat_of "$stats" run_time)
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$reader" "$run_time" "$execs" "$crashes" "$hangs" >>"$summary"
  echo "   $execs execs, $crashes crashes, $hangs hangs"
  if [ "$crashes" != 0 ] || [ "$hangs" != 0 ]; then
    failed=1
    for f in "$out/$name/default/crashes/"id* "$out/$name/default/hangs/"id*; do
      [ -e "$f" ] && echo "   input: $f"
    done
  fi
done

echo "summary: $summary"
column -t -s $'\t' "$summary" 2>/dev/null || cat "$summary"
if [ "$failed" != 0 ]; then
  echo "fuzzing found crashes or hangs: the inputs are listed above" >&2
  exit 1
fi
