# Turns tools/bench.sh's run records into the results table. A record is
#   WORKLOAD SERVER ROUND VALUE CPU_SECONDS PEAK_KIB WINESERVER_CPU_SECONDS PER_PRINTER_KIB HELD
# where the last two belong to capacity: resident KiB per printer at the last whole step, and
# the printers connected when the next step failed.
function median(key,    count, i, j, swap, sorted) {
    count = n[key]
    if (count == 0) return "-"
    for (i = 1; i <= count; i++) sorted[i] = v[key, i]
    for (i = 2; i <= count; i++)
        for (j = i; j > 1 && sorted[j - 1] + 0 > sorted[j] + 0; j--) {
            swap = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = swap
        }
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
}
function keep(key, value) {
    if (value == "-") return
    v[key, ++n[key]] = value
    if (!(key in low) || value + 0 < low[key]) low[key] = value + 0
    if (!(key in high) || value + 0 > high[key]) high[key] = value + 0
}
function ratio(a, b) { return (a == "-" || b == "-" || b + 0 == 0) ? "-" : sprintf("%.3f", a / b) }
function figure(x) { return x == "-" ? "-" : (x >= 100 || x == int(x) ? sprintf("%.0f", x) : sprintf("%.2f", x)) }
function three(kind, workload) {
    return figure(median(workload SUBSEP "kestrum" SUBSEP kind)) " / " \
           figure(median(workload SUBSEP "reference" SUBSEP kind)) " / " \
           figure(median(workload SUBSEP "discard" SUBSEP kind))
}
function spread(workload, server,    key, middle) {
    key = workload SUBSEP server SUBSEP "value"
    middle = median(key)
    return middle == "-" || middle + 0 == 0 ? "-" : sprintf("%.0f%%", 100 * (high[key] - low[key]) / middle)
}
{
    keep($1 SUBSEP $2 SUBSEP "value", $4)
    keep($1 SUBSEP $2 SUBSEP "cpu", $5)
    keep($1 SUBSEP $2 SUBSEP "peak", $6 == "-" ? "-" : $6 / 1024)
    keep($1 SUBSEP $2 SUBSEP "wineserver", $7)
    keep($1 SUBSEP $2 SUBSEP "printer", $8)
    if (NF >= 9) keep($1 SUBSEP $2 SUBSEP "held", $9)
    rounds[$1, $3] = 1
    value[$1, $2, $3] = $4
    if (!($1 in seen)) { seen[$1] = 1; order[++workloads] = $1 }
}
END {
    label["one-big-job"] = big; label["small-jobs"] = small
    label["printers-at-once"] = parallel; label["capacity"] = capacity
    print "| Workload | kestrum | reference | discard | kestrum / reference | kestrum / discard |" \
          " CPU s, server (k / r / d) | CPU s, wineserver (k / r / d) | peak resident MiB (k / r / d) |"
    print "|---|---|---|---|---|---|---|---|---|"
    for (w = 1; w <= workloads; w++) {
        name = order[w]
        k = median(name SUBSEP "kestrum" SUBSEP "value")
        r = median(name SUBSEP "reference" SUBSEP "value")
        d = median(name SUBSEP "discard" SUBSEP "value")
        printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", label[name], figure(k), figure(r), figure(d),
               ratio(k, r), ratio(k, d), three("cpu", name), three("wineserver", name), three("peak", name)
    }
    if ("capacity" in seen) {
        k = median("capacity" SUBSEP "kestrum" SUBSEP "printer")
        r = median("capacity" SUBSEP "reference" SUBSEP "printer")
        d = median("capacity" SUBSEP "discard" SUBSEP "printer")
        printf "| resident KiB per connected printer, at the last whole step | %s | %s | %s | %s | %s | | | |\n",
               figure(k), figure(r), figure(d), ratio(k, r), ratio(k, d)
        k = median("capacity" SUBSEP "kestrum" SUBSEP "held")
        r = median("capacity" SUBSEP "reference" SUBSEP "held")
        d = median("capacity" SUBSEP "discard" SUBSEP "held")
        if (k != "-" || r != "-" || d != "-")
            printf "| printers connected when the next step failed | %s | %s | %s | %s | %s | | | |\n",
                   figure(k), figure(r), figure(d), ratio(k, r), ratio(k, d)
    }
    print ""
    print "Run-to-run spread, (highest - lowest) / median, and kestrum's ratio to the reference within each round:"
    print ""
    print "| Workload | kestrum | reference | discard | kestrum / reference, lowest - highest round |"
    print "|---|---|---|---|---|"
    for (w = 1; w <= workloads; w++) {
        name = order[w]
        lowest = ""; highest = ""
        for (key in rounds) {
            split(key, part, SUBSEP)
            if (part[1] != name || value[name, "reference", part[2]] + 0 == 0) continue
            q = value[name, "kestrum", part[2]] / value[name, "reference", part[2]]
            if (lowest == "" || q < lowest) lowest = q
            if (highest == "" || q > highest) highest = q
        }
        printf "| %s | %s | %s | %s | %s |\n", label[name], spread(name, "kestrum"), spread(name, "reference"),
               spread(name, "discard"), lowest == "" ? "-" : sprintf("%.3f - %.3f", lowest, highest)
    }
}
