#!/usr/bin/python3 -B
"""Fails when docs/development.md says something the tree does not bear out.

Usage: check_development_guide.py SOURCE_DIR

Rules, each failure printed with the line of the page it concerns:
- Layout: the fenced block under "## Layout" has one entry per line, a path from the top of the
  tree in the first column; its description names files and folders relative to the entry's
  folder (a name holds a "." or ends in "/", "*" stands for any characters, and names of
  built programs, *.exe, are not paths). Every path it names exists. Every file git tracks is
  named, or lies in a folder named with a trailing "/", or in an entry's folder whose
  description names nothing. Without git (a source tarball) this second half is skipped.
- No measurement: a number with a unit of time, size or rate, a percentage, a date or a time
  of day; the settings in SETTINGS are the exceptions, values fixed in code, not measured.
- No path outside the tree: a "../" path must stay inside it and exist; an absolute path must
  be the system's own (/etc, /usr, /dev...).
- Commands: every tools/ or bench/ script the page names exists, and is executable when it has
  a "#!" line or the page runs it (in a code block, or in `...` with arguments); each option
  written after it in a command is one the script knows: shown by --help for a Python script,
  written in the source of a shell script.
"""
import fnmatch
import glob
import os
import re
import subprocess
import sys

PAGE = "docs/development.md"
NAME = re.compile(r"^\.?[\w*-]+(\.[\w*-]+)+/?$|^\.[\w-]+$|/$")
MEASUREMENT = re.compile(
    r"\b\d[\d,.]*\s?(ms|s|sec|seconds?|min|minutes?|h|hours?|days?|B|bytes|[KMG]i?B|kB)\b(/s)?"
    r"|\b\d[\d,.]*\s?%"
    r"|\b(19|20)\d\d-\d\d(-\d\d)?\b"
    r"|\b\d{1,2}:\d\d\b"
)
# Values set in code or by a tool's arguments, which the page may state.
SETTINGS = {
    "20 s",  # tools/test.sh's fuzzing run
    "1 s",  # kestrum-run.exe's first pause between runs
    "5 s",  # how long printer.exe and spool.exe wait for a busy pipe
    "10 s",  # how long Server::Stop waits for the coverage build's counts
    "100 ms",  # the pace of the fault tests' slow printer
    "256 KiB",  # the workers' stack reservation (CMakeLists.txt)
    "2 MiB",  # MinGW's default stack reservation
    "0 bytes",  # the soak's smallest job
    "4 MiB",  # the soak's largest job
}
OUTSIDE = re.compile(r"(?<![\w.:/~-])\.\./[\w./-]*|(?<![\w.:/~\\-])/[a-z][\w.-]*/")
SYSTEM_FOLDERS = {"/etc/", "/usr/", "/dev/", "/proc/", "/bin/", "/lib/", "/sys/"}
SCRIPT = re.compile(r"(?<![\w/.-])((?:tools|bench)/[\w.-]+\.(?:sh|py))")
# A command: the script first, after any VARIABLE=value words, then its arguments.
COMMAND = re.compile(r"^\s*(?:[A-Z_]+=\S+\s+)*((?:tools|bench)/[\w.-]+\.(?:sh|py))([^#]*)")


def layout_entries(lines):
    """(line number, entry path, names in its description) for each entry of the layout."""
    start = lines.index("## Layout")
    fence = next(n for n in range(start, len(lines)) if lines[n].startswith("```"))
    entries = []
    for number in range(fence + 1, len(lines)):
        line = lines[number]
        if line.startswith("```"):
            break
        words = line.split()
        if not line[:1].isspace():
            entries.append((number + 1, words[0], []))
            words = words[1:]
        for word in words:
            word = word.strip("(),;:")
            if NAME.search(word) and not word.endswith(".exe"):
                entries[-1][2].append(word)
    return entries


def check_layout(root, lines, problems):
    named = []
    folders = []
    for number, entry, names in layout_entries(lines):
        base = entry if entry.endswith("/") else os.path.dirname(entry) + "/"
        base = base.lstrip("/")
        named.append((number, entry))
        named += [(number, base + name) for name in names]
        folders += [base + name for name in names if name.endswith("/")]
        if entry.endswith("/") and not names:
            folders.append(entry)
    for number, path in named:
        if not glob.glob(os.path.join(root, path)):
            problems.append(f"{PAGE}:{number}: the layout names {path}, which does not exist")
    try:
        command = ["git", "-C", root, "ls-files"]
        listing = subprocess.run(command, capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        print("development_guide: not a git checkout; not checking that every file is named")
        return
    files = [path for number, path in named if not path.endswith("/")]
    for tracked in listing.stdout.splitlines():
        if not any(covers(path, tracked) for path in files + folders):
            problems.append(f"{PAGE}: the layout does not name {tracked}")


def covers(path, tracked):
    if path.endswith("/"):
        return tracked.startswith(path)
    same_folder = os.path.dirname(path) == os.path.dirname(tracked)
    return same_folder and fnmatch.fnmatch(os.path.basename(tracked), os.path.basename(path))


def check_text(root, lines, problems):
    for number, line in enumerate(lines, 1):
        for match in MEASUREMENT.finditer(line):
            if match.group(0) not in SETTINGS:
                problems.append(f"{PAGE}:{number}: a measurement, {match.group(0)!r}: "
                                "it belongs in bench/RESULTS.md or a commit message")
        for match in OUTSIDE.finditer(line):
            path = match.group(0)
            if path in SYSTEM_FOLDERS:
                continue
            resolved = os.path.realpath(os.path.join(root, "docs", path))
            inside = resolved.startswith(os.path.realpath(root) + os.sep)
            if not path.startswith("../") or not inside or not os.path.exists(resolved):
                problems.append(f"{PAGE}:{number}: {path} is outside the repository or missing")


def check_commands(root, lines, problems):
    in_block = False
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            in_block = not in_block
            continue
        for match in SCRIPT.finditer(line):
            script = os.path.join(root, match.group(1))
            if not os.path.exists(script):
                problems.append(f"{PAGE}:{number}: {match.group(1)} does not exist")
            elif is_program(script) and not os.access(script, os.X_OK):
                problems.append(f"{PAGE}:{number}: {match.group(1)} is not executable")
        commands = [line] if in_block else re.findall(r"`([^`]+)`", line)
        for command in commands:
            match = COMMAND.match(command)
            # A script named alone in the text may be sourced or imported; one given arguments,
            # or on a line of a code block, is run.
            if not match or not (in_block or match.group(2).strip()):
                continue
            script = os.path.join(root, match.group(1))
            if not os.access(script, os.X_OK):
                if not is_program(script):
                    problems.append(
                        f"{PAGE}:{number}: {match.group(1)} is run here but is no program")
                continue
            usage = script_usage(script)
            for option in options_of(match.group(2)):
                if not re.search(re.escape(option) + r"(?![\w-])", usage):
                    problems.append(f"{PAGE}:{number}: {match.group(1)} does not take {option}")


def options_of(arguments):
    """The options of a command line's words, up to the program it hands the rest to."""
    options = []
    for word in arguments.split():
        if "/" in word or "\\" in word or word.endswith(".exe"):
            break
        if re.match(r"^--?[A-Za-z]", word):
            options.append(word.split("=")[0])
    return options


def is_program(script):
    if not os.path.exists(script):
        return False
    with open(script) as source:
        return source.read(2) == "#!"


def script_usage(script):
    with open(script) as source:
        text = source.read()
    if not text.startswith("#!") or "python" not in text.splitlines()[0]:
        return text
    run = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=30)
    return run.stdout


def main():
    root = sys.argv[1]
    with open(os.path.join(root, PAGE)) as page:
        lines = page.read().splitlines()
    problems = []
    check_layout(root, lines, problems)
    check_text(root, lines, problems)
    check_commands(root, lines, problems)
    for problem in problems:
        print(problem)
    if problems:
        print(f"development_guide: {PAGE} is not true to the tree ({len(problems)} problems)")
        sys.exit(1)
    print(f"development_guide: {PAGE} is true to the tree")


if __name__ == "__main__":
    main()
