# Turns tools/bench.sh's round records into the results tables. The records are
#   WORKLOAD SERVER ROUND VALUE AMOUNT CPU_SECONDS WINESERVER_CPU_SECONDS PEAK_KIB
#   capacity SERVER ROUND PRINTERS_HELD - CPU_SECONDS WINESERVER_CPU_SECONDS PEAK_KIB PER_PRINTER_KIB HELD
#   message-cost kestrum ROUND FORMAT_US WRITE_US MESSAGE_US
# where AMOUNT is what CPU time is counted per (MiB moved, or jobs), and HELD the printers
# connected when capacity's next step failed.
#
# A ratio is taken within each round, and the table gives the median of those, with the 5th to
# 95th percentile of the median over 4000 bootstrap resamples of the rounds (a fixed seed, so the
# same records give the same table).
# With -v data=FILE (and -v lane=LANE) it also writes there, tab-separated, for the throughput
# workloads' kestrum / reference and kestrum / discard:
#   ratio WORKLOAD PAIR ROUNDS MEDIAN LOW HIGH VERDICT LANE
#   round WORKLOAD PAIR RATIO ROUND - - - LANE             one line per round
BEGIN { srand(10); RESAMPLES = 4000; GOAL = 0.97 }

# Shell sort: the resampled medians are too many for insertion sort in awk.
function sort(list, count,    gap, i, j, swap) {
    for (gap = int(count / 2); gap > 0; gap = int(gap / 2))
        for (i = gap + 1; i <= count; i++)
            for (j = i; j > gap && list[j - gap] > list[j]; j -= gap) {
                swap = list[j]; list[j] = list[j - gap]; list[j - gap] = swap
            }
}
function median(list, count,    sorted, i) {
    for (i = 1; i <= count; i++) sorted[i] = list[i]
    sort(sorted, count)
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
}
# Sets low and high, the 5th and 95th percentiles of the resampled median, and reaching, the
# share of resampled medians at GOAL or above.
function bootstrap(list, count,    medians, sample, r, i) {
    reaching = 0
    for (r = 1; r <= RESAMPLES; r++) {
        for (i = 1; i <= count; i++) sample[i] = list[1 + int(rand() * count)]
        medians[r] = median(sample, count)
        if (medians[r] >= GOAL) reaching++
    }
    sort(medians, RESAMPLES)
    low = medians[int(0.05 * RESAMPLES) + 1]
    high = medians[int(0.95 * RESAMPLES)]
    reaching /= RESAMPLES
}
function figure(x) { return x >= 100 || x == int(x) ? sprintf("%.0f", x) : x >= 10 ? sprintf("%.1f", x) : sprintf("%.3g", x) }

# The median over rounds of column `column` of `server` on `workload`, scaled per AMOUNT when
# `perAmount` is set; "-" when there is none.
function middle(workload, server, column, perAmount,    list, count, round) {
    count = 0
    for (round = 1; round <= lastRound; round++) {
        if (!((workload, server, round) in recorded) || field[workload, server, round, column] == "-") continue
        list[++count] = field[workload, server, round, column] / (perAmount ? field[workload, server, round, 5] : 1)
    }
    return count ? median(list, count) : "-"
}
function cells(text) { gsub(/ \/ /, " | ", text); return text }
function three(workload, column, perAmount, scale,    k, r, d) {
    k = middle(workload, "kestrum", column, perAmount); r = middle(workload, "reference", column, perAmount)
    d = middle(workload, "discard", column, perAmount)
    return (k == "-" ? "-" : figure(k * scale)) " / " (r == "-" ? "-" : figure(r * scale)) " / " \
           (d == "-" ? "-" : figure(d * scale))
}
# Fills `list` with the per-round ratio of column `column` (per AMOUNT when `perAmount` is set)
# of server a to server b, or their difference times `scale` when `difference` is set; returns
# how many rounds have both.
function paired(list, workload, a, b, column, perAmount, difference, scale,    count, round, x, y) {
    count = 0
    for (round = 1; round <= lastRound; round++) {
        if (!((workload, a, round) in recorded) || !((workload, b, round) in recorded)) continue
        x = field[workload, a, round, column] / (perAmount ? field[workload, a, round, 5] : 1)
        y = field[workload, b, round, column] / (perAmount ? field[workload, b, round, 5] : 1)
        if (difference) list[++count] = (x - y) * scale
        else if (y > 0) list[++count] = x / y
    }
    return count
}
function interval(list, count, digits) {
    if (count == 0) return "-"
    bootstrap(list, count)
    centre = median(list, count)
    return sprintf("%." digits "f (%." digits "f-%." digits "f)", centre, low, high)
}
# Sets ratioCount, centre (the median), and low, high and reaching as bootstrap() does.
function ratio(workload, a, b, column, perAmount,    list) {
    ratioCount = paired(list, workload, a, b, column, perAmount, 0, 1)
    return interval(list, ratioCount, 3)
}
# Whether the interval of the last ratio() lies at GOAL or above.
function verdict() {
    if (ratioCount == 0) return "-"
    return sprintf("%s (%.0f %% of resamples)", low >= GOAL ? "yes" : high < GOAL ? "no" : "not settled",
                   100 * reaching)
}
# Writes the last ratio() of kestrum to `b` on `workload`, its interval and its rounds to data.
function keep(workload, b, answer,    list, count, i) {
    if (data == "" || ratioCount == 0) return
    count = paired(list, workload, "kestrum", b, 4, 0, 0, 1)
    printf "ratio\t%s\tkestrum/%s\t%d\t%.3f\t%.3f\t%.3f\t%s\t%s\n", workload, b, count, centre, low, high,
           answer, lane > data
    for (i = 1; i <= count; i++)
        printf "round\t%s\tkestrum/%s\t%.4f\t%d\t-\t-\t-\t%s\n", workload, b, list[i], i, lane > data
}

{
    recorded[$1, $2, $3] = 1
    for (i = 4; i <= NF; i++) field[$1, $2, $3, i] = $i
    if ($3 > lastRound) lastRound = $3
    if ($1 != "capacity" && $1 != "message-cost" && !($1 in seen)) { seen[$1] = 1; order[++workloads] = $1 }
}

END {
    label["one-big-job"] = big; label["small-jobs"] = small; label["printers-at-once"] = parallel
    perJob["small-jobs"] = 1
    print "Throughput, kestrum / reference and the others as the median of the per-round ratios," \
          " with the 5th-95th percentile of that median (bootstrap over the rounds):"
    print ""
    print "| Workload | rounds | kestrum | reference | discard | kestrum / reference | reaches 0.97 |" \
          " kestrum / discard | reference / discard |"
    print "|---|---|---|---|---|---|---|---|---|"
    for (w = 1; w <= workloads; w++) {
        name = order[w]
        split(three(name, 4, 0, 1), value, " / ")
        toReference = ratio(name, "kestrum", "reference", 4, 0); answer = verdict()
        keep(name, "reference", answer)
        toDiscard = ratio(name, "kestrum", "discard", 4, 0)
        keep(name, "discard", "-")
        printf "| %s | %d | %s | %s | %s | %s | %s | %s | %s |\n", label[name],
               paired(list, name, "kestrum", "reference", 4, 0, 0, 1), value[1], value[2], value[3],
               toReference, answer, toDiscard, ratio(name, "reference", "discard", 4, 0)
    }
    print ""
    print "CPU time (user + system) during each load, ms per MiB moved (per job for small jobs)," \
          " medians over the rounds (k / r / d); ratios and differences taken within each round." \
          " The wineserver also serves the load generator, whose share cannot be told apart:" \
          " the discard reader's column shows the load with the least server work."
    print ""
    print "| Workload | server | kestrum / reference | wineserver | kestrum / reference |" \
          " server, kestrum - reference, µs per 32 KiB chunk (per job) | peak resident MiB (k / r / d) |"
    print "|---|---|---|---|---|---|---|"
    for (w = 1; w <= workloads; w++) {
        name = order[w]
        # Seconds per MiB to microseconds per 32 KiB chunk, or seconds per job to microseconds.
        chunkScale = perJob[name] ? 1e6 : 1e6 / 32
        count = paired(list, name, "kestrum", "reference", 6, 1, 1, chunkScale)
        printf "| %s | %s | %s | %s | %s | %s | %s |\n", label[name], three(name, 6, 1, 1000),
               ratio(name, "kestrum", "reference", 6, 1), three(name, 7, 1, 1000),
               ratio(name, "kestrum", "reference", 7, 1), interval(list, count, 1), three(name, 8, 0, 1 / 1024)
    }

    count = 0
    for (round = 1; round <= lastRound; round++) {
        if (!(("message-cost", "kestrum", round) in recorded) || !(("one-big-job", "reference", round) in recorded))
            continue
        ++count
        formatting[count] = field["message-cost", "kestrum", round, 4]
        writing[count] = field["message-cost", "kestrum", round, 5]
        message[count] = field["message-cost", "kestrum", round, 6]
        # A 32 KiB chunk takes 31250 / (MiB/s) microseconds at the reference's rate.
        share[count] = 100 * message[count] * field["one-big-job", "reference", round, 4] / 31250
    }
    if (count > 0) {
        print ""
        printf "kestrum's message per chunk, timed alone (`message_cost.exe`), µs per call, median of rounds:" \
               " formatting %.2f, the write %.2f, the whole message %.2f; that is %s %% of a 32 KiB chunk's" \
               " time at the reference's rate on the big job in the same round.\n",
               median(formatting, count), median(writing, count), median(message, count), interval(share, count, 2)
    }

    if (("capacity", "kestrum", 1) in recorded) {
        print ""
        print "| Capacity, one series of steps up to " capacitySteps " | kestrum | reference | discard |"
        print "|---|---|---|---|"
        printf "| printers held at once, every job whole | %s |\n", cells(three("capacity", 4, 0, 1))
        printf "| resident KiB per connected printer, at the last whole step | %s |\n", cells(three("capacity", 9, 0, 1))
        printf "| printers connected when the next step failed | %s |\n", cells(three("capacity", 10, 0, 1))
        printf "| peak resident MiB at the last whole step | %s |\n", cells(three("capacity", 8, 0, 1 / 1024))
    }
}
