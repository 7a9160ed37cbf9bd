#!/usr/bin/env python3
"""Writes the one table of BENCHMARKS.md from the JSON that `make bench` leaves behind.

Usage: bench-table.py RESULTS_FOLDER BENCHMARKS.md

Every row is a figure of ours beside its baseline, both measured in the same run of the same
benchmark program; the ratio is ours over the baseline (below 1: faster than the baseline). The
text between the two marker lines of the file is replaced; everything else in it is kept. When a
figure a row expects is missing from the results (a benchmark renamed, or its program failed),
nothing is written and the missing ones are listed, with the names measured instead.
"""

import difflib
import json
import os
import platform
import re
import subprocess
import sys

BEGIN = "<!-- benchmark table: written by scripts/bench-table.py, do not edit by hand -->"
END = "<!-- end of benchmark table -->"

KIB = 1024
MIB = 1024 * KIB

# (section, figure, (program, benchmark), baseline label, (program, benchmark), clock, interleaved)
# clock: "cpu" for work done in this process, "real" where a child process does the work.
# interleaved: (program, benchmark, counter) holding the ratio of the two sides timed in
# alternation within each iteration, which a loaded machine disturbs least; used when present.
ROWS = [
    ("Start-up", "`vivozi` (the report), whole process", ("startup", "BM_Report", "ours_us"),
     "`df -h`, whole process", ("startup", "BM_Report", "df_us"), "real",
     ("startup", "BM_Report", "ratio")),
    ("Start-up", "`vivozi size 1`, whole process", ("startup", "BM_SizeText", "ours_us"),
     "`df -h`, whole process", ("startup", "BM_SizeText", "df_us"), "real",
     ("startup", "BM_SizeText", "ratio")),
    ("Tool run", "`runToolReadingOutput` of /bin/true", ("tools", "BM_RunTool_True"),
     "bare `posix_spawn` + read + `waitpid`", ("tools", "BM_Bare_True"), "real",
     ("tools", "BM_Paired_True", "ratio")),
    ("Tool run", "`runToolReadingOutput` of 1 MiB", ("tools", "BM_RunTool_Cat/1"),
     "bare `posix_spawn` + read + `waitpid`", ("tools", "BM_Bare_Cat/1"), "real",
     ("tools", "BM_Paired_Cat/1/0", "ratio")),
    ("Tool run", "`runToolReadingOutput` of 64 MiB", ("tools", "BM_RunTool_Cat/64"),
     "bare `posix_spawn` + read + `waitpid`", ("tools", "BM_Bare_Cat/64"), "real",
     ("tools", "BM_Paired_Cat/64/0", "ratio")),
    *[("Property list", f"`PlistValue::parse`, {label} XML", ("plist", f"PlistValueParse/{size}"),
       baseline, ("plist", f"{benchmark}/{size}"), "cpu", None)
      for baseline, benchmark in (("libplist `plist_from_xml`", "LibplistFromXml"),
                                  ("bare pugixml load (same options)", "PugixmlLoad"))
      for size, label in ((10 * KIB, "10 KiB"), (1 * MIB, "1 MiB"), (20 * MIB, "20 MiB"))],
    ("System version", "`KXCompareCurrentSystemVersionWith`, warm",
     ("version", "BM_KXCompareCurrentSystemVersionWith_Warm"), "`stat` of the store + bare compare",
     ("version", "BM_Baseline_StatAndCompare"), "cpu", None),
    ("System version", "`KXCompareCurrentSystemVersionWith`, warm",
     ("version", "BM_KXCompareCurrentSystemVersionWith_Warm"), "bare compare in memory",
     ("version", "BM_InMemory_CompareOnly"), "cpu", None),
    ("System version", "`KXGetCurrentSystemString`, warm",
     ("version", "BM_KXGetCurrentSystemString_Warm"), "`stat` of the store + copy",
     ("version", "BM_Baseline_StatAndCopy"), "cpu", None),
    ("Mount lookup", "`getVolumeMountFromName`, this machine's table",
     ("volumes", "BM_MountLookup_FromName/table:0"), "bare `getmntent_r` walk",
     ("volumes", "BM_MountLookup_BareGetmntent/table:0"), "cpu", None),
    ("Mount lookup", "`getVolumeMountOnName`, this machine's table",
     ("volumes", "BM_MountLookup_OnName/table:0"), "bare `getmntent_r` walk",
     ("volumes", "BM_MountLookup_BareGetmntent/table:0"), "cpu", None),
    ("Size text", "`KXFoundationConvertBytesToStringValue`",
     ("volumes", "BM_SizeText_Exported"), "divide loop + `snprintf`",
     ("volumes", "BM_SizeText_BareSnprintf"), "cpu", None),
    ("Size text", "size text alone (scale decided)", ("volumes", "BM_SizeText_Formatting"),
     "divide loop + `snprintf`", ("volumes", "BM_SizeText_BareSnprintf"), "cpu", None),
    ("APFS query", "`getAPFSDataVolume` (diskutil stand-in run + parse)",
     ("volumes", "BM_RoleVolume_QueryBesideBareRun", "query_us"), "bare run of the same tool",
     ("volumes", "BM_RoleVolume_QueryBesideBareRun", "bare_us"), "real",
     ("volumes", "BM_RoleVolume_QueryBesideBareRun", "ratio")),
    ("Script run", "per script, no bus reachable", ("runner", "BM_RunBesideBare_NoBus", "run_us"),
     "bare `posix_spawn` + `waitpid`", ("runner", "BM_RunBesideBare_NoBus", "bare_us"), "real",
     ("runner", "BM_RunBesideBare_NoBus", "ratio")),
    ("Script run", "per script, broadcast to a private bus",
     ("runner", "BM_RunBesideBare_WithBus", "run_us"), "bare `posix_spawn` + `waitpid`",
     ("runner", "BM_RunBesideBare_WithBus", "bare_us"), "real",
     ("runner", "BM_RunBesideBare_WithBus", "ratio")),
    ("Journal", "per script, `periodic` writing the journal",
     ("journal", "BM_StandInBesideNoJournal", "with_us"), "the same run, journal unwritable",
     ("journal", "BM_StandInBesideNoJournal", "without_us"), "real",
     ("journal", "BM_StandInBesideNoJournal", "ratio")),
    ("Journal", "`Journal::lastRuns`, 100,000 runs in 10 sets",
     ("journal", "BM_LastRunsBesideBare", "ours_us"), "bare SQLite query of the same rows",
     ("journal", "BM_LastRunsBesideBare", "bare_us"), "real",
     ("journal", "BM_LastRunsBesideBare", "ratio")),
]

PLIST_SIZES = [(1 * KIB, "1 KiB"), (16 * KIB, "16 KiB"), (256 * KIB, "256 KiB"),
               (1 * MIB, "1 MiB"), (4 * MIB, "4 MiB"), (20 * MIB, "20 MiB")]
for size, label in PLIST_SIZES:
    ROWS.append(("Growth: XML property list", f"`PlistValue::parse`, {label}",
                 ("growth", f"BM_Growth_PlistXml_Ours/{size}"), "libplist `plist_from_xml`",
                 ("growth", f"BM_Growth_PlistXml_Libplist/{size}"), "cpu", None))
for size, label in PLIST_SIZES:
    ROWS.append(("Growth: binary property list",
                 f"`PlistValue::parse`, the {label} listing in binary ({{document_bytes}})",
                 ("growth", f"BM_Growth_PlistBinary_Ours/{size}"), "libplist `plist_from_bin`",
                 ("growth", f"BM_Growth_PlistBinary_Libplist/{size}"), "cpu", None))
for entries in (10, 100, 1000, 10000):
    ROWS.append(("Growth: mount table", f"`getVolumeMountFromName`, {entries:,} entries",
                 ("growth", f"BM_Growth_MountLookup_Ours/{entries}"), "bare `getmntent_r` walk",
                 ("growth", f"BM_Growth_MountLookup_BareGetmntent/{entries}"), "cpu", None))
ROWS.append(("Memory", "peak extra resident memory parsing 20 MiB XML",
             ("growth", "BM_PeakMemory_20MiB/Ours", "peak_extra_MiB"),
             "libplist `plist_from_xml` (peak extra)",
             ("growth", "BM_PeakMemory_20MiB/Libplist", "peak_extra_MiB"), "MiB", None))

SUFFIXES = re.compile(r"(/(real_time|process_time|manual_time|iterations:\d+|repeats:\d+|"
                      r"min_time:[0-9.]+s?|threads:\d+))+$")


def load(folder):
    """{program: {benchmark name: run}}, plus the context of the first program read."""
    results, context = {}, None
    for name in sorted(os.listdir(folder)):
        if not (name.startswith("bench_") and name.endswith(".json")):
            continue
        try:
            with open(os.path.join(folder, name)) as f:
                data = json.load(f)
        except (OSError, ValueError):
            continue
        program = name[len("bench_"):-len(".json")]
        runs = {}
        for run in data.get("benchmarks", []):
            if run.get("error_occurred"):
                continue
            key = SUFFIXES.sub("", run.get("run_name", run["name"]))
            # A median over repetitions when there is one; otherwise the fastest repetition,
            # the one the rest of the machine disturbed least.
            if run.get("run_type") == "aggregate":
                if run.get("aggregate_name") == "median":
                    runs[key] = dict(run, _median=True)
            elif key not in runs or (not runs[key].get("_median") and
                                     run["real_time"] < runs[key]["real_time"]):
                runs[key] = run
        results[program] = runs
        context = context or data.get("context")
    return results, context


NS_PER_UNIT = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}


def value(results, source, clock):
    """The figure in nanoseconds (or in its counter's own unit), or None."""
    program, benchmark = source[0], source[1]
    run = results.get(program, {}).get(benchmark)
    if run is None:
        return None
    if len(source) == 3:
        counter = run.get(source[2])
        if counter is None:
            return None
        return counter * 1e3 if source[2].endswith("_us") else counter
    time = run["cpu_time" if clock == "cpu" else "real_time"]
    return time * NS_PER_UNIT[run.get("time_unit", "ns")]


def show(amount, clock):
    if amount is None:
        return "not measured"
    if clock == "MiB":
        return f"{amount:.1f} MiB"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if amount >= scale:
            return f"{amount / scale:.3g} {unit}"
    return f"{amount:.3g} ns"


def size_text(size):
    if size is None:
        return "size not measured"
    for unit, scale in (("MiB", MIB), ("KiB", KIB)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size:.0f} bytes"


def machine(context, build):
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
            memory = f", {kib / MIB:.0f} GiB memory"
    except (OSError, ValueError, IndexError):
        pass
    compiler = build_type = "?"
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    path = line.split("=", 1)[1].strip()
                    compiler = subprocess.run([path, "--version"], capture_output=True,
                                              text=True).stdout.splitlines()[0]
                elif line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip()
    except (OSError, IndexError):
        pass
    cpus = context.get("num_cpus", "?") if context else "?"
    load = context.get("load_avg") if context else None
    load_text = f"; load average {', '.join(f'{x:.1f}' for x in load)} when the first program started" if load else ""
    return (f"{model}, {cpus} CPUs{memory}; Linux {platform.release()}; {compiler}, "
            f"{build_type}{load_text}")


def table(results, context, build):
    date = (context or {}).get("date", "unknown date")
    lines = [BEGIN, "",
             f"Measured {date} on {machine(context, build)}.", "",
             "Ratio: our figure over its baseline, both from the same run of the same program "
             "(below 1.00: faster than the baseline). † the two sides were timed in alternation "
             "within each iteration, and that ratio is shown. CPU: time on this process's CPU "
             "(steadier under load); wall: elapsed time, where a child process does the work.",
             "",
             "| Area | Figure | Ours | Baseline | Baseline figure | Ratio | Clock |",
             "|---|---|---|---|---|---|---|"]
    for section, figure, ours_source, base_label, base_source, clock, interleaved in ROWS:
        if "{document_bytes}" in figure:
            size = value(results, (ours_source[0], ours_source[1], "document_bytes"), clock)
            figure = figure.replace("{document_bytes}", size_text(size))
        ours = value(results, ours_source, clock)
        base = value(results, base_source, clock)
        ratio, mark = None, ""
        if interleaved and value(results, interleaved, clock) is not None:
            ratio, mark = value(results, interleaved, clock), " †"
        elif ours is not None and base:
            ratio = ours / base
        ratio_text = f"{ratio:.2f}{mark}" if ratio is not None else "—"
        clock_text = {"cpu": "CPU", "real": "wall", "MiB": "memory"}[clock]
        lines.append(f"| {section} | {figure} | {show(ours, clock)} | {base_label} | "
                     f"{show(base, clock)} | {ratio_text} | {clock_text} |")
    lines += ["", END]
    return "\n".join(lines)


def missing(results):
    """One line for each figure a row expects that the results lack."""
    lines, seen = [], set()
    for row in ROWS:
        for source in (row[2], row[4]):
            if value(results, source, row[5]) is not None:
                continue
            program, benchmark = source[0], source[1]
            what = f"bench_{program}: {benchmark}" + (f" (counter {source[2]})"
                                                      if len(source) == 3 else "")
            if what in seen:
                continue
            seen.add(what)
            if program not in results:
                lines.append(f"{what}; no results from bench_{program} at all")
            elif benchmark in results[program]:
                lines.append(f"{what}; the benchmark ran but has no such counter")
            else:
                near = difflib.get_close_matches(benchmark, list(results[program]), n=3)
                hint = f"; measured instead: {', '.join(near)}" if near else ""
                lines.append(f"{what}; not among its results{hint}")
    return lines


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    folder, target = sys.argv[1], sys.argv[2]
    results, context = load(folder)
    if not results:
        sys.exit(f"no benchmark results in {folder}")
    absent = missing(results)
    if absent:
        sys.exit(f"{target} left unchanged: {len(absent)} figure(s) the table expects were not "
                 f"measured (rename the row in scripts/bench-table.py with its benchmark):\n  " +
                 "\n  ".join(absent))
    text = table(results, context, os.path.dirname(os.path.abspath(folder)))
    try:
        with open(target) as f:
            page = f.read()
    except FileNotFoundError:
        page = "# Benchmarks\n"
    if BEGIN in page and END in page:
        page = page[:page.index(BEGIN)] + text + page[page.index(END) + len(END):]
    else:
        # After the title and the first paragraph.
        head, _, rest = page.partition("\n\n")
        first, _, rest = rest.partition("\n\n")
        page = f"{head}\n\n{first}\n\n{text}\n\n{rest}"
    with open(target, "w") as f:
        f.write(page)
    print(f"{target}: table of {len(ROWS)} figures written")


if __name__ == "__main__":
    main()
