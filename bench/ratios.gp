# Draws tools/bench.sh --write's per-round ratios, kestrum / reference above and kestrum / discard
# (the pipe's limit) below, for each workload and lane, with the median of each and its 5th-95th
# percentile bootstrap interval, against the line at 0.97.
#   gnuplot -e "points='P'; intervals='I'; output='O'; workload1='..'; workload2='..'; workload3='..'; when='..'" ratios.gp
# points: PAIR WORKLOAD LANE RATIO ROUND; intervals: PAIR WORKLOAD LANE MEDIAN LOW HIGH, where PAIR
# is 1 for kestrum / reference and 2 for kestrum / discard, WORKLOAD 1-3 and LANE 64 or 32.
set terminal svg size 1000,820 dynamic enhanced font "Helvetica,13" background "white"
set output output
set encoding utf8

# Each lane beside the other within its workload; each round's point spread a little sideways.
# The verdict is read from the 64-bit lane, as in the tables: its interval against 0.97.
shift(lane) = lane == 64 ? -0.17 : 0.17
x(pair, workload, lane, p) = (pair == p && (lane == 64 || lane == 32)) ? workload + shift(lane) : NaN
spread(round) = ((int(round) % 7) - 3) * 0.018
goal = 0.97
verdict(low, high) = low >= goal ? "reaches 0.97" : high < goal ? "below 0.97" : "not settled"

set xrange [0.5:3.5]
set xtics (workload1 1, workload2 2, workload3 3) scale 0
set grid ytics lc rgb "#dddddd"
set key outside right top vertical Left reverse spacing 1.3 samplen 2
set bars 2
set lmargin 10
set rmargin 40

light64 = "#9ecae1"; dark64 = "#08519c"; light32 = "#f5a66a"; dark32 = "#a63603"; goalColour = "#cc0000"

set multiplot layout 2,1 title sprintf("kestrum against the reference and the pipe's limit, %s\n{/*0.85 dots: each round's ratio; bars: the median of the rounds (its value above) with the 5th-95th percentile of that median (bootstrap);}\n{/*0.85 below the 64-bit lane's bar, its verdict against 0.97}", when)

do for [pair = 1:2] {
    if (pair == 2) { unset key }
    set ylabel (pair == 1 ? "kestrum / reference" : "kestrum / discard reader")
    set title (pair == 1 ? "against the reference capture server (the least code doing the same work)" \
                         : "against the discard reader (what the pipe itself allows)")
    plot points using (x($1, $2, $3, pair) + spread($5)):($3 == 64 ? $4 : NaN) \
             with points pt 7 ps 0.45 lc rgb light64 title "64-bit lane (wine64), each round", \
         intervals using (x($1, $2, $3, pair)):($3 == 64 ? $4 : NaN):5:6 \
             with yerrorbars pt 7 ps 1.1 lw 2.5 lc rgb dark64 title "64-bit lane, median and interval", \
         points using (x($1, $2, $3, pair) + spread($5)):($3 == 32 ? $4 : NaN) \
             with points pt 5 ps 0.4 lc rgb light32 title "32-bit lane, each round", \
         intervals using (x($1, $2, $3, pair)):($3 == 32 ? $4 : NaN):5:6 \
             with yerrorbars pt 5 ps 1.0 lw 2.5 lc rgb dark32 title "32-bit lane, median and interval", \
         intervals using (x($1, $2, $3, pair)):6:(sprintf("%.3f", $4)) \
             with labels offset 0,0.8 font ",11" notitle, \
         intervals using (pair == 1 ? x($1, $2, $3, 1) : NaN):($3 == 64 ? $5 : NaN):(verdict($5, $6)) \
             with labels offset 0,-1.1 font ",11" tc rgb dark64 notitle, \
         goal with lines dt 2 lw 2 lc rgb goalColour title "0.97", \
         1 with lines lw 1 lc rgb "#888888" notitle
}
unset multiplot
