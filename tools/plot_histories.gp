# Draws the displacement, velocity and acceleration histories of both masses into one PNG.
#
# Run from anywhere; `dir` is the folder of the run, `out` the picture, `metric` = 1 labels the
# axes in metric units (English otherwise):
#   gnuplot -e "dir='run'" tools/plot_histories.gp              -> run/histories.png
#   gnuplot -e "dir='run'; out='a.png'; metric=1" tools/plot_histories.gp

if (!exists("dir")) dir = "."
if (!exists("out")) out = dir . "/histories.png"
if (!exists("metric")) metric = 0

if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 1000,1100 font "sans,10"
} else {
    set terminal png size 1000,1100
}
set output out

if (metric) {
    du = "m"; vu = "m/sec"; au = "m/sec^2"
} else {
    du = "in"; vu = "in/sec"; au = "G"
}

set datafile separator whitespace
set grid
set autoscale xfix
set key top right
set xlabel "time (sec)"
set multiplot layout 3,1 title "Free vibration of the two masses"

set ylabel "displacement (" . du . ")"
plot dir . "/disp.out" using 1:2 with lines lw 1.5 title "mass 1", \
     ""                using 1:3 with lines lw 1.5 title "mass 2"

set ylabel "velocity (" . vu . ")"
plot dir . "/velox.out" using 1:2 with lines lw 1.5 title "mass 1", \
     ""                 using 1:3 with lines lw 1.5 title "mass 2"

set ylabel "acceleration (" . au . ")"
plot dir . "/accel.out" using 1:2 with lines lw 1.5 title "mass 1", \
     ""                 using 1:3 with lines lw 1.5 title "mass 2"

unset multiplot
set output
