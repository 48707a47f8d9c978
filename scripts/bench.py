#!/usr/bin/env python3
"""Runs every benchmark program of a build and prints each figure beside its baselines.

    scripts/bench.py [BUILD_DIR] [--no-run] [--repetitions N] [--min-time S] [--filter RE]

BUILD_DIR defaults to build/release. Every program bin/bench_* runs with repetitions and
writes its JSON to BUILD_DIR/bench/<program>.json; all of them are merged into
BUILD_DIR/bench/results.json. The table that follows is Markdown, ready for
docs/performance.md.

Benchmarks are named "<Figure>/<design>". The design "os" is this project's code; every other
design of the same figure is a baseline measured in the same run, and the ratio column is
os / baseline of the medians (below 1: ours is faster). Times are median CPU time per
iteration, except for rows measured with a manual clock (the module load, timed inside a
child process), which report median wall time.
"""

import argparse
import json
import os
import re
import subprocess
import sys

# (figure, baseline, kind, limit, what): kind "ratio" is os/baseline <= limit, "above" is
# os - baseline <= limit in ns, "absolute" is os <= limit in ns, "throughput" is
# baseline/os >= limit (same bytes, so time ratios invert).
# A figure is "Figure" (its design "os") or "Figure/design"; a baseline is a design of the same
# figure or "Figure/design" of another. Either may end in "@counter": that counter of the row
# (its median) instead of its time.
TARGETS = [
    ("Path.SetNpc.1k", "std_function", "ratio", 1.5,
     "whole path, Set NPC, 1k markers, 2 slots: <= 1.5x std::function + slot vector"),
    ("Path.SetNpc.1k", "signals2", "ratio", 0.7,
     "whole path, Set NPC, 1k markers, 2 slots: <= 0.7x boost::signals2"),
    ("Signal.Emit.4", "signals2", "ratio", 0.4, "emission, 4 slots: <= 0.4x boost::signals2"),
    ("Signal.Emit.1", "std_vector", "above", 10.0,
     "emission, 1 slot: <= a loop over one std::function + 10 ns"),
    ("Function.Copy", "std_function_inline", "ratio", 1.5,
     "os::Function copy: <= 1.5x std::function copy of an inline target"),
    ("Text.LoadTable.100k", "tinyxml_parse", "throughput", 0.8,
     "LoadTable of 100k entries: >= 0.8x the throughput of TinyXML's Parse"),
    ("Log.Disabled", None, "absolute", 5.0, "log line at a disabled level: < 5 ns"),
    ("CallStack.Repeated", None, "absolute", 50000.0,
     "call stack shown again from the same place: < 50 us"),
] + [
    # minimap-client end to end (bench_client_flood).
    (f"ClientFlood.{n}.{mode}", "loopback", "throughput", 0.02,
     f"client msgs/s / raw loopback msgs/s, {n} markers, {mode}: >= 2 %")
    for n in (100, 20000, 100000) for mode in ("lines", "jsonl")
] + [
    (f"ClientFlood.{n}.{mode}@cpu_ns_per_msg", f"ClientFlood.100.{mode}/os@cpu_ns_per_msg",
     "ratio", limit, f"client CPU per message, {n} / 100 markers, {mode}: <= {limit:g}x")
    for n, limit in ((20000, 2.0), (100000, 3.0)) for mode in ("lines", "jsonl")
] + [
    (f"ClientFlood.{n}.jsonl@bytes_per_msg", "ClientFlood.100.jsonl/os@bytes_per_msg", "ratio",
     1.05, f"jsonl bytes per Set, {n} / 100 markers: independent of the store (<= 1.05x)")
    for n in (20000, 100000)
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def run(build_dir, repetitions, min_time, bench_filter):
    bin_dir = os.path.join(build_dir, "bin")
    out_dir = os.path.join(build_dir, "bench")
    os.makedirs(out_dir, exist_ok=True)
    programs = sorted(
        name for name in os.listdir(bin_dir)
        if name.startswith("bench_") and not name.endswith(".so")
        and os.access(os.path.join(bin_dir, name), os.X_OK))
    if not programs:
        sys.exit(f"bench.py: no bench_* program in {bin_dir}; build the `benchmarks` target")
    for program in programs:
        out = os.path.join(out_dir, program + ".json")
        log = os.path.join(out_dir, program + ".log")
        command = [
            os.path.join(bin_dir, program),
            f"--benchmark_repetitions={repetitions}",
            "--benchmark_report_aggregates_only=true",
            # Repetitions of all benchmarks in random order rather than back to back, so that
            # a burst of load from elsewhere spreads over many rows instead of spoiling one.
            "--benchmark_enable_random_interleaving=true",
            f"--benchmark_min_time={min_time}",
            f"--benchmark_out={out}",
            "--benchmark_out_format=json",
        ]
        if bench_filter:
            command.append(f"--benchmark_filter={bench_filter}")
        print(f"running {program} ...", flush=True)
        with open(log, "w") as log_file:
            result = subprocess.run(command, stdout=log_file, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            sys.exit(f"bench.py: {program} failed (exit {result.returncode}); see {log}")
    return programs


def registration_order(build_dir, program):
    """The program's benchmark names in registration order (the table's order)."""
    path = os.path.join(build_dir, "bin", program)
    if not os.access(path, os.X_OK):
        return []
    result = subprocess.run([path, "--benchmark_list_tests=true"], capture_output=True,
                            text=True)
    return result.stdout.split()


def merge(build_dir):
    out_dir = os.path.join(build_dir, "bench")
    merged = {"context": None, "benchmarks": [], "order": []}
    for name in sorted(os.listdir(out_dir)):
        if not (name.startswith("bench_") and name.endswith(".json")):
            continue
        with open(os.path.join(out_dir, name)) as f:
            text = f.read()
        if not text.strip():
            continue  # a program whose benchmarks the filter left out
        data = json.loads(text)
        if merged["context"] is None:
            merged["context"] = data.get("context")
        program = name[:-len(".json")]
        merged["order"] += registration_order(build_dir, program)
        for b in data.get("benchmarks", []):
            b["program"] = program
            merged["benchmarks"].append(b)
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump(merged, f, indent=1)
    return merged


def counters(merged):
    """{(figure, design): {counter: median}} of the rows that carry user counters."""
    known = ("cpu_ns_per_msg", "bytes_per_msg", "msgs_per_s")
    out = {}
    for b in merged["benchmarks"]:
        parts = b.get("run_name", b["name"]).split("/")
        if len(parts) < 2 or not any(c in b for c in known):
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") not in ("median", "cv"):
            continue
        key = "cv" if b.get("aggregate_name") == "cv" else "median"
        row = out.setdefault((parts[0], parts[1]), {"median": {}, "cv": {}})
        for c in known:
            if c in b and (b.get("run_type") == "aggregate" or c not in row[key]):
                row[key][c] = b[c]
    return out


def medians(merged):
    """{figure: {design: (ns, error or None)}} from the median aggregates (or single runs)."""
    figures = {}
    order = []
    singles = {}
    for b in merged["benchmarks"]:
        name = b.get("run_name", b["name"])
        parts = name.split("/")
        if len(parts) < 2:
            continue
        figure, design = parts[0], parts[1]
        manual = "manual_time" in parts
        unit = UNIT_NS[b.get("time_unit", "ns")]
        value = (b["real_time"] if manual else b["cpu_time"]) * unit
        error = b.get("error_message") if b.get("error_occurred") else None
        if figure not in figures:
            figures[figure] = {}
            order.append(figure)
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                figures[figure][design] = (value, error)
        else:
            singles.setdefault((figure, design), (value, error))
            if error:
                figures[figure][design] = (value, error)
    for (figure, design), v in singles.items():
        figures[figure].setdefault(design, v)
    # Registration order, figure by figure and design by design, whatever order the
    # interleaved repetitions ran in.
    rank = {}
    for i, name in enumerate(merged.get("order", [])):
        parts = name.split("/")
        if len(parts) >= 2:
            rank.setdefault(parts[0], i)
            rank.setdefault((parts[0], parts[1]), i)
    order.sort(key=lambda f: rank.get(f, len(rank)))
    for figure in figures:
        figures[figure] = dict(sorted(figures[figure].items(),
                                      key=lambda kv: rank.get((figure, kv[0]), len(rank))))
    return figures, order


def fmt_ns(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.2f} ns"


def table(figures, order):
    lines = ["| Figure | os | Baseline | Baseline time | os / baseline |",
             "|---|---:|---|---:|---:|"]
    for figure in order:
        designs = figures[figure]
        ours = designs.get("os")
        ours_text = "-" if ours is None else (f"error: {ours[1]}" if ours[1] else fmt_ns(ours[0]))
        first = True
        for design, (ns, error) in designs.items():
            if design == "os":
                continue
            ratio = "-"
            if ours and not ours[1] and not error and ns > 0:
                ratio = f"{ours[0] / ns:.2f}"
            lines.append(f"| {figure if first else ''} | {ours_text if first else ''} | {design} "
                         f"| {('error: ' + error) if error else fmt_ns(ns)} | {ratio} |")
            first = False
        if first:
            lines.append(f"| {figure} | {ours_text} | | | |")
    return "\n".join(lines)


def resolve(figures, extra, spec, figure=None):
    """The (value, error) of a target's side: "Figure[/design][@counter]", or a design of
    `figure` when given."""
    spec, _, counter = spec.partition("@")
    if figure is not None and "/" not in spec:
        name, design = figure, spec
    else:
        name, _, design = spec.partition("/")
        design = design or "os"
    if counter:
        row = extra.get((name, design), {}).get("median", {})
        return (row[counter], None) if counter in row else None
    return figures.get(name, {}).get(design)


def fmt_value(spec, value):
    counter = spec.partition("@")[2]
    if counter == "bytes_per_msg":
        return f"{value:.1f} B"
    return fmt_ns(value)


def targets(figures, extra):
    lines = ["| Target | Measured | Met |", "|---|---|---|"]
    for figure, baseline, kind, limit, what in TARGETS:
        ours = resolve(figures, extra, figure)
        base = resolve(figures, extra, baseline, figure.partition("@")[0].partition("/")[0]) \
            if baseline else None
        fmt_ours = lambda v: fmt_value(figure, v)  # noqa: E731
        fmt_base = lambda v: fmt_value(baseline or "", v)  # noqa: E731
        if ours is None or ours[1] or (baseline and (base is None or base[1])):
            lines.append(f"| {what} | not measured | - |")
            continue
        if kind == "ratio":
            value = ours[0] / base[0]
            measured, met = f"{value:.2f}x ({fmt_ours(ours[0])} vs {fmt_base(base[0])})", \
                value <= limit
        elif kind == "above":
            value = ours[0] - base[0]
            measured, met = f"+{value:.2f} ns ({fmt_ns(ours[0])} vs {fmt_ns(base[0])})", \
                value <= limit
        elif kind == "throughput":
            value = base[0] / ours[0]
            shown = f"{value * 100:.2f} %" if limit < 0.1 else f"{value:.2f}x"
            measured, met = f"{shown} ({fmt_ns(ours[0])} vs {fmt_ns(base[0])})", \
                value >= limit
        else:
            measured, met = fmt_ns(ours[0]), ours[0] <= limit
        lines.append(f"| {what} | {measured} | {'yes' if met else 'NO'} |")
    return "\n".join(lines)


def read_load():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def client_table(extra):
    """minimap-client's rows: messages/s beside the raw loopback, CPU and bytes per message,
    with the spread (coefficient of variation) of the repetitions."""
    rows = sorted({f for f, d in extra if f.startswith("ClientFlood.")},
                  key=lambda f: (int(f.split(".")[1]), f.split(".")[2]))
    if not rows:
        return ""
    lines = ["| Markers, output | client msgs/s (cv) | raw loopback msgs/s (cv) | client / loopback "
             "| client CPU per msg (cv) | output bytes per msg |",
             "|---|---:|---:|---:|---:|---:|"]

    def cell(row, counter, fmt):
        if counter not in row["median"]:
            return "-"
        cv = row["cv"].get(counter)
        spread = f" ({cv * 100:.0f} %)" if cv is not None else ""
        return fmt(row["median"][counter]) + spread

    for figure in rows:
        ours = extra.get((figure, "os"), {"median": {}, "cv": {}})
        base = extra.get((figure, "loopback"), {"median": {}, "cv": {}})
        ratio = "-"
        if "msgs_per_s" in ours["median"] and base["median"].get("msgs_per_s"):
            ratio = f"{ours['median']['msgs_per_s'] / base['median']['msgs_per_s'] * 100:.2f} %"
        _, n, mode = figure.split(".")
        lines.append(
            f"| {n}, {mode} | {cell(ours, 'msgs_per_s', lambda v: f'{v:,.0f}')} "
            f"| {cell(base, 'msgs_per_s', lambda v: f'{v:,.0f}')} | {ratio} "
            f"| {cell(ours, 'cpu_ns_per_msg', fmt_ns)} "
            f"| {cell(ours, 'bytes_per_msg', lambda v: f'{v:.1f}')} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", nargs="?", default="build/release")
    parser.add_argument("--no-run", action="store_true",
                        help="print the table of the last run without running anything")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.2)
    parser.add_argument("--filter", default="")
    args = parser.parse_args()

    load_before = read_load() if not args.no_run else "(not run)"
    if not args.no_run:
        run(args.build_dir, args.repetitions, args.min_time, args.filter)
    merged = merge(args.build_dir)
    figures, order = medians(merged)
    extra = counters(merged)
    context = merged.get("context") or {}
    print()
    reps = next((b.get("repetitions") for b in merged["benchmarks"]
                 if b.get("run_type") == "aggregate"), 1)
    print(f"Machine load (/proc/loadavg, 1, 5 and 15 min): before the run {load_before}, "
          f"after {read_load()}")
    print(f"Medians of {reps} repetitions; host {context.get('host_name', '?')}, "
          f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
          f"{context.get('date', '')}; results in "
          f"{os.path.join(args.build_dir, 'bench', 'results.json')}")
    print()
    print(table(figures, order))
    print()
    flood = client_table(extra)
    if flood:
        print()
        print(flood)
    print()
    print(targets(figures, extra))


if __name__ == "__main__":
    main()
