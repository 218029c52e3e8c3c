# Shared steps of the benchmark scripts that run the example basin scaled up (sourced, not run):
#   scale_example FOLDER FACTOR DAYS  the example (examples/front-range/) in FOLDER with every grid
#                                     cell split into FACTOR x FACTOR cells of 1/FACTOR the size
#                                     (same extent and stations), the control file cut to the
#                                     first DAYS days of January, and equal process speeds
#   example_copy FOLDER [DAY MONTH]   the example as shipped in FOLDER (with an empty output/ and
#                                     equal process speeds); with DAY and MONTH the control file
#                                     ends at the end of that day
#   busy_per_process FOLDER NP FROM   per process of the run in FOLDER (the files of
#                                     build/bench/libvelorn_mpi_wait_shim.so in FOLDER/wait) from
#                                     the epoch second FROM on: "rank busy waiting", busy being the
#                                     processor seconds outside MPI calls and waiting the wall
#                                     seconds inside them
#   cells_by_soil FOLDER NP           per process of the finished run in FOLDER its basin cells
#                                     and its cells of each soil entry, from output/MPIRegions_0
#                                     (binary doubles) and soil.asc: "rank cells n_1 n_2 ..."
# Callers set `root` (the source tree) first.

scale_example() {
  local folder=$1 factor=$2 days=$3 example="$root/examples/front-range" grid
  mkdir -p "$folder"
  cp -r "$example/stations" "$folder/"
  # Each grid cell into factor x factor cells; header: columns, rows and cell size scaled.
  for grid in "$example"/*.asc; do
    awk -v k="$factor" '
      NR <= 6 {
        key = tolower($1)
        if (key == "ncols" || key == "nrows") $2 = $2 * k
        if (key == "cellsize") $2 = $2 / k
        print; next
      }
      { line = ""
        for (i = 1; i <= NF; ++i) for (j = 0; j < k; ++j) line = line (line == "" ? "" : " ") $i
        for (j = 0; j < k; ++j) print line }' "$grid" > "$folder/$(basename "$grid")"
  done
  # The first `days` days of January.
  awk -v days="$days" '
    /# end: hour, day, month, year/ { print; getline; print days; getline; print 1; next }
    { print }' "$example/front-range.ctl" > "$folder/front-range.ctl"
  printf '1.0\n' > "$folder/MpiSpeedFactor.dat"
}

example_copy() {
  local folder=$1 example="$root/examples/front-range"
  mkdir -p "$folder/output"
  cp -r "$example"/front-range.ctl "$example"/*.asc "$example/stations" "$folder/"
  printf '1.0\n' >"$folder/MpiSpeedFactor.dat"
  if [ $# -gt 1 ]; then
    # [model_time]: start hour, day, month, year, then end hour, day, month, year.
    awk -v day="$2" -v month="$3" '
      /^\[model_time\]/ { section = 1; value = 0; print; next }
      section && /^[0-9]/ { ++value
        if (value == 6) { sub(/^[0-9]+/, day) } else if (value == 7) { sub(/^[0-9]+/, month) }
        if (value == 8) section = 0 }
      { print }' "$example/front-range.ctl" >"$folder/front-range.ctl"
  fi
}

busy_per_process() {
  local folder=$1 np=$2 from=$3 rank
  for ((rank = 0; rank < np; ++rank)); do
    awk -v from="$from" -v rank="$rank" '
      $1 <= from { waited0 = $2; busy0 = $3 }
      { waited = $2; busy = $3 }
      END { printf "%d %.3f %.3f\n", rank, busy - busy0, waited - waited0 }' \
      "$folder/wait/wait_$rank.txt"
  done
}

cells_by_soil() {
  local folder=$1 np=$2
  # The owner grid: 12 doubles of header, then the cells row by row as in the ASCII grids.
  od -A n -v -t f8 -j 96 "$folder/output/MPIRegions_0" | tr -s ' ' '\n' | grep -v '^$' |
    paste -d' ' - <(awk 'NR > 6 { for (i = 1; i <= NF; ++i) print $i }' "$folder/soil.asc") |
    awk -v np="$np" '
      $1 >= 0 { p = int($1); ++cells[p]; s = int($2); ++n[p, s]; if (s > top) top = s }
      END {
        for (p = 0; p < np; ++p) {
          line = p " " cells[p] + 0
          for (s = 1; s <= top; ++s) line = line " " n[p, s] + 0
          print line
        }
      }'
}
