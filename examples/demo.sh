#!/usr/bin/env bash
# make demo: learns the optimal network of the bundled Asia data set in one
# command, with exact arc probabilities and 100 bootstrap resamples, and
# tells where the pictures are.  Argument: the folder of the
# built programs (default build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin}
out=build/demo
"$bin/learn_optimal_network" --posterior --bootstrap 100 examples/asia.csv "$out"
echo
if [ -f "$out/network.svg" ]; then
  echo "Picture: $PWD/$out/network.svg (also network.png beside it)"
  echo "Bootstrap average: $PWD/$out/averaged.svg"
  echo "Model: $out/network.bif, $out/network.xml; arcs: $out/arcs.csv, $out/posterior.csv,"
  echo "  $out/bootstrap.csv"
else
  echo "Graph: $PWD/$out/network.dot, $out/averaged.dot (install Graphviz to draw them)"
fi
