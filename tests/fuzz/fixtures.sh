#!/usr/bin/env bash
# The fixed side files of the fuzzing targets, written into the folder WORK:
#
#   bash tests/fuzz/fixtures.sh WORK
#
# The one source of these files: tests/fuzz/run.sh fuzzes against them and
# tests/fuzz_corpus_test.cpp replays the seeds against them.
set -euo pipefail
work=${1:?usage: fixtures.sh WORK}
mkdir -p "$work"

# Four variables: local score files of 8 doubles (-1.0 .. -8.0 in turn).
scores=$work/scores
mkdir -p "$scores"
doubles='\0\0\0\0\0\0\360\277 \0\0\0\0\0\0\0\300 \0\0\0\0\0\0\10\300 \0\0\0\0\0\0\20\300'
doubles+=' \0\0\0\0\0\0\24\300 \0\0\0\0\0\0\30\300 \0\0\0\0\0\0\34\300 \0\0\0\0\0\0\40\300'
for i in 0 1 2 3; do
  : >"$scores/$i"
  for d in $doubles; do printf "$d" >>"$scores/$i"; done
done
# Best-parent files of four variables: record p names parset p itself.
for i in 0 1 2 3; do
  : >"$scores/$i.bps"
  for p in 0 1 2 3 4 5 6 7; do printf "\\$p\\0\\0\\0" >>"$scores/$i.bps"; done
done
printf '0\n1\n3\n0\n' >"$work/net4"
printf '0 1\n0 2\n1 2\n2 3\n' >"$work/arcs.fixed"
printf 'asia\t2\tyes\tno\nsmoke\t2\tno\tyes\nlung\t3\ta\tb\tc\nxray\t1\tz\n' >"$work/vd.fixed"
printf 'scores\n6 vars\nhead3\n0 0 6 2 2 2\nrecords\n2 ACD 1.5\n2 AD -1\n2 D -2\n2 AB -3.25\n2 AAD -0.5\n2 CB 0\n3 B 0.25\n3 AC -1 trailing words\n4 A -1\n4 AA -2\n5 B -3\n5 ab -2.5\n' >"$work/listing"
printf '2 bans\nheader\n2 Bxyz\n5 b\n' >"$work/ban"
printf '4 whites\nheader\n2 A\n2 C\n4 A\n4 A\n' >"$work/white"
printf 'V0,V1,V2,V3\n1,a,x,0\n2,b,x,1\n1,b,y,0\n2,a,y,1\n1,a,y,1\n' >"$work/data.csv"
printf 'V0,V1\n' >"$work/forbid"
# rate_graphs reads the fuzzed network as $work/net.cur through this list.
printf '%s\n%s\n%s\n' "$work/net.cur" "$work/net4" "$work/net.cur" >"$work/list"
