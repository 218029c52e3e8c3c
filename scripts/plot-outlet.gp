# Draws the daily discharge at the basin outlet of the example (the column "5" of
# discharge.stat, m³/s) as a hydrograph. scripts/run-example calls it in the run directory:
#   gnuplot -e "datafile='output/discharge.stat'; outfile='output/outlet_discharge.png'" scripts/plot-outlet.gp
# With outfile='' it draws a text plot on the screen (terminal dumb) instead of the PNG.
if (!exists("datafile")) datafile = 'output/discharge.stat'
if (!exists("outfile")) outfile = 'output/outlet_discharge.png'
if (outfile eq '') {
  set terminal dumb size 100,25
} else {
  set terminal pngcairo size 1000,500
  set output outfile
}
set title 'Front Range example: daily discharge at the basin outlet'
set xdata time
set format x '%b'
set ylabel 'Q (m^3/s)'
set grid
set key off
set autoscale xfix
# Three header lines; the date is in columns 1-3, the outlet (subbasin 5) in column 9.
plot datafile every ::3 using (strptime('%Y %m %d', sprintf('%d %d %d', $1, $2, $3))):9 with lines lw 2
