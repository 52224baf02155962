# Draws Vesktor's requests per second as a ratio to the better peer, one bar per scenario, with
# the scenario's goal as a line across its bar. run.sh passes `data`, rows of
#   scenario  ratio  goal  note        (note: empty, or which peer broke, or "to direct")
# tab-separated, and `output`, the PNG to write. The HTTPS chart also passes `title_text` and
# `bar_title`, `level_title`, `width` (pixels), and `logscale = 1`, since its ratios run from
# below 1 to hundreds.
if (!exists("title_text")) \
    title_text = "Vesktor's requests per second / the better peer's (line: the goal)"
if (!exists("bar_title")) bar_title = "Vesktor / better peer"
if (!exists("level_title")) level_title = "level with the better peer"
if (!exists("logscale")) logscale = 0
if (!exists("width")) width = 900
set terminal pngcairo size width,520 font ",10" noenhanced
set output output
set datafile separator "\t"

set title title_text
set ylabel "ratio"
if (logscale) {
    set logscale y
    set yrange [0.1:*]
    set offsets 0.6, 0.6, graph 0.1, 0
} else {
    set yrange [0:*]
    set offsets 0.6, 0.6, 0.25, 0
}
set bmargin 4
set style fill solid 0.6 border -1
set boxwidth 0.6
set grid ytics
set key outside top center horizontal
set xtics nomirror
set ytics nomirror

label(scenario, note) = note eq "" ? scenario : scenario . "\n(" . note . ")"

plot data using 0:2:xtic(label(strcol(1), strcol(4))) with boxes lc rgb "#4a7ebb" \
         title bar_title, \
     data using ($0 - 0.4):3:(0.8):(0) with vectors nohead lw 3 lc rgb "#c0392b" title "goal", \
     data using 0:2:(sprintf("%.2f", $2)) with labels offset 0,0.7 notitle, \
     1 with lines dt 2 lc rgb "#555555" title level_title
