# SPDX-License-Identifier: GPL-3.0-or-later
# Draws the decoder's character error rate against SNR from the table bitoner_bench_decode writes.
#   gnuplot -e "data='TABLE'; output='PNG'" bench/decode_cer.gp
set terminal pngcairo size 800,500 font "Liberation Sans,11"
set output output
set title "bitoner decode: character error rate against SNR (unknown start, level, phase, offset up to ±2.6 Hz)"
set xlabel "SNR in 2500 Hz (dB)"
set ylabel "character error rate (%)"
set xrange [-33.5:-14.5] reverse
set yrange [0:100]
set grid
set key top right
plot data using 1:2 with linespoints lw 2 pt 7 title "3 s symbols, I/Q", \
     data using 1:3 with linespoints lw 2 pt 5 title "3 s symbols, mono (I channel)", \
     data using 1:4 with linespoints lw 2 pt 9 title "0.5 s symbols, I/Q"
