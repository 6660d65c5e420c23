#!/usr/bin/python3 -B
# bench/table.py pairs each transfer with the other server's of the same round and repeat, and each
# round's message with that round's big-job transfers. Records of two rounds of three big-job
# transfers each: the reference at 100 to 600 MiB/s, kestrum 10 % faster in each round's second,
# kestrum's message 1 us in round 1 and 2 us in round 2.
import os, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import table

records = [dict(workload="message-cost", round=r, format=0.1, write=0.8, message=float(r)) for r in (1, 2)]
for round_, repeat in ((1, 1), (1, 2), (1, 3), (2, 1), (2, 2), (2, 3)):
    for server, faster in (("kestrum", 1.1 if repeat == 2 else 1), ("reference", 1)):
        records.append(dict(workload="one-big-job", server=server, round=round_, repeat=repeat, count=1, bytes=64 << 20,
                            value=100 * (3 * round_ + repeat - 3) * faster, amount=64, cpu=0.1, wineserver=None,
                            peak=1024, idle=0))
lines, points, _ = table.lane_tables(records, "64")
message = ("kestrum's message per chunk timed alone (`message_cost.exe`), µs per call, median of rounds: formatting"
           " 0.10, the write 0.80, the whole message 1.50; that is 1.92 (0.64-3.20) % of a 32 KiB chunk's time at the"
           " reference's rate on the big job in the same round.")  # 100 * 1 * 200 / 31250 and 100 * 2 * 500 / 31250
checks = [(points, ["1 1 64 1.0000 1\n", "1 1 64 1.1000 2\n", "1 1 64 1.0000 3\n", "1 1 64 1.0000 4\n",
                    "1 1 64 1.1000 5\n", "1 1 64 1.0000 6\n"]), (lines[-1], message)]
for found, expected in checks:
    if found != expected: sys.exit(f"expected {expected!r}\nfound    {found!r}")
