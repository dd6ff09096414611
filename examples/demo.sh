#!/usr/bin/env bash
# make demo: learns the optimal network of the bundled Asia data set in one
# command and tells where the picture is.  Argument: the folder of the
# built programs (default build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin}
out=build/demo
"$bin/learn_optimal_network" --posterior examples/asia.csv "$out"
echo
if [ -f "$out/network.svg" ]; then
  echo "Picture: $PWD/$out/network.svg (also network.png beside it)"
  echo "Model: $out/network.bif, $out/network.xml; arcs: $out/arcs.csv, $out/posterior.csv"
else
  echo "Graph: $PWD/$out/network.dot (install Graphviz to draw it)"
fi
