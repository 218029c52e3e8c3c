# Draws one column of a discharge table of discharge routing (the statistics file of
# [routing_model], e.g. output/discharge.stat) as a hydrograph:
#   gnuplot -c scripts/plot-outlet.gp TABLE COLUMN [OUTFILE [OBSERVED OBSCOLUMN]]
# TABLE   the discharge table (three header rows, then year, month, day, hour and one column
#         per subbasin outlet; a goodness-of-fit block may follow the rows)
# COLUMN  the subbasin whose outlet to draw: its code as the first header row names it ("5"
#         or 5), or a column number of the file prefixed with '#' ("#9": the ninth column)
# OUTFILE a PNG file to write; without it (or given as '') a text plot goes to the screen
# OBSERVED, OBSCOLUMN  the observed-discharge file of [routing_model] (header lines that do not
#         begin with a digit, then year, month, day, hour and one column per gauge) and the
#         gauge's column among the values (1 the first after the hour), as the control file
#         pairs it with the subbasin; drawn beside the simulated discharge (values of 0 or
#         below are missing, as in the model's comparison)
# It stops with a message (exit status 1) when the table is missing, the subbasin is not in
# it or the column holds no value to plot. scripts/run-example draws the example's outlet:
#   gnuplot -c scripts/plot-outlet.gp output/discharge.stat 5 output/outlet_discharge.png
if (ARGC < 2) {
  print "usage: gnuplot -c plot-outlet.gp TABLE COLUMN [OUTFILE [OBSERVED OBSCOLUMN]]"
  exit status 2
}
datafile = ARG1
wanted = ARG2
outfile = ARGC >= 3 ? ARG3 : ''
observed = ARGC >= 4 ? ARG4 : ''
if (observed ne '' && ARGC < 5) {
  print "plot-outlet: the observed file needs its column (OBSCOLUMN, 1 the first gauge)"
  exit status 2
}
obscolumn = ARGC >= 5 ? int(ARG5) + 4 : 0

if (system(sprintf("test -r '%s' && echo yes", datafile)) ne "yes") {
  print sprintf("plot-outlet: cannot read the table %s", datafile)
  exit status 1
}

# The column: "#N" is the file's column N; otherwise the subbasin code of the first header row
# (quoted there, as "5").
if (wanted[1:1] eq '#') {
  column = int(wanted[2:*])
} else {
  column = int(system(sprintf("head -n 1 '%s' | awk -v w='%s' '{ for (i = 5; i <= NF; ++i) \
    { n = $i; gsub(/\"/, \"\", n); if (n == w) { print i; exit } } print 0 }' | head -n 1", \
    datafile, wanted)))
}
# Only the dated rows count: the header rows begin with words or "--", the goodness-of-fit
# block after the rows with its labels; values at or below -9999 are missing.
if (column < 5) {
  print sprintf("plot-outlet: %s has no column for %s (its first row names: %s)", datafile, \
    wanted, system(sprintf("head -n 1 '%s' | cut -f5- | tr -d '\"\\r' | tr '\\t' ' '", datafile)))
  exit status 1
}

rows = sprintf("awk 'NR > 3 && $1 ~ /^[0-9]+$/ && NF >= %d && $%d > -9999' '%s'", \
  column, column, datafile)
if (int(system(rows . " | wc -l")) == 0) {
  print sprintf("plot-outlet: column %d of %s holds no discharge to plot", column, datafile)
  exit status 1
}
if (observed ne '') {
  if (system(sprintf("test -r '%s' && echo yes", observed)) ne "yes") {
    print sprintf("plot-outlet: cannot read the observed file %s", observed)
    exit status 1
  }
  obsrows = sprintf("awk '$1 ~ /^[0-9]+$/ && NF >= %d && $%d > 0' '%s'", obscolumn, obscolumn, \
    observed)
  if (obscolumn < 5 || int(system(obsrows . " | wc -l")) == 0) {
    print sprintf("plot-outlet: column %s of %s holds no observed discharge (its rows hold %s values after the hour)", \
      ARG5, observed, system(sprintf("awk '$1 ~ /^[0-9]+$/ { print NF - 4; exit }' '%s'", observed)))
    exit status 1
  }
}
unit = system(sprintf("sed -n 2p '%s' | grep -o '\\[.*\\]' | tr -d '[]' | sed 's/^ *//; s/ *$//'", \
  datafile))

if (outfile eq '') {
  set terminal dumb size 100,25
} else {
  set terminal pngcairo size 1000,500
  set output outfile
}
set title sprintf('%s: discharge at the outlet of %s', datafile, wanted) noenhanced
set xdata time
# Months on the axis for long series, days for short ones.
months = int(system(rows . " | awk '{ print $1 * 100 + $2 }' | uniq | wc -l"))
if (months > 3) { set format x "%b\n%Y" } else { set format x "%d %b\n%Y" }
set ylabel sprintf('Q (%s)', unit eq '' ? 'unit of the table' : unit) noenhanced
set grid
set autoscale xfix
if (observed eq '') {
  set key off
  plot '< '.rows using (strptime('%Y %m %d', sprintf('%d %d %d', $1, $2, $3)) + 3600 * $4):column \
    with lines lw 2
} else {
  # Only the observed days within the simulated range.
  set key top left
  # The reader takes every line (head would close the pipe on the writing awk: "Broken pipe").
  t0 = system(rows . " | awk 'NR == 1 { printf \"%d%02d%02d%02d\", $1, $2, $3, $4 }'")
  t1 = system(rows . " | tail -n 1 | awk '{ printf \"%d%02d%02d%02d\", $1, $2, $3, $4 }'")
  inside = sprintf("%s | awk -v a=%s -v b=%s '{ t = sprintf(\"%%d%%02d%%02d%%02d\", $1, $2, $3, $4); \
    if (t >= a && t <= b) print }'", obsrows, t0, t1)
  plot '< '.rows using (strptime('%Y %m %d', sprintf('%d %d %d', $1, $2, $3)) + 3600 * $4):column \
    with lines lw 2 title 'simulated', \
    '< '.inside using (strptime('%Y %m %d', sprintf('%d %d %d', $1, $2, $3)) + 3600 * $4):obscolumn \
    with points pt 7 ps 0.6 title 'observed'
}
