#!/usr/bin/env python3
"""The live web view's limits: how many markers per second the page draws, and how many
browsers keep up at once, measured in Debian's headless Chromium (scripts/setup.sh installs
it).

usage: scripts/web-load.py build/release [--markers 100,1000,5000] [--browsers 16]

For each marker count, a scenario moves every NPC up to ten times a second; the client polls every
50 ms (PLINTH_TIMER_SCALE=0.01) and serves the page; the page's own counters over 3 seconds
give the frames drawn, the markers drawn, the lines and the changes applied per second.
Then that many tabs open the page at once under the middle load, and each must be connected,
have no gap in its serials and not have been dropped.
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "web"))
from web_view_e2e import CHROMEDRIVER, WebDriver, free_port, read_line  # noqa: E402

MEASURE = """
const done = arguments[arguments.length - 1];
const s = window.__minimapState;
const before = {draws: s.draws, drawn: s.markersDrawn, lines: s.lines, changes: s.changes,
                t: performance.now()};
setTimeout(() => {
  const seconds = (performance.now() - before.t) / 1000;
  done({frames: (s.draws - before.draws) / seconds,
        markers: (s.markersDrawn - before.drawn) / seconds,
        lines: (s.lines - before.lines) / seconds,
        changes: (s.changes - before.changes) / seconds,
        gaps: s.gaps, notice: s.notice});
}, 3000);
"""

HEALTH = """
const s = window.__minimapState;
return {connection: s.connection, gaps: s.gaps, notice: s.notice, serial: s.serial,
        npcs: s.npcs.size};
"""


def scenario(count, path):
    """Every NPC moves at each step, 10 steps a second (fewer where the scenario's 100,000
    events would not last 20 s), for 20 s (2000 s of scenario time at the scale used here)."""
    steps = min(199, 100000 // count - 1)
    interval = max(10, 2000 // steps)
    with open(path, "w") as f:
        f.write('title "Load"\nloop 4000s\n')
        for i in range(count):
            f.write('0s npc %d appear name="NPC %d" x=%d y=%d kind=%d\n'
                    % (1000 + i, i, i % 100, (i // 100) % 100, i % 6))
        for step in range(1, steps + 1):
            for i in range(count):
                f.write("%ds npc %d move x=%d y=%d\n" % (step * interval, 1000 + i,
                                                         (i * 7 + step) % 100,
                                                         (i * 3 + step) % 100))


def run_client(client, path):
    env = dict(os.environ, PLINTH_TIMER_SCALE="0.01")
    process = subprocess.Popen([client, "--view", "lines", "--scenario", path, "--web",
                                "127.0.0.1:0"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=env)
    return process, read_line(process.stderr, "web view on", "minimap-client").split()[-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--markers", default="100,1000,5000")
    parser.add_argument("--browsers", type=int, default=16)
    args = parser.parse_args()
    client = os.path.join(args.build, "bin", "minimap-client")
    counts = [int(c) for c in args.markers.split(",")]

    port = free_port()
    chromedriver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % port],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    read_line(chromedriver.stdout, "started successfully", "chromedriver")
    try:
        with tempfile.TemporaryDirectory() as work:
            driver = WebDriver(port)
            driver.start(os.path.join(work, "profile"))
            print("markers  frames/s  markers drawn/s  lines/s  changes/s")
            for count in counts:
                path = os.path.join(work, "load-%d.scn" % count)
                scenario(count, path)
                process, url = run_client(client, path)
                try:
                    driver.call("POST", "/url", {"url": url})
                    driver.wait_in_page("window.__minimapState.npcs.size === %d" % count,
                                        "%d NPCs" % count)
                    r = driver.call("POST", "/execute/async", {"script": MEASURE, "args": []})
                    print("%7d  %8.1f  %15.0f  %7.0f  %9.0f%s" % (
                        count, r["frames"], r["markers"], r["lines"], r["changes"],
                        "" if not r["gaps"] and not r["notice"] else "  (gaps %s, notice %s)" % (r["gaps"], r["notice"])))
                finally:
                    process.terminate()
                    process.wait()

            count = counts[len(counts) // 2]
            path = os.path.join(work, "load-%d.scn" % count)
            process, url = run_client(client, path)
            try:
                handles = []
                for i in range(args.browsers):
                    if i:
                        handle = driver.call("POST", "/window/new", {"type": "tab"})["handle"]
                        driver.call("POST", "/window", {"handle": handle})
                    driver.call("POST", "/url", {"url": url})
                    handles.append(driver.call("GET", "/window"))
                healthy = 0
                for handle in handles:
                    driver.call("POST", "/window", {"handle": handle})
                    driver.wait_in_page("window.__minimapState.npcs.size === %d" % count,
                                        "the map in every tab")
                    h = driver.script(HEALTH)
                    healthy += h["connection"] == "open" and not h["gaps"] and not h["notice"]
                print("%d browsers at once with %d NPCs moving: %d connected, no gap, none "
                      "dropped" % (args.browsers, count, healthy))
            finally:
                process.terminate()
                process.wait()
            driver.call("DELETE", "")
    finally:
        chromedriver.terminate()
        chromedriver.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
