#!/usr/bin/python3 -B
# Benchmarks kestrum.exe beside a reference capture server (the least code doing the same work, silently)
# and a discard reader (the pipe's own limit) under Wine, and prints a Markdown report that bench/RESULTS.md
# explains. tools/bench.sh is this file: [--smoke] [--no-build] [--lane 64|32] [--rounds N] [--rounds-32 M]
# [--write]. --smoke: tiny sizes, one round a lane, any wineserver; a full run ends the prefix's wineserver
# and runs its own. --write: the report into bench/RESULTS.md, each round's ratios into bench/ratios.svg.
import argparse, contextlib, os, shutil, signal, subprocess, sys, time
from types import SimpleNamespace as Record

import table

PROJECT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
WINE_RUN, TICK, QUIET = PROJECT + "/tools/wine-run.sh", os.sysconf("SC_CLK_TCK"), subprocess.DEVNULL
# load.exe's mode, printers or jobs, bytes each; many short rounds, as the noise is in each transfer
FULL = dict(loads={"one-big-job": ("parallel", 1, 64 << 20), "small-jobs": ("serial", 250, 200),
                   "printers-at-once": ("parallel", 64, 1 << 20)}, big_repeats=3,
            capacity_steps=(1000, 1200, 1250, 1300, 1400, 1600, 1800, 2000))
SMOKE = dict(loads={"one-big-job": ("parallel", 1, 1 << 20), "small-jobs": ("serial", 20, 200),
                    "printers-at-once": ("parallel", 4, 1 << 16)}, big_repeats=1, capacity_steps=(10,))
LANES = {"64": ("/build-x86_64/bin", "/usr/lib/wine/wine64"), "32": ("/build/bin", "wine")}  # programs, loader
SERVERS = {"kestrum": ("kestrum.exe", "\\Out%04ld.ps"), "reference": ("reference_server.exe", ""),
           "discard": ("discard_reader.exe", None)}  # and what follows the pipe: template, folder or nothing

def read(path):  # "" for a process that has ended
    try: return open(path, encoding="utf-8", errors="replace").read()
    except OSError: return ""
def cpu_seconds(pid):  # user + system; the name before them, in parentheses, may hold spaces
    fields = read(f"/proc/{pid}/stat").rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / TICK if fields else None
def status_kib(pid, key):
    return int(next((line.split()[1] for line in read(f"/proc/{pid}/status").splitlines() if line.startswith(key)), 0))
def fields(line): return dict(word.split("=", 1) for word in line.split() if "=" in word)
def load_average(): return read("/proc/loadavg").rsplit(" ", 2)[0]
def cpu_ticks():  # of all cores: user nice system idle iowait irq softirq steal
    return [int(n) for n in read("/proc/stat").split()[1:9]]

def wine(lane, arguments, limit=600):
    """Runs a program, ended after `limit` s: its exit code (None if ended) and its output as one line."""
    with open(lane.run.out_root + "/output.txt", "w+") as output:  # a file: message_cost.exe times writes to it
        try: code = subprocess.run([WINE_RUN, *arguments], env=lane.env, stdin=QUIET, stdout=output, stderr=output,
                                   timeout=limit).returncode
        except subprocess.TimeoutExpired: code = None
        return code, " ".join(open(output.name).read().split())

def start(lane, name):
    """A server on a pipe of its own, its files and output on the tmpfs; no pid if no pipe in a minute."""
    (program, template), out = SERVERS[name], f"{lane.run.out_root}/{lane.name}-{name}"
    server = Record(lane=lane, name=name, out=out, out_windows="Z:" + out.replace("/", "\\"), log=out + ".log",
                    pipe=f"\\\\.\\pipe\\kestrum-bench-{os.getpid()}-{lane.name}-{name}", pid=None)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with open(server.log, "w") as log:
        server.process = subprocess.Popen([WINE_RUN, f"{lane.bin}/{program}", server.pipe] + ([] if template is None
                                          else [server.out_windows + template]), env=lane.env, stdin=QUIET,
                                          stdout=log, stderr=subprocess.STDOUT)
    code, server.failed = wine(lane, [lane.bin + "/load.exe", "wait", server.pipe])
    # Wine 8's loader becomes the Windows process, Wine 10's starts it from start.exe (names cut at 15)
    server.pid = next((int(pid) for pid in os.listdir("/proc") if code == 0 and pid.isdigit() and read(
        f"/proc/{pid}/comm")[:-1] == program[:15] and server.pipe in read(f"/proc/{pid}/cmdline")), None)
    lane.runner = lane.runner or server.pid and os.readlink(f"/proc/{server.pid}/exe") or ""  # wine's loader, or qemu
    return server

def stop(server):
    for pid in {server.pid, server.process.pid} - {None}:
        with contextlib.suppress(ProcessLookupError): os.kill(pid, signal.SIGTERM)
    server.process.wait()

def load(server, mode, count, size):
    """One load: exit code, report, CPU seconds of the server and the wineserver (which serves load.exe too)
    during it, peak and idle resident KiB. Then a second load.exe checks the jobs (hold checks its own)."""
    if server.pid is None: return None, f"no {server.name} server: {server.failed}", {}
    lane, checked, wineserver = server.lane, server.name != "discard", server.lane.run.wineserver
    idle, before, wineserver_before = status_kib(server.pid, "VmRSS"), cpu_seconds(server.pid), cpu_seconds(wineserver)
    with open(f"/proc/{server.pid}/clear_refs", "w") as peak: peak.write("5")  # the peak starts again
    code, line = wine(lane, [lane.bin + "/load.exe", mode, server.pipe, str(count), str(size)]
                      + [server.out_windows] * (checked and mode == "hold"), 600 if mode == "hold" else 120)
    used = dict(cpu=round(cpu_seconds(server.pid) - before, 2), peak=status_kib(server.pid, "VmHWM"), idle=idle,
                wineserver=wineserver and round(cpu_seconds(wineserver) - wineserver_before, 2))
    if code == 0 and checked and mode != "hold":
        code, check = wine(lane, [lane.bin + "/load.exe", "check", str(count), str(size), server.out_windows, "120"])
        line += "" if code == 0 else ", then " + check
        for name in os.listdir(server.out) if code == 0 else []: os.remove(f"{server.out}/{name}")
    return code, line, used

def transfer(lane, workload, round_, repeat, name, sizes):
    mode, count, size = sizes["loads"][workload]
    # One more try with a new server after a pipe that never came (1 in some 1000 starts) or a hung load.exe
    for attempt in (1, 2):
        server = lane.servers.get(name) or lane.servers.setdefault(name, start(lane, name))
        code, line, used = load(server, mode, count, size)
        if code == 0 or "whole" in fields(line) or attempt == 2: break
        lane.run.restarts.append(f"{lane.name}-bit {name}, {workload} round {round_}: exit code {code}, {line}")
        stop(lane.servers.pop(name))
    if code != 0:  # a job not whole
        sys.exit(f"bench: {workload} against {name} ({lane.name}-bit) failed (exit code {code}): {line}\n"
                 + "\n".join(read(server.log).splitlines()[-5:]))
    amount = int(fields(line)["jobs"]) if workload == "small-jobs" else int(fields(line)["bytes"]) / 1048576
    lane.records.append(dict(workload=workload, server=name, round=round_, repeat=repeat, count=count, bytes=size,
                             value=amount / float(fields(line)["seconds"]), amount=amount, **used))
    print(f"bench: {lane.name}-bit {workload} {round_}.{repeat} {name}: {line} cpu={used['cpu']}", file=sys.stderr)

def capacity(lane, name, steps):
    """Steps up to the last whole step; records resident KiB per printer there, and what the next one held."""
    held = dict(held=0, cpu=None, wineserver=None, peak=None, idle=None, per_printer=None, failed_held=None)
    for step in steps:
        server = start(lane, name)
        code, line, used = load(server, "hold", step, 3000)
        stop(server)
        if code != 0:
            if server.pid is None: sys.exit(f"bench: {line}")
            held["failed_held"] = int(line.split()[1]) if line.startswith("held ") else None
            break
        held.update(held=step, per_printer=(used["peak"] - used["idle"]) // step, **used)
    lane.records.append(dict(workload="capacity", server=name, last_step=steps[-1], **held))

def lane_round(lane, round_, sizes):
    """Each workload against the three servers back to back, in the reverse order at its next turn."""
    def in_order(turn): return table.SERVERS if turn % 2 else table.SERVERS[::-1]
    repeats = sizes["big_repeats"]  # the big job spreads the most; the discard reader runs it once
    for repeat in range(1, repeats + 1):
        for name in in_order(repeats * (round_ - 1) + repeat):
            if name != "discard" or repeat == 1: transfer(lane, "one-big-job", round_, repeat, name, sizes)
    for workload in ("small-jobs", "printers-at-once"):
        for name in in_order(round_): transfer(lane, workload, round_, 1, name, sizes)
    # kestrum's message per chunk timed alone, its output redirected to a file like the server's
    code, line = wine(lane, [lane.bin + "/message_cost.exe", str(sizes["loads"]["one-big-job"][2] // 32768)])
    if code != 0 or "message=" not in line: sys.exit(f"bench: message_cost.exe ended with {code}: {line}")
    lane.records.append(dict(workload="message-cost", round=round_, **{k: float(v) for k, v in fields(line).items()}))

def header(lanes, began, before, own):
    # All cores' ticks count at each tick, processes' own times are exact: its own share is capped at all busy.
    ticks = [after - then for after, then in zip(cpu_ticks(), before.ticks)]
    total, stolen, busy = sum(ticks), ticks[7], sum(ticks) - ticks[3] - ticks[4] - ticks[7]
    own = min(own * TICK, busy)
    wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    lines = [f"Measured from {time.strftime('%Y-%m-%d %H:%M', time.gmtime(began))} to {time.strftime('%H:%M')} UTC"
             f" with {wine_version}. Load average {before.load} at the start, {load_average()} at the end.",
             f"The machine's {len(os.sched_getaffinity(0))} cores were {100 * busy / total:.0f} % busy during the run:"
             f" {100 * own / total:.0f} % this benchmark (its servers, load generators and wineserver),"
             f" {100 * (busy - own) / total:.0f} % other work; {100 * stolen / total:.1f} % stolen by the host."]
    for lane in lanes:
        built = "x86_64" if lane.name == "64" else "i686 (kestrum.exe as it ships)"
        lines.append(f"Lane {lane.name}: built for {built}, run " + (f"through `{lane.runner}`: Wine on a CPU emulator,"
                     " as this kernel starts no 32-bit program" if "qemu" in lane.runner else
                     f"by `{lane.runner}` natively, no emulator") + ".")
    if lanes[0].run.restarts:
        lines.append("Servers started again because their pipe did not appear within a minute, or a transfer to them"
                     f" ended with no report: {'; '.join(lanes[0].run.restarts)}.")
    again = ["tools/bench.sh"] + [word for word in sys.argv[1:] if word not in ("--write", "--no-build")]
    return lines + [f"Reproduce with `{' '.join(again)}`."]

def report(lanes, lines, sizes, options, began):
    lines += ["", "Ratios: medians of the per-round ratios (5th-95th percentile of each median); verdict: 64-bit lane."]
    for lane in lanes:  # its tables, and for the drawing each round's ratio and each median with its interval
        tables, *drawn = table.lane_tables(lane.records, lane.name)
        lines += ["", f"### {lane.name}-bit lane", ""] + tables
        for name, rows in zip(("points", "intervals"), drawn):
            with open(f"{lane.run.out_root}/{name}.dat", "a") as data: data.writelines(rows)
    print("\n".join(lines))
    if options.write:
        head, begin, rest = read(PROJECT + "/bench/RESULTS.md").partition("<!-- bench:begin -->\n")
        with open(PROJECT + "/bench/RESULTS.md", "w") as results:
            results.write(head + begin + "\n".join(lines) + "\n" + rest[rest.index("<!-- bench:end -->"):])
        names = [table.label(w, *sizes["loads"][w][1:]).split(",")[0].split(" from")[0] for w in table.WORKLOADS]
        data, when = lanes[0].run.out_root, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(began))
        subprocess.run(["gnuplot", "-e", f"points='{data}/points.dat'; intervals='{data}/intervals.dat'; when='{when}';"
                        f" output='{PROJECT}/bench/ratios.svg'; workload1='{names[0]}'; workload2='{names[1]}';"
                        f" workload3='{names[2]}'", PROJECT + "/bench/ratios.gp"], check=True)
    for held in (r["held"] for r in lanes[-1].records if r["workload"] == "capacity" and options.smoke):
        if held != sizes["capacity_steps"][-1]: sys.exit(f"bench: capacity held {held} printers, not the last step's")

def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # so that the servers are ended too
    parser = argparse.ArgumentParser(prog="tools/bench.sh")
    for flag in ("--smoke", "--no-build", "--write"): parser.add_argument(flag, action="store_true")
    parser.add_argument("--lane", choices=("64", "32"))
    for flag, default in (("--rounds", 80), ("--rounds-32", 8)): parser.add_argument(flag, type=int, default=default)
    options = parser.parse_args()
    sizes = SMOKE if options.smoke else FULL
    rounds = {lane: 1 if options.smoke else count for lane, count in (("64", options.rounds), ("32", options.rounds_32))
              if options.lane in (None, lane)}
    if not options.no_build:
        subprocess.run([PROJECT + "/tools/build.sh"] + ["--x86_64"] * ("64" in rounds), stdout=sys.stderr, check=True)
    os.environ["WINEPREFIX"] = os.environ.get("KESTRUM_WINEPREFIX", PROJECT + "/build/wineprefix")
    run = Record(out_root=f"/dev/shm/kestrum-bench-{os.getpid()}", restarts=[], wineserver=None)
    lanes = [Record(run=run, name=name, servers={}, records=[], runner="", bin=PROJECT + LANES[name][0],
                    env=dict(os.environ, KESTRUM_WINE=LANES[name][1])) for name in rounds]
    began, before = time.time(), Record(load=load_average(), ticks=cpu_ticks(), own=sum(os.times()[2:4]))
    try:
        if not options.smoke:  # its own wineserver, whose CPU it reads; it and Wine's services keep their output
            if subprocess.run(["wineserver", "-k"], stderr=QUIET).returncode == 0: subprocess.run(["wineserver", "-w"])
            run.wineserver = subprocess.Popen(["wineserver", "-f", "-p"], stdin=QUIET, stdout=QUIET, stderr=QUIET).pid
            subprocess.run([WINE_RUN, "cmd", "/c", "exit", "0"], env=lanes[0].env, stdin=QUIET, stdout=QUIET,
                           stderr=QUIET)
        # The lanes' rounds take turns: each round at its share of its lane's run, the 64-bit one first.
        for _, lane, round_ in sorted(((round_ * 1000 // rounds[lane.name], lane, round_) for lane in lanes
                                       for round_ in range(1, rounds[lane.name] + 1)), key=lambda entry: entry[0]):
            lane_round(lane, round_, sizes)
        for lane in lanes:  # capacity in the 32-bit lane, the last, with a server started for each step
            while lane.servers: stop(lane.servers.popitem()[1])
            for name in table.SERVERS * (lane.name == "32"): capacity(lane, name, sizes["capacity_steps"])
        own = sum(os.times()[2:4]) - before.own + (cpu_seconds(run.wineserver) or 0)  # reaped children, its wineserver
        report(lanes, header(lanes, began, before, own), sizes, options, began)
    finally:
        for lane in lanes:
            while lane.servers: stop(lane.servers.popitem()[1])
        shutil.rmtree(run.out_root, ignore_errors=True)
        if not options.smoke: subprocess.run(["wineserver", "-k"])

main()
