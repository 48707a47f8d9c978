#!/usr/bin/env python3
"""Instructions per message of the whole minimap path, counted with callgrind.

    scripts/bench_instructions.py [BUILD_DIR] [CASE ...]

BUILD_DIR defaults to build/release; CASE is "<Op>.<size>" (SetPlayer, SetNpc, Remove,
QueryResult; 1k or 100k), by default the four operations at 1k. For every case and design,
bench_minimap runs in its instruction mode under callgrind, which counts one pass of n
messages after the stores were filled, and nothing else. Unlike times, these counts do not move
with the load of a shared machine; they say how much work each design does, not how fast the
machine does it (cache misses and locked instructions cost more than their count).
"""

import os
import re
import subprocess
import sys
import tempfile

DESIGNS = ["os", "std_function", "signals2", "lean"]


def count(program, case, design):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, LD_BIND_NOW="1")
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             "--toggle-collect=*MeasuredPass*", program, f"--instructions={case}/{design}"],
            capture_output=True, text=True, env=env)
        if result.returncode != 0:
            sys.exit(f"bench_instructions.py: {case}/{design} failed:\n{result.stderr}")
        collected = re.search(r"Collected : (\d+)", result.stderr)
        messages = re.search(r"(\d+) messages", result.stdout)
        if not collected or not messages:
            sys.exit(f"bench_instructions.py: no count for {case}/{design}:\n{result.stderr}")
        return int(collected.group(1)) / int(messages.group(1))


def main():
    args = sys.argv[1:]
    build_dir = "build/release"
    if args and not re.match(r"^\w+\.\d+k$", args[0]):
        build_dir = args.pop(0)
    cases = args or ["SetPlayer.1k", "SetNpc.1k", "Remove.1k", "QueryResult.1k"]
    program = os.path.join(build_dir, "bin", "bench_minimap")
    if not os.access(program, os.X_OK):
        sys.exit(f"bench_instructions.py: {program} not built (target `benchmarks`)")

    print("| Path | " + " | ".join(DESIGNS) + " | os / std_function | os / signals2 |")
    print("|---|" + "---:|" * (len(DESIGNS) + 2))
    for case in cases:
        counts = {d: count(program, case, d) for d in DESIGNS}
        cells = " | ".join(f"{counts[d]:.0f}" for d in DESIGNS)
        print(f"| {case} | {cells} | {counts['os'] / counts['std_function']:.2f} "
              f"| {counts['os'] / counts['signals2']:.2f} |", flush=True)


if __name__ == "__main__":
    main()
