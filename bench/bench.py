#!/usr/bin/python3 -B
"""Benchmarks kestrum.exe under Wine beside a reference capture server (the least code doing the
same work, silently) and a discard reader (the pipe's own limit); bench/RESULTS.md explains the
method and how to read the report. tools/bench.sh is a link to this file.

A run:
 1. builds the 32-bit tree, and the 64-bit one for the 64-bit lane (not with --no-build);
 2. in a full run, starts Wine's session afresh (tools/wine-session.sh) and reads its
    wineserver's CPU time (--smoke uses whatever session runs and ends none);
 3. starts each lane's three servers once, each on a pipe of its own, with their files and
    output on /dev/shm;
 4. runs the rounds: each workload to the three servers back to back, in the reverse order at
    its next turn, every job checked byte for byte by load.exe; once a round, message_cost.exe
    times kestrum's message alone; the two lanes' rounds take turns;
 5. in the 32-bit lane, steps up the printers held at once, with a fresh server for each step;
 6. keeps every record, the exact command and the machine's facts in
    build/bench-runs/RUN/ (records.jsonl, run.json) and prints the report made from those
    files, kept there too as report.md.
`--table-from build/bench-runs/RUN` makes the report again from a kept run, running nothing.
`--write` puts the report into bench/RESULTS.md and draws each round's ratios into
bench/ratios.svg.
"""
import argparse
import contextlib
import dataclasses
import json
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import time
from typing import NamedTuple, Optional

import table

PROJECT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
WINE_RUN = PROJECT + "/tools/wine-run.sh"
WINE_SESSION = PROJECT + "/tools/wine-session.sh"
RESULTS = PROJECT + "/bench/RESULTS.md"
KEPT_RUNS = PROJECT + "/build/bench-runs"  # build/bench is CMake's
CLOCK_TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
MIB = 1 << 20
CHUNK = 32768  # kestrum.exe's read size
HOLD_JOB_BYTES = 3000


def timeout_scale():
    """KESTRUM_TIMEOUT_SCALE, the whole number that multiplies every time limit of the tests and
    of this run (1 when unset), for slower machines: Wine's 32-bit half through a CPU emulator."""
    text = os.environ.get("KESTRUM_TIMEOUT_SCALE") or "1"
    if not text.isdigit() or int(text) < 1:
        sys.exit(f"bench: KESTRUM_TIMEOUT_SCALE is {text}, not a whole number from 1")
    return int(text)


TIMEOUT_SCALE = timeout_scale()
LOAD_TIMEOUT_S = 120 * TIMEOUT_SCALE
HOLD_TIMEOUT_S = 600 * TIMEOUT_SCALE
CHECK_WAIT_S = 120 * TIMEOUT_SCALE
PROGRAM_TIMEOUT_S = 600 * TIMEOUT_SCALE


class Load(NamedTuple):
    mode: str  # load.exe's mode
    count: int  # printers at once, or jobs one after the other
    bytes_each: int


@dataclasses.dataclass(frozen=True)
class Sizes:
    loads: dict  # workload -> Load
    big_job_repeats: int  # the big job spreads the most: it runs this many times a round
    capacity_steps: tuple  # printers held at once, step by step


# Many short rounds rather than a few long ones, as the noise is in each transfer.
FULL = Sizes(
    loads={
        "one-big-job": Load("parallel", 1, 64 * MIB),
        "small-jobs": Load("serial", 250, 200),
        "printers-at-once": Load("parallel", 64, MIB),
    },
    big_job_repeats=3,
    capacity_steps=(1000, 1200, 1250, 1300, 1400, 1600, 1800, 2000),
)
SMOKE = Sizes(
    loads={
        "one-big-job": Load("parallel", 1, MIB),
        "small-jobs": Load("serial", 20, 200),
        "printers-at-once": Load("parallel", 4, 64 * 1024),
    },
    big_job_repeats=1,
    capacity_steps=(10,),
)


class LaneBuild(NamedTuple):
    programs: str  # folder under the project
    loader: str  # KESTRUM_WINE for tools/wine-run.sh


LANE_BUILDS = {
    "64": LaneBuild("/build-x86_64/bin", "/usr/lib/wine/wine64"),
    "32": LaneBuild("/build/bin", "wine"),
}


class ServerProgram(NamedTuple):
    executable: str
    # What follows the pipe on its command line, after the output folder: a template, nothing
    # (the folder alone), or None for no folder at all.
    output_suffix: Optional[str]


SERVER_PROGRAMS = {
    "kestrum": ServerProgram("kestrum.exe", "\\Out%04ld.ps"),
    "reference": ServerProgram("reference_server.exe", ""),
    "discard": ServerProgram("discard_reader.exe", None),
}


class LoadReport(NamedTuple):
    """load.exe's report: of a load, "printers=P jobs=J bytes=B seconds=S whole=W", after
    "held H of N printers, then GLE=E" when a hold fell short; of a check, "jobs=J whole=W"."""

    jobs: int
    whole: int
    printers: Optional[int]
    bytes: Optional[int]
    seconds: Optional[float]
    held_before_failure: Optional[int]


class MessageCost(NamedTuple):
    """message_cost.exe's report, µs per call: "format=F write=W message=M"."""

    format: float
    write: float
    message: float


def key_values(output):
    """The words "key=value" of a program's output."""
    found = {}
    for word in output.split():
        if "=" in word:
            key, value = word.split("=", 1)
            found[key] = value
    return found


def optional(values, key, kind):
    if key in values:
        return kind(values[key])
    return None


def parse_load_report(output):
    """load.exe's report, or None when it printed none (it hung, or never got going)."""
    values = key_values(output)
    if "jobs" not in values or "whole" not in values:
        return None
    held = re.search(r"\bheld (\d+) of \d+ printers", output)
    return LoadReport(
        jobs=int(values["jobs"]),
        whole=int(values["whole"]),
        printers=optional(values, "printers", int),
        bytes=optional(values, "bytes", int),
        seconds=optional(values, "seconds", float),
        held_before_failure=int(held.group(1)) if held else None,
    )


def parse_message_cost(output):
    values = key_values(output)
    if not all(key in values for key in MessageCost._fields):
        return None
    return MessageCost(*(float(values[key]) for key in MessageCost._fields))


@dataclasses.dataclass
class Run:
    out_root: str  # the servers' files and output, on a tmpfs
    records_folder: str
    records_file: object = None
    wineserver_pid: Optional[int] = None  # the run's own, in a full run
    restarts: list = dataclasses.field(default_factory=list)

    def keep(self, record):
        """Writes the record at once, so a run that stops keeps what it measured."""
        self.records_file.write(json.dumps(record) + "\n")
        self.records_file.flush()


@dataclasses.dataclass
class Lane:
    run: Run
    name: str  # "64" or "32"
    programs: str
    environment: dict
    runner: str = ""  # the first server's /proc/PID/exe: Wine's loader, or qemu
    servers: dict = dataclasses.field(default_factory=dict)  # name -> a running Server


@dataclasses.dataclass
class Server:
    lane: Lane
    name: str
    out: str  # its files' folder
    out_windows: str
    log: str
    pipe: str
    process: Optional[subprocess.Popen] = None
    pid: Optional[int] = None  # the Windows program's own process; None if its pipe never came
    failure: str = ""  # what load.exe said when the pipe did not come


class ProgramResult(NamedTuple):
    exit_code: Optional[int]  # None when it was ended at its time limit
    output: str  # standard output and error, as one line


def read_text(path):
    """The file's text; "" when it cannot be read (a process that has ended)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()
    except OSError:
        return ""


def cpu_seconds(pid):
    """User + system CPU seconds of a process, None when it has ended."""
    if pid is None:
        return None
    # The command name before the figures, in parentheses, may hold spaces.
    figures = read_text(f"/proc/{pid}/stat").rpartition(")")[2].split()
    if not figures:
        return None
    user_ticks = int(figures[11])
    system_ticks = int(figures[12])
    return (user_ticks + system_ticks) / CLOCK_TICKS_PER_SECOND


def cpu_seconds_since(pid, before):
    """CPU seconds used since `before`; None for no process, or one that is gone (a server
    that exits when it cannot start a thread, and is not this program's child)."""
    now = cpu_seconds(pid)
    if now is None or before is None:
        return None
    return round(now - before, 2)


def status_kib(pid, key):
    """A figure in KiB from /proc/PID/status (VmRSS, VmHWM), 0 when it has ended."""
    for line in read_text(f"/proc/{pid}/status").splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def load_average():
    return read_text("/proc/loadavg").rsplit(" ", 2)[0]


def cpu_ticks():
    """All cores' ticks: user nice system idle iowait irq softirq steal."""
    return [int(ticks) for ticks in read_text("/proc/stat").split()[1:9]]


def run_program(lane, arguments, limit_s=PROGRAM_TIMEOUT_S):
    """Runs a Windows program of the lane to its end, or ends it after `limit_s`."""
    # A file, not a pipe: message_cost.exe times its writes to it, as kestrum's go to a log.
    output_path = lane.run.out_root + "/output.txt"
    with open(output_path, "w") as output:
        try:
            completed = subprocess.run(
                [WINE_RUN, *arguments],
                env=lane.environment,
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=output,
                timeout=limit_s,
            )
            exit_code = completed.returncode
        except subprocess.TimeoutExpired:
            exit_code = None
    return ProgramResult(exit_code, " ".join(read_text(output_path).split()))


def windows_process_pid(executable, pipe):
    """The Linux pid of the Windows program serving `pipe`."""
    # Wine 8's loader becomes the Windows process; Wine 10's starts it from start.exe. Linux
    # cuts process names at 15 characters.
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        if read_text(f"/proc/{entry}/comm")[:-1] != executable[:15]:
            continue
        if pipe in read_text(f"/proc/{entry}/cmdline"):
            return int(entry)
    return None


def start_server(lane, name):
    """A server on a pipe of its own; its pid stays None if the pipe did not come in a minute."""
    program = SERVER_PROGRAMS[name]
    out = f"{lane.run.out_root}/{lane.name}-{name}"
    server = Server(
        lane=lane,
        name=name,
        out=out,
        out_windows="Z:" + out.replace("/", "\\"),
        log=out + ".log",
        pipe=f"\\\\.\\pipe\\kestrum-bench-{os.getpid()}-{lane.name}-{name}",
    )
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    command = [WINE_RUN, f"{lane.programs}/{program.executable}", server.pipe]
    if program.output_suffix is not None:
        command.append(server.out_windows + program.output_suffix)
    with open(server.log, "w") as log:
        server.process = subprocess.Popen(
            command,
            env=lane.environment,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
        )
    waited = run_program(lane, [lane.programs + "/load.exe", "wait", server.pipe])
    if waited.exit_code != 0:
        server.failure = waited.output
        return server
    server.pid = windows_process_pid(program.executable, server.pipe)
    if server.pid is not None and not lane.runner:
        lane.runner = os.readlink(f"/proc/{server.pid}/exe")
    return server


def stop_server(server):
    for pid in (server.pid, server.process.pid):
        if pid is not None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGTERM)
    server.process.wait()


def stop_all_servers(lane):
    while lane.servers:
        _, server = lane.servers.popitem()
        stop_server(server)


class LoadResult(NamedTuple):
    exit_code: Optional[int]  # 0 when every job was sent, and landed, whole
    output: str  # load.exe's, then the check's when that failed
    report: Optional[LoadReport]  # of the load itself
    used: dict  # what the server and the wineserver used during the load


def run_load(server, load):
    """One load, with the CPU seconds of the server and of the wineserver (which serves load.exe
    too) during it, the server's peak and idle resident KiB. A second load.exe then checks the
    jobs in the server's folder (a hold checks its own)."""
    if server.pid is None:
        return LoadResult(None, f"no {server.name} server: {server.failure}", None, {})
    lane = server.lane
    wineserver = lane.run.wineserver_pid
    keeps_jobs = server.name != "discard"
    idle_kib = status_kib(server.pid, "VmRSS")
    server_cpu_before = cpu_seconds(server.pid)
    wineserver_cpu_before = cpu_seconds(wineserver)
    with open(f"/proc/{server.pid}/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # the peak resident size starts again from the present one
    command = [lane.programs + "/load.exe", load.mode, server.pipe]
    command += [str(load.count), str(load.bytes_each)]
    if load.mode == "hold":
        limit_s = HOLD_TIMEOUT_S
        if keeps_jobs:
            command.append(server.out_windows)
    else:
        limit_s = LOAD_TIMEOUT_S
    loaded = run_program(lane, command, limit_s)
    used = {
        "cpu": cpu_seconds_since(server.pid, server_cpu_before),
        "peak": status_kib(server.pid, "VmHWM"),
        "idle": idle_kib,
        "wineserver": cpu_seconds_since(wineserver, wineserver_cpu_before),
    }
    report = parse_load_report(loaded.output)
    if loaded.exit_code != 0 or not keeps_jobs or load.mode == "hold":
        return LoadResult(loaded.exit_code, loaded.output, report, used)
    check_command = [lane.programs + "/load.exe", "check", str(load.count), str(load.bytes_each)]
    check_command += [server.out_windows, str(CHECK_WAIT_S)]
    checked = run_program(lane, check_command)
    if checked.exit_code != 0:
        output = f"{loaded.output}, then {checked.output}"
        return LoadResult(checked.exit_code, output, report, used)
    for name in os.listdir(server.out):
        os.remove(f"{server.out}/{name}")
    return LoadResult(0, loaded.output, report, used)


def transfer(lane, sizes, workload, round_number, repeat, name):
    load = sizes.loads[workload]
    # A pipe that never came, or a load.exe that hung (no report), gets one more try with a
    # fresh server; a report of jobs not whole stops the run.
    for attempt in (1, 2):
        if name not in lane.servers:
            lane.servers[name] = start_server(lane, name)
        server = lane.servers[name]
        result = run_load(server, load)
        if result.exit_code == 0 or result.report is not None or attempt == 2:
            break
        lane.run.restarts.append(
            f"{lane.name}-bit {name}, {workload} round {round_number}:"
            f" exit code {result.exit_code}, {result.output}"
        )
        stop_server(lane.servers.pop(name))
    if result.exit_code != 0:
        last_lines = "\n".join(read_text(server.log).splitlines()[-5:])
        sys.exit(
            f"bench: {workload} against {name} ({lane.name}-bit) failed"
            f" (exit code {result.exit_code}): {result.output}\n{last_lines}"
        )
    if workload == "small-jobs":
        amount = result.report.jobs
    else:
        amount = result.report.bytes / MIB
    lane.run.keep({
        "lane": lane.name,
        "workload": workload,
        "server": name,
        "round": round_number,
        "repeat": repeat,
        "count": load.count,
        "bytes": load.bytes_each,
        "value": amount / result.report.seconds,
        "amount": amount,
        **result.used,
        "report": result.output,
    })
    print(
        f"bench: {lane.name}-bit {workload} {round_number}.{repeat} {name}: {result.output}"
        f" cpu={result.used['cpu']}",
        file=sys.stderr,
    )


def capacity(lane, name, steps):
    """Steps up to the first step that fails, a fresh server for each; keeps the last whole
    step's figures and the resident KiB per printer there, and how many the failed step held."""
    record = {
        "lane": lane.name,
        "workload": "capacity",
        "server": name,
        "last_step": steps[-1],
        "held": 0,
        "cpu": None,
        "wineserver": None,
        "peak": None,
        "idle": None,
        "per_printer": None,
        "failed_held": None,
    }
    for step in steps:
        server = start_server(lane, name)
        result = run_load(server, Load("hold", step, HOLD_JOB_BYTES))
        stop_server(server)
        if result.exit_code != 0:
            if server.pid is None:
                sys.exit(f"bench: {result.output}")
            if result.report is not None:
                record["failed_held"] = result.report.held_before_failure
            break
        record.update(result.used)
        record["held"] = step
        record["per_printer"] = (result.used["peak"] - result.used["idle"]) // step
    lane.run.keep(record)


def servers_in_turn(turn):
    """The three servers, in the reverse order at every other turn."""
    if turn % 2 == 1:
        return table.SERVERS
    return tuple(reversed(table.SERVERS))


def lane_round(lane, sizes, round_number):
    """Each workload against the three servers back to back, then kestrum's message timed."""
    repeats = sizes.big_job_repeats
    for repeat in range(1, repeats + 1):
        turn = repeats * (round_number - 1) + repeat
        for name in servers_in_turn(turn):
            # The discard reader, the pipe's limit, runs the big job once a round.
            if name == "discard" and repeat > 1:
                continue
            transfer(lane, sizes, "one-big-job", round_number, repeat, name)
    for workload in ("small-jobs", "printers-at-once"):
        for name in servers_in_turn(round_number):
            transfer(lane, sizes, workload, round_number, 1, name)
    # As many messages as the big job has chunks, written to a file like the server's.
    chunks = sizes.loads["one-big-job"].bytes_each // CHUNK
    timed = run_program(lane, [lane.programs + "/message_cost.exe", str(chunks)])
    cost = parse_message_cost(timed.output)
    if timed.exit_code != 0 or cost is None:
        sys.exit(f"bench: message_cost.exe ended with {timed.exit_code}: {timed.output}")
    lane.run.keep({
        "lane": lane.name,
        "workload": "message-cost",
        "round": round_number,
        **cost._asdict(),
    })


def interleaved_rounds(lanes, rounds):
    """(lane, round) in the order they run: each round at its share of its lane's run, so that
    both lanes see the same machine; the 64-bit lane first where two shares meet."""
    scheduled = []
    for lane in lanes:
        for round_number in range(1, rounds[lane.name] + 1):
            share = round_number * 1000 // rounds[lane.name]
            scheduled.append((share, lane, round_number))
    scheduled.sort(key=lambda entry: entry[0])  # stable: lanes keep their order on a tie
    return [(lane, round_number) for _, lane, round_number in scheduled]


def wineserver_pid(prefix):
    """The pid of the prefix's wineserver, which works in a folder named after the prefix's
    device and inode; None when none runs."""
    prefix_status = os.stat(prefix)
    folder = f"server-{prefix_status.st_dev:x}-{prefix_status.st_ino:x}"
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        if not read_text(f"/proc/{entry}/comm").startswith("wineserver"):
            continue
        with contextlib.suppress(OSError):
            if os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == folder:
                return int(entry)
    return None


def start_own_session():
    """Starts Wine's session afresh, ending one still running, so that its wineserver's CPU
    time is this run's: that wineserver's pid."""
    subprocess.run([WINE_SESSION, "start"], stdin=subprocess.DEVNULL, check=True)
    return wineserver_pid(os.environ["WINEPREFIX"])


def command_output(command):
    try:
        return subprocess.run(command, capture_output=True, text=True).stdout.strip()
    except OSError:
        return ""


def commit_measured():
    """The commit the run measures, and whether the tree had changes to it."""
    commit = command_output(["git", "-C", PROJECT, "rev-parse", "--short", "HEAD"])
    if command_output(["git", "-C", PROJECT, "status", "--porcelain", "--untracked-files=no"]):
        commit += " with changes"
    return commit


def machine_at_start():
    return {
        "began": time.time(),
        "commit": commit_measured(),
        "load_average": load_average(),
        "cpu_ticks": cpu_ticks(),
        "own_cpu_seconds": sum(os.times()[2:4]),  # of the children it has waited for
    }


def run_facts(options, sizes, lanes, start, own_cpu_seconds):
    """What the report's header says of the run, measured at its end."""
    ticks = [now - then for now, then in zip(cpu_ticks(), start["cpu_ticks"], strict=True)]
    total = sum(ticks)
    idle = ticks[3] + ticks[4]
    stolen = ticks[7]
    busy = total - idle - stolen
    # All cores' ticks count at each tick, processes' own times are exact: its own share is
    # capped at all that was busy.
    own = min(own_cpu_seconds * CLOCK_TICKS_PER_SECOND, busy)
    return {
        "command": ["tools/bench.sh", *sys.argv[1:]],
        "commit": start["commit"],
        "began": start["began"],
        "ended": time.time(),
        "wine": command_output(["wine", "--version"]),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "cores": len(os.sched_getaffinity(0)),
        "timeout_scale": TIMEOUT_SCALE,
        "load_average_start": start["load_average"],
        "load_average_end": load_average(),
        "busy_percent": 100 * busy / total,
        "own_percent": 100 * own / total,
        "other_percent": 100 * (busy - own) / total,
        "stolen_percent": 100 * stolen / total,
        "lanes": {lane.name: lane.runner for lane in lanes},
        "restarts": lanes[0].run.restarts,
        "smoke": options.smoke,
        "sizes": dataclasses.asdict(sizes),
    }


def lane_line(name, runner):
    if name == "64":
        built = "x86_64"
    else:
        built = "i686 (kestrum.exe as it ships)"
    if "qemu" in runner:
        how = f"through `{runner}`: Wine on a CPU emulator, as this kernel starts no 32-bit program"
    else:
        how = f"by `{runner}` natively, no emulator"
    return f"Lane {name}: built for {built}, run {how}."


def header_lines(facts):
    began = time.strftime("%Y-%m-%d %H:%M", time.gmtime(facts["began"]))
    ended = time.strftime("%H:%M", time.gmtime(facts["ended"]))
    lines = [
        f"Measured from {began} to {ended} UTC with {facts['wine']}, commit {facts['commit']}."
        f" Load average {facts['load_average_start']} at the start,"
        f" {facts['load_average_end']} at the end.",
        f"The machine's {facts['cores']} cores were {facts['busy_percent']:.0f} % busy during"
        f" the run: {facts['own_percent']:.0f} % this benchmark (its servers, load generators"
        f" and wineserver), {facts['other_percent']:.0f} % other work;"
        f" {facts['stolen_percent']:.1f} % stolen by the host.",
    ]
    for name, runner in facts["lanes"].items():
        lines.append(lane_line(name, runner))
    if facts["restarts"]:
        lines.append(
            "Servers started again because their pipe did not appear within a minute, or a"
            f" transfer to them ended with no report: {'; '.join(facts['restarts'])}."
        )
    again = [word for word in facts["command"] if word not in ("--write", "--no-build")]
    lines.append(f"Reproduce with `{' '.join(again)}`.")
    return lines


def read_kept_run(folder):
    """The facts and the records a run kept in `folder`."""
    with open(folder + "/run.json") as file:
        facts = json.load(file)
    records = []
    with open(folder + "/records.jsonl") as file:
        for line in file:
            records.append(json.loads(line))
    return facts, records


def report_from_kept_run(folder):
    """The report's lines from a kept run; beside them in `folder`, the drawing's data."""
    facts, records = read_kept_run(folder)
    lines = header_lines(facts)
    lines += [
        "",
        "Ratios: medians of the per-round ratios (5th-95th percentile of each median);"
        " verdict: 64-bit lane.",
    ]
    points = []
    intervals = []
    for lane in facts["lanes"]:
        lane_records = [record for record in records if record["lane"] == lane]
        tables = table.lane_tables(lane_records, lane)
        lines += ["", f"### {lane}-bit lane", ""] + tables.lines
        points += tables.points
        intervals += tables.intervals
    with open(folder + "/points.dat", "w") as file:
        file.writelines(points)
    with open(folder + "/intervals.dat", "w") as file:
        file.writelines(intervals)
    return facts, lines


def write_results(folder, facts, lines):
    """The report between the markers of bench/RESULTS.md, and the drawing of its ratios."""
    head, begin_marker, rest = read_text(RESULTS).partition("<!-- bench:begin -->\n")
    tail = rest[rest.index("<!-- bench:end -->"):]
    with open(RESULTS, "w") as results:
        results.write(head + begin_marker + "\n".join(lines) + "\n" + tail)
    names = []
    for workload in table.WORKLOADS:
        load = facts["sizes"]["loads"][workload]
        # "one job of 64 MiB, MiB/s" -> "one job of 64 MiB"; "250 jobs ... from one printer" ->
        # "250 jobs of 200 bytes"
        name = table.label(workload, load[1], load[2]).split(",")[0].split(" from")[0]
        names.append(name)
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(facts["began"]))
    settings = (
        f"points='{folder}/points.dat'; intervals='{folder}/intervals.dat'; when='{when}';"
        f" output='{PROJECT}/bench/ratios.svg'; workload1='{names[0]}';"
        f" workload2='{names[1]}'; workload3='{names[2]}'"
    )
    subprocess.run(["gnuplot", "-e", settings, PROJECT + "/bench/ratios.gp"], check=True)


def parse_options():
    parser = argparse.ArgumentParser(
        prog="tools/bench.sh",
        description="Benchmarks kestrum.exe beside a reference server and a discard reader"
        " under Wine (bench/RESULTS.md says how, and how to read the report).",
    )
    parser.add_argument(
        "--smoke",
        action="store_true",
        help="tiny sizes, one round a lane, one capacity step of 10 printers that must all be"
        " held; uses whatever wineserver runs and ends none (the test bench_smoke)",
    )
    parser.add_argument(
        "--no-build", action="store_true", help="use the programs already built"
    )
    parser.add_argument(
        "--write",
        action="store_true",
        help="put the report into bench/RESULTS.md and draw bench/ratios.svg",
    )
    parser.add_argument(
        "--lane", choices=("64", "32"), help="run one lane only (both by default)"
    )
    parser.add_argument(
        "--rounds", type=int, default=80, metavar="N", help="rounds of the 64-bit lane (80)"
    )
    parser.add_argument(
        "--rounds-32", type=int, default=8, metavar="M", help="rounds of the 32-bit lane (8)"
    )
    parser.add_argument(
        "--table-from",
        metavar="DIR",
        help="run nothing: make the report again from the run kept in DIR"
        " (build/bench-runs/RUN); with --write, write it",
    )
    return parser.parse_args()


def measure(options):
    """Runs the benchmark; returns the folder that keeps its records."""
    if options.smoke:
        sizes = SMOKE
    else:
        sizes = FULL
    rounds = {}
    for lane_name, count in (("64", options.rounds), ("32", options.rounds_32)):
        if options.lane in (None, lane_name):
            rounds[lane_name] = 1 if options.smoke else count
    if not options.no_build:
        build = [PROJECT + "/tools/build.sh"]
        if "64" in rounds:
            build.append("--x86_64")
        subprocess.run(build, stdout=sys.stderr, check=True)
    os.environ["WINEPREFIX"] = os.environ.get("KESTRUM_WINEPREFIX", PROJECT + "/build/wineprefix")
    start = machine_at_start()
    if options.smoke:
        run_name = "smoke"  # each smoke run replaces the last
    else:
        run_name = time.strftime("%Y%m%d-%H%M%S", time.gmtime(start["began"]))
    run = Run(
        out_root=f"/dev/shm/kestrum-bench-{os.getpid()}",
        records_folder=f"{KEPT_RUNS}/{run_name}",
    )
    shutil.rmtree(run.records_folder, ignore_errors=True)
    os.makedirs(run.records_folder)
    os.makedirs(run.out_root)
    lanes = []
    for lane_name in rounds:
        lane_build = LANE_BUILDS[lane_name]
        environment = dict(os.environ, KESTRUM_WINE=lane_build.loader)
        lanes.append(Lane(run, lane_name, PROJECT + lane_build.programs, environment))
    try:
        with open(run.records_folder + "/records.jsonl", "w") as records_file:
            run.records_file = records_file
            if not options.smoke:
                run.wineserver_pid = start_own_session()
            for lane, round_number in interleaved_rounds(lanes, rounds):
                lane_round(lane, sizes, round_number)
            for lane in lanes:
                stop_all_servers(lane)
            # Capacity is the 32-bit address space's, the product's own limit: that lane only.
            for lane in lanes:
                if lane.name != "32":
                    continue
                for name in table.SERVERS:
                    capacity(lane, name, sizes.capacity_steps)
        # The children it waited for, and its own wineserver
        own_cpu_seconds = sum(os.times()[2:4]) - start["own_cpu_seconds"]
        own_cpu_seconds += cpu_seconds(run.wineserver_pid) or 0
        facts = run_facts(options, sizes, lanes, start, own_cpu_seconds)
        with open(run.records_folder + "/run.json", "w") as file:
            json.dump(facts, file, indent=1)
    finally:
        for lane in lanes:
            stop_all_servers(lane)
        shutil.rmtree(run.out_root, ignore_errors=True)
        if not options.smoke:
            subprocess.run([WINE_SESSION, "stop"], stdin=subprocess.DEVNULL)
    return run.records_folder


def check_smoke_capacity(facts, folder):
    """A smoke run's one capacity step is small enough that every server must hold it."""
    _, records = read_kept_run(folder)
    last_step = facts["sizes"]["capacity_steps"][-1]
    for record in table.records_of(records, "capacity"):
        if record["held"] != last_step:
            sys.exit(f"bench: {record['server']} held {record['held']} printers, not {last_step}")


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # so that the servers are ended too
    options = parse_options()
    if options.table_from:
        folder = os.path.realpath(options.table_from)
        facts, lines = report_from_kept_run(folder)
    else:
        folder = measure(options)
        print(f"bench: the run's records are kept in {folder}", file=sys.stderr)
        facts, lines = report_from_kept_run(folder)
        # The report as the run made it; --table-from leaves it as it was.
        with open(folder + "/report.md", "w") as file:
            file.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    if facts["smoke"]:
        check_smoke_capacity(facts, folder)
    if options.write:
        write_results(folder, facts, lines)


if __name__ == "__main__":
    main()
