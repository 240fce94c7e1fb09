# SPDX-License-Identifier: GPL-3.0-or-later
# Draws the decoder's character error rate against SNR from the table bitoner_bench_decode writes,
# beside the human eye reading 3 s dots off a spectrogram (a published test, noise in 2500 Hz).
#   gnuplot -e "data='TABLE'; output='PNG'" bench/decode_cer.gp
set terminal pngcairo size 900,560 font "Liberation Sans,11"
set output output
set title "bitoner decode: character error rate against SNR (unknown start, level, phase, offset up to ±2.6 Hz)"
set xlabel "SNR in 2500 Hz (dB)"
set ylabel "character error rate (%)"
set xrange [-33.5:-14.5] reverse
set yrange [0:100]
set grid
set key top right
$eye << EOD
-24 4
-26 14
-27 30
-28 54
EOD
plot data using 1:2 with linespoints lw 2 pt 7 title "3 s symbols, I/Q", \
     data using 1:3 with linespoints lw 2 pt 5 title "3 s, mono (I channel)", \
     data using 1:4 with linespoints lw 2 pt 9 title "0.5 s, I/Q", \
     data using 1:5 with linespoints lw 1 pt 4 title "3 s, drift 1 Hz a minute", \
     data using 1:6 with linespoints lw 1 pt 6 title "3 s, drift 3 Hz a minute", \
     data using 1:7 with linespoints lw 1 pt 8 title "3 s, carrier +20 dB 2.5 Hz from a tone", \
     data using 1:8 with linespoints lw 1 pt 10 title "3 s, carrier +40 dB 20 Hz from a tone", \
     data using 1:9 with linespoints lw 2 pt 12 title "3 s, Rayleigh fading (20 s)", \
     data using 1:10 with linespoints lw 1 pt 14 title "3 s, Rayleigh fading (5 s)", \
     data using 1:11 with linespoints lw 1 pt 3 title "3 s, Rayleigh fading (30 s)", \
     data using 1:12 with linespoints lw 1 pt 1 title "3 s, drift 2 Hz a minute turning every minute", \
     data using 1:13 with linespoints lw 1 pt 2 title "0.5 s, drift 6 Hz a minute", \
     $eye using 1:2 with linespoints lw 3 dt 2 pt 13 ps 1.5 lc rgb "black" title "the human eye, 3 s dots"
