"""The benchmark's tables, made from the records bench/bench.py keeps for one lane.

A transfer record holds one load against one server: its workload, server, round and repeat,
the load's size (count, bytes), the rate it reached (value) over the amount it moved (amount,
MiB or jobs), and the server's CPU seconds (cpu), the wineserver's (wineserver), its peak and
idle resident KiB. A message-cost record holds one round's timing of kestrum's message alone;
a capacity record, one server's series of steps.

A ratio pairs two transfers of the same round and repeat. Its median over the rounds comes with
the 5th-95th percentile of that median over RESAMPLES bootstrap resamples of the rounds.
"""
import random
import statistics
from typing import NamedTuple, Optional

GOAL = 0.97
RESAMPLES = 4000
WORKLOADS = ("one-big-job", "small-jobs", "printers-at-once")
SERVERS = ("kestrum", "reference", "discard")
COMPARED_PAIRS = (("kestrum", "reference"), ("kestrum", "discard"), ("reference", "discard"))
# The number bench/ratios.gp draws each pair under; reference / discard is in the table only.
DRAWN_PAIRS = {("kestrum", "reference"): 1, ("kestrum", "discard"): 2}
MICROSECONDS_PER_CHUNK_AT_ONE_MIB_PER_S = 31250  # a 32 KiB chunk is 1/32 MiB
CAPACITY_ROWS = (
    ("printers held at once, every job whole", "held", 1),
    ("resident KiB per connected printer, at the last whole step", "per_printer", 1),
    ("printers connected when the next step failed", "failed_held", 1),
    ("peak resident MiB at the last whole step", "peak", 1 / 1024),
)


class Interval(NamedTuple):
    median: float
    low: float  # 5th percentile of the resampled medians
    high: float  # 95th percentile
    share_at_goal: float  # of the resampled medians, those at GOAL or above


class LaneTables(NamedTuple):
    lines: list  # Markdown
    points: list  # for the drawing: "PAIR WORKLOAD LANE RATIO ROUND" per round
    intervals: list  # for the drawing: "PAIR WORKLOAD LANE MEDIAN LOW HIGH" per median


def label(workload, count, size):
    """The workload's name in the tables, with its unit."""
    if workload == "one-big-job":
        return f"one job of {size >> 20} MiB, MiB/s"
    if workload == "small-jobs":
        return f"{count} jobs of {size} bytes from one printer, jobs/s"
    return f"{count} printers at once, {size >> 10} KiB each, MiB/s in all"


def records_of(records, workload, server=None):
    """The records of one workload, of one server or of all."""
    found = []
    for record in records:
        if record["workload"] != workload:
            continue
        if server is None or record.get("server") == server:
            found.append(record)
    return found


def measured(record, key, per_amount):
    """The record's figure under `key`, per MiB or job moved when `per_amount`."""
    if per_amount:
        return record[key] / record["amount"]
    return record[key]


def short_number(value):
    if value is None:
        return "-"
    if value >= 100 or value == int(value):
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.3g}"


def server_medians(records, workload, key, per_amount=False, scale=1):
    """The three servers' medians over the rounds, "-" for none: ["k", "r", "d"]."""
    medians = []
    for server in SERVERS:
        values = []
        for record in records_of(records, workload, server):
            if record[key] is not None:
                values.append(measured(record, key, per_amount))
        if values:
            medians.append(short_number(statistics.median(values) * scale))
        else:
            medians.append("-")
    return medians


def paired(records, workload, first_server, second_server):
    """(first's transfer, second's) for each round and repeat in which both ran."""
    second_by_turn = {}
    for record in records_of(records, workload, second_server):
        second_by_turn[record["round"], record["repeat"]] = record
    pairs = []
    for record in records_of(records, workload, first_server):
        turn = (record["round"], record["repeat"])
        if turn in second_by_turn:
            pairs.append((record, second_by_turn[turn]))
    return pairs


def ratios(records, workload, first_server, second_server, key="value", per_amount=False):
    """first / second within each round and repeat, but where second's figure is 0."""
    found = []
    for first, second in paired(records, workload, first_server, second_server):
        if second[key]:
            found.append(measured(first, key, per_amount) / measured(second, key, per_amount))
    return found


def interval(values):
    """The median of the values with its bootstrap interval; None for no values."""
    if not values:
        return None
    resample = random.Random(10)  # the same records give the same table
    medians = []
    for _ in range(RESAMPLES):
        medians.append(statistics.median(resample.choices(values, k=len(values))))
    medians.sort()
    at_goal = sum(1 for median in medians if median >= GOAL)
    return Interval(
        median=statistics.median(values),
        low=medians[RESAMPLES // 20],
        high=medians[RESAMPLES * 19 // 20 - 1],
        share_at_goal=at_goal / RESAMPLES,
    )


def interval_text(found, digits=3):
    if found is None:
        return "-"
    return f"{found.median:.{digits}f} ({found.low:.{digits}f}-{found.high:.{digits}f})"


def verdict(found):
    """Whether the whole interval lies at GOAL or above ("yes"), below it ("no"), or neither."""
    if found is None:
        return "-"
    if found.low >= GOAL:
        answer = "yes"
    elif found.high < GOAL:
        answer = "no"
    else:
        answer = "not settled"
    return f"{answer} ({100 * found.share_at_goal:.0f} % of resamples)"


def message_shares(records):
    """Per round, kestrum's message timed alone in % of a 32 KiB chunk's time at the reference's
    rate on the big job in the same round (the median of that round's repeats)."""
    shares = []
    for timing in records_of(records, "message-cost"):
        same_round = []
        for transfer in records_of(records, "one-big-job", "reference"):
            if transfer["round"] == timing["round"]:
                same_round.append(transfer["value"])
        if not same_round:
            continue
        chunk_microseconds = MICROSECONDS_PER_CHUNK_AT_ONE_MIB_PER_S / statistics.median(same_round)
        shares.append(100 * timing["message"] / chunk_microseconds)
    return shares


def throughput_rows(records, lane, workloads, labels):
    """The throughput table, and the drawing's points and intervals."""
    lines = [
        "| Workload | rounds | kestrum | reference | discard | kestrum / reference | reaches 0.97 |"
        " kestrum / discard | reference / discard |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    points = []
    intervals = []
    for workload_number, workload in enumerate(workloads, 1):
        ratios_by_pair = {}
        intervals_by_pair = {}
        for pair in COMPARED_PAIRS:
            ratios_by_pair[pair] = ratios(records, workload, *pair)
            intervals_by_pair[pair] = interval(ratios_by_pair[pair])
        rates = " | ".join(server_medians(records, workload, "value"))
        against_reference = intervals_by_pair["kestrum", "reference"]
        lines.append(
            f"| {labels[workload]} | {len(ratios_by_pair['kestrum', 'reference'])} | {rates} |"
            f" {interval_text(against_reference)} | {verdict(against_reference)} |"
            f" {interval_text(intervals_by_pair['kestrum', 'discard'])} |"
            f" {interval_text(intervals_by_pair['reference', 'discard'])} |"
        )
        for pair, drawn_as in DRAWN_PAIRS.items():
            prefix = f"{drawn_as} {workload_number} {lane}"
            for round_index, ratio in enumerate(ratios_by_pair[pair], 1):
                points.append(f"{prefix} {ratio:.4f} {round_index}\n")
            found = intervals_by_pair[pair]
            if found is not None:
                intervals.append(f"{prefix} {found.median} {found.low} {found.high}\n")
    return lines, points, intervals


def cpu_rows(records, workloads, labels):
    lines = [
        "",
        "CPU time (user + system) during each load, ms per MiB (per job for small jobs), medians"
        " over the rounds (k / r / d); ratios and differences within each round. The wineserver"
        " serves load.exe too.",
        "",
        "| Workload | server | kestrum / reference | wineserver | kestrum / reference |"
        " server, kestrum - reference, µs per 32 KiB chunk (per job) |"
        " peak resident MiB (k / r / d) |",
        "|---|---|---|---|---|---|---|",
    ]
    for workload in workloads:
        # seconds per MiB (per job) to µs per 32 KiB chunk (per job)
        if workload == "small-jobs":
            to_microseconds = 1e6
        else:
            to_microseconds = 1e6 / 32
        differences = []
        for kestrum, reference in paired(records, workload, "kestrum", "reference"):
            extra = measured(kestrum, "cpu", True) - measured(reference, "cpu", True)
            differences.append(extra * to_microseconds)
        cells = [labels[workload]]
        for key in ("cpu", "wineserver"):
            cells.append(" / ".join(server_medians(records, workload, key, True, 1000)))
            kestrum_against_reference = ratios(records, workload, "kestrum", "reference", key, True)
            cells.append(interval_text(interval(kestrum_against_reference)))
        cells.append(interval_text(interval(differences), 1))
        cells.append(" / ".join(server_medians(records, workload, "peak", False, 1 / 1024)))
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def message_line(timings, records):
    middle = {}
    for key in ("format", "write", "message"):
        middle[key] = statistics.median(timing[key] for timing in timings)
    share = interval_text(interval(message_shares(records)), 2)
    return (
        "kestrum's message per chunk timed alone (`message_cost.exe`), µs per call, median of"
        f" rounds: formatting {middle['format']:.2f}, the write {middle['write']:.2f}, the whole"
        f" message {middle['message']:.2f}; that is {share} % of a 32 KiB chunk's time at the"
        " reference's rate on the big job in the same round."
    )


def capacity_rows(records):
    capacity = records_of(records, "capacity")
    lines = [
        "",
        f"| Capacity, one series of steps up to {capacity[0]['last_step']} | kestrum | reference |"
        " discard |",
        "|---|---|---|---|",
    ]
    for text, key, scale in CAPACITY_ROWS:
        medians = server_medians(records, "capacity", key, False, scale)
        lines.append(f"| {text} | " + " | ".join(medians) + " |")
    return lines


def lane_tables(records, lane):
    """A lane's tables as Markdown lines, and the drawing's data: each round's kestrum / reference
    and kestrum / discard, and their medians with their intervals."""
    workloads = []
    labels = {}
    for workload in WORKLOADS:
        found = records_of(records, workload)
        if found:
            workloads.append(workload)
            labels[workload] = label(workload, found[0]["count"], found[0]["bytes"])
    lines, points, intervals = throughput_rows(records, lane, workloads, labels)
    lines += cpu_rows(records, workloads, labels)
    timings = records_of(records, "message-cost")
    if timings:
        lines += ["", message_line(timings, records)]
    if records_of(records, "capacity"):
        lines += capacity_rows(records)
    return LaneTables(lines, points, intervals)
