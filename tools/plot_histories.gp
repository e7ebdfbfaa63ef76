# Draws the displacement, velocity and acceleration histories of both masses into one PNG.
#
# Run from anywhere; `dir` is the folder of the run, `out` the picture. The unit system and the
# model for the title come from the run's report, pelmar.out; `metric` = 1 or 0 still forces
# metric or English labels (for a report written before it named its units):
#   gnuplot -e "dir='run'" tools/plot_histories.gp              -> run/histories.png
#   gnuplot -e "dir='run'; out='a.png'; metric=1" tools/plot_histories.gp

if (!exists("dir")) dir = "."
if (!exists("out")) out = dir . "/histories.png"
report = dir . "/pelmar.out"

# " Units = metric: kg, ..." or " Units = English: ..." in the report's run summary.
units = system("awk '/^ Units = /{ print $3; exit }' '" . report . "' 2>/dev/null")
if (!exists("metric")) metric = (units eq "metric:") ? 1 : 0

if (metric) {
    du = "m"; vu = "m/sec"; au = "m/sec^2"; mu = "kg"; ku = "N/m"
} else {
    du = "in"; vu = "in/sec"; au = "G"; mu = "lbf sec^2/in"; ku = "lbf/in"
}

# The title names the model as the report echoes it: both rows of M and K, the damping ratios.
model = system("awk -v mu='" . mu . "' -v ku='" . ku . "'" \
             . " '/^ Mass matrix/ { m = 1; next } m > 0 && m < 3 { M[m++] = ($1 + 0) \" \" ($2 + 0); next }" \
             . " /^ Stiffness matrix/ { k = 1; next } k > 0 && k < 3 { K[k++] = ($1 + 0) \" \" ($2 + 0); next }" \
             . " /^ Damping ratio 1 =/ { z1 = $5 + 0 } /^ Damping ratio 2 =/ { z2 = $5 + 0 }" \
             . " END { if (k == 3 && z1 != \"\") printf \"M = [%s; %s] %s, K = [%s; %s] %s, damping ratios %s and %s\"," \
             . " M[1], M[2], mu, K[1], K[2], ku, z1, z2 }' '" . report . "' 2>/dev/null")
title = "Free vibration of the two masses"
if (strlen(model) > 0) title = title . "\n" . model

if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 1000,1100 font "sans,10"
} else {
    set terminal png size 1000,1100
}
set output out

# A long record is thinned before it is drawn: a picture cannot show more than a few thousand
# points across anyway, and gnuplot takes tens of seconds for millions. The lines are taken in
# blocks of k, about 25,000 blocks, and of each block only the lines that hold the smallest and
# the largest value of either mass are kept, in time order, so every peak of the record is still
# drawn at its own time: at most 100,000 points a curve. The three files are thinned at once, by
# one pass of awk each, into a temporary folder. A record of up to 100,000 lines is drawn whole.
lines = int(system("awk 'END { print NR }' '" . dir . "/disp.out' 2>/dev/null") + 0)
k = lines > 100000 ? int(ceil(lines / 25000.0)) : 1
thin = "function flush(  i, j, n, t, o) { n = 0;" \
     . " for (i = 0; i < 4; i++) { for (j = 0; j < n && o[j] != at[i]; j++); if (j == n) o[n++] = at[i] }" \
     . " for (i = 1; i < n; i++) for (j = i; j > 0 && o[j] < o[j-1]; j--) { t = o[j]; o[j] = o[j-1]; o[j-1] = t }" \
     . " for (i = 0; i < n; i++) print keep[o[i]] }" \
     . " { x = $2 + 0; y = $3 + 0;" \
     . " if (r == 0) { lo2 = hi2 = x; lo3 = hi3 = y; at[0] = at[1] = at[2] = at[3] = 0; keep[0] = $0 }" \
     . " else { if (x < lo2) { lo2 = x; at[0] = r; keep[r] = $0 } else if (x > hi2) { hi2 = x; at[1] = r; keep[r] = $0 }" \
     . " if (y < lo3) { lo3 = y; at[2] = r; keep[r] = $0 } else if (y > hi3) { hi3 = y; at[3] = r; keep[r] = $0 } }" \
     . " if (++r == k) { flush(); r = 0; delete keep } } END { if (r > 0) flush() }"
data = dir
if (k > 1) {
    data = system("mktemp -d")
    system(sprintf("for f in disp velox accel; do awk -v k=%d '%s' '%s/'$f.out > '%s/'$f.out & done; wait", \
                   k, thin, dir, data))
    title = title . sprintf("\n%d steps, drawn in blocks of %d steps: the lines with the smallest and largest values", \
                            lines, k)
}

set datafile separator whitespace
set grid
set autoscale xfix
set key top right
set xlabel "time (sec)"
set multiplot layout 3,1 title title

set ylabel "displacement (" . du . ")"
plot data . "/disp.out" using 1:2 with lines lw 1.5 title "mass 1", \
     ""                 using 1:3 with lines lw 1.5 title "mass 2"

set ylabel "velocity (" . vu . ")"
plot data . "/velox.out" using 1:2 with lines lw 1.5 title "mass 1", \
     ""                  using 1:3 with lines lw 1.5 title "mass 2"

set ylabel "acceleration (" . au . ")"
plot data . "/accel.out" using 1:2 with lines lw 1.5 title "mass 1", \
     ""                  using 1:3 with lines lw 1.5 title "mass 2"

unset multiplot
set output
if (k > 1) system("rm -rf '" . data . "'")
