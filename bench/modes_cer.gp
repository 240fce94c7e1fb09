# SPDX-License-Identifier: GPL-3.0-or-later
# Draws each mode's character error rate against SNR from the table bitoner_bench_modes writes,
# beside the human eye reading 3 s dots off a spectrogram.
#   gnuplot -e "data='TABLE'; output='PNG'" bench/modes_cer.gp
set terminal pngcairo size 800,500 font "Liberation Sans,11"
set output output
set title "bitoner decode --mode: character error rate against SNR (3 s dots, offset up to ±2 Hz)"
set xlabel "SNR in 2500 Hz (dB)"
set ylabel "character error rate (%)"
set xrange [-29.5:-22.5] reverse
set yrange [0:100]
set grid
set key top left
$eye << END
-24 4
-26 14
-27 30
-28 54
END
plot data using 1:2 with linespoints lw 2 pt 7 title "QRSS", \
     data using 1:3 with linespoints lw 2 pt 5 title "FSKCW, 5 Hz shift", \
     data using 1:4 with linespoints lw 2 pt 9 title "DFCW, 5 Hz apart, 1 s gaps", \
     $eye using 1:2 with linespoints lw 2 dt 2 pt 4 lc rgb "#555555" title "the human eye (published test)"
