#!/bin/sh
# The product holds no simulator: no TSim name among the symbols of the
# built tervox, while tervox-sim, read the same way, shows them (so that a
# stripped or unreadable program cannot pass unseen). $1: the bin folder.
set -u
bin=$1
if ! nm -C "$bin/tervox-sim" | grep -q TSim; then
  echo "nm shows no TSim name in $bin/tervox-sim: the check cannot see"
  exit 1
fi
found=$(nm -C "$bin/tervox" | grep TSim)
if [ -n "$found" ]; then
  echo "$bin/tervox holds the simulator:"
  echo "$found" | head -n 10
  exit 1
fi
