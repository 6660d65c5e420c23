# The benchmark's tables, from bench/bench.py's records of a lane (see transfer, capacity and
# lane_round there). A ratio pairs two transfers of the same round and repeat; its median over the
# rounds comes with the 5th-95th percentile of that median over 4000 bootstrap resamples of the rounds.
import random, statistics

GOAL, RESAMPLES = 0.97, 4000
WORKLOADS, SERVERS = ("one-big-job", "small-jobs", "printers-at-once"), ("kestrum", "reference", "discard")

def label(workload, count, size):
    return {"one-big-job": f"one job of {size >> 20} MiB, MiB/s",
            "small-jobs": f"{count} jobs of {size} bytes from one printer, jobs/s",
            "printers-at-once": f"{count} printers at once, {size >> 10} KiB each, MiB/s in all"}[workload]

def of(records, workload, server=None):
    return [r for r in records if r["workload"] == workload and server in (None, r.get("server"))]
def per(record, key, per_amount): return record[key] / record["amount"] if per_amount else record[key]

def three(records, workload, key, per_amount=False, scale=1):  # medians over the rounds of k / r / d
    medians = [statistics.median(values) * scale if values else None for values in
               ([per(r, key, per_amount) for r in of(records, workload, s) if r[key] is not None] for s in SERVERS)]
    return " / ".join("-" if x is None else f"{x:.0f}" if x >= 100 or x == int(x) else f"{x:.1f}" if x >= 10
                      else f"{x:.3g}" for x in medians)

def paired(records, workload, a, b):  # (a's transfer, b's) of each round and repeat where both ran
    b_at = {(r["round"], r["repeat"]): r for r in of(records, workload, b)}
    return [(r, b_at[r["round"], r["repeat"]]) for r in of(records, workload, a) if (r["round"], r["repeat"]) in b_at]
def ratios(records, workload, a, b, key="value", per_amount=False):
    return [per(x, key, per_amount) / per(y, key, per_amount) for x, y in paired(records, workload, a, b) if y[key]]

def interval(values):
    """(median, 5th and 95th percentile of the resampled medians, the share of those at GOAL or above)."""
    if not values: return None
    resample = random.Random(10)  # the same records give the same table
    medians = sorted(statistics.median(resample.choices(values, k=len(values))) for _ in range(RESAMPLES))
    return (statistics.median(values), medians[RESAMPLES // 20], medians[RESAMPLES * 19 // 20 - 1],
            sum(m >= GOAL for m in medians) / RESAMPLES)
def shown(found, digits=3):
    return "-" if found is None else "{0:.{3}f} ({1:.{3}f}-{2:.{3}f})".format(*found[:3], digits)
def verdict(found):  # whether the whole interval lies at GOAL or above, below it, or neither
    return "-" if found is None else ("yes" if found[1] >= GOAL else "no" if found[2] < GOAL else "not settled") \
        + f" ({100 * found[3]:.0f} % of resamples)"

def message_shares(records):
    """Per round, kestrum's message timed alone in % of a 32 KiB chunk's time (31250 µs over MiB/s) at the
    reference's rate on the big job in the same round, the median of its repeats there."""
    rates = [[r["value"] for r in of(records, "one-big-job", "reference") if r["round"] == m["round"]]
             for m in of(records, "message-cost")]
    return [100 * m["message"] * statistics.median(r) / 31250 for m, r in zip(of(records, "message-cost"), rates) if r]

def lane_tables(records, lane):
    """A lane's tables as Markdown lines; for the drawing, each round's kestrum / reference and / discard
    (PAIR WORKLOAD LANE RATIO ROUND), and their medians (PAIR WORKLOAD LANE MEDIAN LOW HIGH)."""
    workloads, points, intervals = [w for w in WORKLOADS if of(records, w)], [], []
    labels = {w: label(w, of(records, w)[0]["count"], of(records, w)[0]["bytes"]) for w in workloads}
    lines = ["| Workload | rounds | kestrum | reference | discard | kestrum / reference | reaches 0.97 |"
             " kestrum / discard | reference / discard |", "|---|---|---|---|---|---|---|---|---|"]
    for number, w in enumerate(workloads, 1):
        kept = [ratios(records, w, *pair) for pair in (SERVERS[:2], SERVERS[::2], SERVERS[1:])]
        found = [interval(values) for values in kept]
        lines.append(f"| {labels[w]} | {len(kept[0])} | {three(records, w, 'value').replace(' / ', ' | ')} |"
                     f" {shown(found[0])} | {verdict(found[0])} | {shown(found[1])} | {shown(found[2])} |")
        for pair, values, middle in zip((1, 2), kept, found):
            points += [f"{pair} {number} {lane} {x:.4f} {i}\n" for i, x in enumerate(values, 1)]
            if middle: intervals.append(f"{pair} {number} {lane} {middle[0]} {middle[1]} {middle[2]}\n")
    lines += ["", "CPU time (user + system) during each load, ms per MiB (per job for small jobs), medians over the"
              " rounds (k / r / d); ratios and differences within each round. The wineserver serves load.exe too.", "",
              "| Workload | server | kestrum / reference | wineserver | kestrum / reference |"
              " server, kestrum - reference, µs per 32 KiB chunk (per job) | peak resident MiB (k / r / d) |",
              "|---|---|---|---|---|---|---|"]
    for w in workloads:
        to_us = 1e6 if w == "small-jobs" else 1e6 / 32  # s per MiB (per job) to µs per chunk (per job)
        more = [(per(k, "cpu", True) - per(r, "cpu", True)) * to_us for k, r in paired(records, w, *SERVERS[:2])]
        lines.append(f"| {labels[w]} | " + " | ".join(f"{three(records, w, key, True, 1000)} | "
                     + shown(interval(ratios(records, w, *SERVERS[:2], key, True))) for key in ("cpu", "wineserver"))
                     + f" | {shown(interval(more), 1)} | {three(records, w, 'peak', False, 1 / 1024)} |")
    if timed := of(records, "message-cost"):
        middle = [statistics.median(m[key] for m in timed) for key in ("format", "write", "message")]
        lines += ["", "kestrum's message per chunk timed alone (`message_cost.exe`), µs per call, median of rounds:"
                  " formatting {:.2f}, the write {:.2f}, the whole message {:.2f}; that is {} % of a 32 KiB chunk's"
                  " time at the reference's rate on the big job in the same round.".format(
                      *middle, shown(interval(message_shares(records)), 2))]
    if of(records, "capacity"):
        lines += ["", f"| Capacity, one series of steps up to {of(records, 'capacity')[0]['last_step']} | kestrum |"
                  " reference | discard |", "|---|---|---|---|"]
        for text, key, scale in (("printers held at once, every job whole", "held", 1),
                                 ("resident KiB per connected printer, at the last whole step", "per_printer", 1),
                                 ("printers connected when the next step failed", "failed_held", 1),
                                 ("peak resident MiB at the last whole step", "peak", 1 / 1024)):
            lines.append(f"| {text} | {three(records, 'capacity', key, False, scale).replace(' / ', ' | ')} |")
    return lines, points, intervals
