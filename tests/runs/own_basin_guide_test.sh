#!/usr/bin/env bash
# Follows docs/own-basin.md as a user would: runs the guide's shell blocks in order in a fresh
# folder (they make a small basin of their own, run it on 3 processes and draw its outlet
# beside the gauge), runs the same control file again on 1 process, and checks what the guide
# promises: a discharge table with a row per day that does not depend on the process count, the
# goodness-of-fit block after it, a water balance that closes, and hydrographs drawn without a
# tool failing (also of a long series).
# Usage: own_basin_guide_test.sh SOURCE_DIR BUILD_DIR (the folder that holds velorn)
set -euo pipefail
guide=$1/docs/own-basin.md
export VELORN_HOME=$1 VELORN_BUILD=$2
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_rmaps_base_oversubscribe=1
# The guide's runs and this one unbound, as CTest runs other tests beside them.
export OMPI_MCA_hwloc_base_binding_policy=none
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAILED: $*"; exit 1; }

{
  command -v gnuplot >/dev/null || echo 'gnuplot() { echo "no gnuplot: no plot"; }'
  awk '/^ *```sh$/ { on = 1; next } /^ *```$/ { on = 0 } on' "$guide"
} > steps.sh
bash -e steps.sh > steps.log 2>&1 || { tail -n 20 steps.log mybasin/run.log; fail "a block of the guide"; }
# The hydrograph with the observed discharge: no tool of the plot may fail on a closed pipe.
if grep -i 'broken pipe\|write failure' steps.log; then fail "a tool of the plot wrote into a closed pipe"; fi

cd mybasin
mv output output-3
mpirun -np 1 "$VELORN_BUILD/velorn" basin.ctl > run-1.log 2>&1 || { tail -n 20 run-1.log; fail "the run on 1 process"; }
cmp output-3/discharge.stat output/discharge.stat || fail "1 and 3 processes route differently"
rows=$(awk 'NR > 3 && $1 ~ /^[0-9]+$/ && $7 > 0' output/discharge.stat | wc -l)
[ "$rows" -eq 59 ] || fail "$rows days of positive outlet discharge instead of 59"
grep -q '^LIN. R-SQUARE	0	' output/discharge.stat || fail "no goodness of fit at lag 0"
awk -F '\t' '$1 == "run" && $2 == "basin" { r = $NF; if (r < 0) r = -r; ok = r < 1e-6 }
             END { exit !ok }' output/water_balance.txt || fail "the basin's balance stays open"
if command -v gnuplot >/dev/null; then
  [ -s hydrograph.png ] || fail "no hydrograph drawn"
  # The same plot of a long series (the guide's days again in each of 50 years), whose rows
  # overfill a pipe that a tool of the plot closes early.
  for table in output/discharge.stat stations/observed.txt; do
    awk '$1 !~ /^[0-9]+$/ { if (!n) print; next } { rows[++n] = $0 }
         END { for (y = 0; y < 50; ++y) for (i = 1; i <= n; ++i) {
                 line = rows[i]; year = substr(line, 1, 4) + y; print year substr(line, 5) } }' \
      "$table" > "long-$(basename "$table")"
  done
  gnuplot -c "$VELORN_HOME/scripts/plot-outlet.gp" long-discharge.stat 3 long.png \
    long-observed.txt 1 > long-plot.log 2>&1 || { cat long-plot.log; fail "the long hydrograph"; }
  if grep -i 'broken pipe\|write failure' long-plot.log; then fail "a plot tool wrote into a closed pipe"; fi
  [ -s long.png ] || fail "no long hydrograph drawn"
fi
echo "the guide's basin ran on 1 and 3 processes"
