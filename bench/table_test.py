#!/usr/bin/python3 -B
"""bench/table.py pairs each transfer with the other server's of the same round and repeat, and
each round's message with that round's big-job transfers. Records of two rounds of three big-job
transfers each: the reference at 100 to 600 MiB/s, kestrum 10 % faster in each round's second,
kestrum's message 1 µs in round 1 and 2 µs in round 2."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import table  # noqa: E402

records = []
for round_number in (1, 2):
    timing = dict(format=0.1, write=0.8, message=float(round_number))
    records.append(dict(workload="message-cost", round=round_number, **timing))
    for repeat in (1, 2, 3):
        reference_rate = 100 * (3 * round_number + repeat - 3)
        for server, faster in (("kestrum", 1.1 if repeat == 2 else 1), ("reference", 1)):
            records.append(dict(
                workload="one-big-job", server=server, round=round_number, repeat=repeat,
                count=1, bytes=64 << 20, value=reference_rate * faster, amount=64, cpu=0.1,
                wineserver=None, peak=1024, idle=0))
tables = table.lane_tables(records, "64")
# 100 * 1 * 200 / 31250 and 100 * 2 * 500 / 31250
message = (
    "kestrum's message per chunk timed alone (`message_cost.exe`), µs per call, median of rounds:"
    " formatting 0.10, the write 0.80, the whole message 1.50; that is 1.92 (0.64-3.20) % of a"
    " 32 KiB chunk's time at the reference's rate on the big job in the same round.")
kestrum_against_reference = [f"1 1 64 {ratio} {index}\n" for index, ratio in enumerate(
    ("1.0000", "1.1000", "1.0000", "1.0000", "1.1000", "1.0000"), 1)]
checks = [(tables.points, kestrum_against_reference), (tables.lines[-1], message)]
for found, expected in checks:
    if found != expected:
        sys.exit(f"expected {expected!r}\nfound    {found!r}")
