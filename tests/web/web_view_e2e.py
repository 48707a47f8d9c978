#!/usr/bin/env python3
"""The live map in a real browser: minimap-client --web against its embedded simulator,
Debian's headless Chromium driven through chromedriver (W3C WebDriver over HTTP, standard
library only).

What the page shows (window.__minimapState and its DOM) is checked against the client's own
event stream (--events jsonl): names, positions and counts at the same serial. A click on the
query control must put a query on the wire (an answer shows up in the event stream); the NPC
named as markup must stay text. Every wait is bounded by a condition, none by a sleep.

usage: web_view_e2e.py CLIENT SCENARIO OUTPUT_DIR
"""
import base64
import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HOSTILE = "<img src=x onerror=alert(1)>"
WAIT = 30  # seconds any one condition may take
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Stream:
    """The client's event stream, read on a thread; lines numbered from 1 as their serial."""

    def __init__(self, pipe):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        for raw in pipe:
            line = json.loads(raw)
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def wait_for(self, predicate, what):
        with self.cond:
            if not self.cond.wait_for(lambda: predicate(self.lines), timeout=WAIT):
                raise AssertionError("timed out waiting for " + what)
            return list(self.lines)


def serial_of(line, index):
    return line.get("serial", index + 1)


def rebuild(lines, upto):
    """The three stores after the line with serial `upto`, keyed by the id as a string."""
    stores = {"players": {}, "npcs": {}, "query": {}}
    for i, line in enumerate(lines):
        if serial_of(line, i) > upto:
            break
        if "changes" in line:
            for c in line["changes"]:
                store = stores[c["store"]]
                if c["op"] == "clear":
                    store.clear()
                elif c["op"] == "remove":
                    store.pop(str(c["id"]), None)
                else:
                    store[str(c["id"])] = {k: v for k, v in c.items()
                                           if k not in ("store", "op", "id")}
        else:  # a line that holds the stores whole
            for name in stores:
                stores[name] = {str(r["id"]): {k: v for k, v in r.items() if k != "id"}
                                for r in line[name]}
    return stores


def read_line(pipe, marker, what):
    """The first line of `pipe` containing `marker`, within WAIT seconds."""
    deadline = time.monotonic() + WAIT
    buffered = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([pipe], [], [], deadline - time.monotonic())
        if not ready:
            break
        chunk = os.read(pipe.fileno(), 4096)
        if not chunk:
            break
        buffered += chunk
        for line in buffered.decode(errors="replace").splitlines():
            if marker in line:
                return line
    raise AssertionError("no '%s' from %s; got %r" % (marker, what, buffered[-2000:]))


class WebDriver:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port
        self.session = None

    def call(self, method, path, body=None):
        url = self.base + (("/session/" + self.session) if self.session else "") + path
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(url, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=WAIT + 10) as response:
                return json.loads(response.read())["value"]
        except urllib.error.HTTPError as e:
            raise AssertionError("%s %s: %s" % (method, path, e.read()[:2000])) from None

    def start(self, profile):
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                "--window-size=1280,800", "--user-data-dir=" + profile]
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": CHROMIUM, "args": args},
            "timeouts": {"script": WAIT * 1000, "pageLoad": WAIT * 1000},
            "unhandledPromptBehavior": "ignore"}}}
        self.session = self.call("POST", "/session", caps)["sessionId"]

    def script(self, source, *args):
        return self.call("POST", "/execute/sync", {"script": source, "args": list(args)})

    def wait_in_page(self, condition, what):
        """Resolves in the page as soon as `condition` (a JS expression) holds."""
        source = ("const done = arguments[arguments.length - 1];"
                  "const check = () => { try { if (%s) return done(true); } catch (e) {}"
                  " requestAnimationFrame(check); }; check();" % condition)
        try:
            self.call("POST", "/execute/async", {"script": source, "args": []})
        except AssertionError as e:
            raise AssertionError("page never showed " + what + ": " + str(e)) from None


STATE_JS = """
const s = window.__minimapState;
const rows = Array.from(document.querySelectorAll('#npcs tbody tr'),
                        (tr) => [tr.dataset.id, tr.cells[0].textContent, tr.cells[1].textContent]);
return {serial: s.serial, snapshotSerial: s.snapshotSerial, counters: s.counters,
        gaps: s.gaps, refused: s.refused, connection: s.connection,
        players: Object.fromEntries(s.players), npcs: Object.fromEntries(s.npcs),
        query: Object.fromEntries(s.query), kinds: s.kinds, rows: rows,
        images: document.querySelectorAll('img').length};
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    client_path, scenario, output = sys.argv[1:4]
    env = dict(os.environ, PLINTH_TIMER_SCALE="0.02")
    client = subprocess.Popen([client_path, "--events", "jsonl", "--scenario", scenario,
                               "--web", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    driver_process = None
    driver = None
    try:
        url = read_line(client.stderr, "web view on", "minimap-client").split()[-1]
        stream = Stream(client.stdout)

        port = free_port()
        driver_process = subprocess.Popen([CHROMEDRIVER, "--port=%d" % port],
                                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        read_line(driver_process.stdout, "started successfully", "chromedriver")
        driver = WebDriver(port)
        with tempfile.TemporaryDirectory() as profile:
            driver.start(profile)
            driver.call("POST", "/url", {"url": url})

            # The markers: all four NPCs and both players, the second one moved.
            driver.wait_in_page("window.__minimapState.npcs.size === 4 && "
                                "window.__minimapState.players.size === 2 && "
                                "document.querySelectorAll('#npcs tbody tr').length === 4",
                                "the markers")
            page = driver.script(STATE_JS)
            lines = stream.wait_for(lambda ls: len(ls) >= page["serial"], "the page's serial")
            expected = rebuild(lines, page["serial"])
            check(page["npcs"] == expected["npcs"], "NPCs", page["npcs"], expected["npcs"])
            check(page["players"] == expected["players"], "players", page["players"],
                  expected["players"])
            names = sorted(n["name"] for n in expected["npcs"].values())
            check(sorted(r[1] for r in page["rows"]) == names, "the NPC table's names",
                  page["rows"], names)
            for row in page["rows"]:
                npc = expected["npcs"][row[0]]
                check(row[2] == page["kinds"][npc["kind"]], "element name", row, page["kinds"])
            after = [l for i, l in enumerate(lines)
                     if page["snapshotSerial"] < serial_of(l, i) <= page["serial"]]
            counts = {"markersChanged": "MarkersChanged", "answers": "QueryFinished",
                      "roleResets": "RoleReset"}
            for key, event in counts.items():
                want = sum(1 for l in after if l["event"] == event)
                check(page["counters"][key] == want, key, page["counters"][key], want)
            check(page["gaps"] == 0 and page["refused"] == 0, "lines lost or refused",
                  page["gaps"], page["refused"])

            # The hostile name: shown as text, never as an element.
            check(HOSTILE in [r[1] for r in page["rows"]], "the hostile name as text",
                  page["rows"], HOSTILE)
            check(page["images"] == 0, "no <img> element", page["images"], 0)

            # The query control: kind 2 chosen; the client's status changes before the button is
            # clicked (polling switched), and the choice stays; an answer on the wire.
            def click(selector):
                element = driver.call("POST", "/element", {"using": "css selector",
                                                           "value": selector})
                driver.call("POST", "/element/%s/click" % next(iter(element.values())), {})
            before = len(stream.lines)
            driver.script("document.getElementById('query-kind').value = '2';")
            polling = driver.script("return window.__minimapState.status.polling;")
            click("#poll")
            driver.wait_in_page("document.getElementById('poll').textContent === 'Polling %s'"
                                % ("off" if polling else "on"),
                                "the panel drawn with the status after the polling switch")
            click("#query")
            lines = stream.wait_for(
                lambda ls: any(l["event"] == "QueryFinished" for l in ls[before:]),
                "a query answer after the click")
            driver.wait_in_page("window.__minimapState.counters.answers >= 1 && "
                                "window.__minimapState.query.size === 1",
                                "the answer")
            page = driver.script(STATE_JS)
            answered = rebuild(lines, len(lines))["query"]
            check(page["query"] == answered, "the answer", page["query"], answered)
            check(all(n["kind"] == 2 for n in answered.values()) and len(answered) == 1,
                  "the answer holds kind 2 only", answered, "kind 2")
            driver.wait_in_page("document.querySelectorAll('#npcs tr.answer').length === 1",
                                "the answer highlighted")

            os.makedirs(output, exist_ok=True)
            png = base64.b64decode(driver.call("GET", "/screenshot"))
            with open(os.path.join(output, "web-view.png"), "wb") as f:
                f.write(png)
            driver.call("DELETE", "")
            driver.session = None
        print("web view: %d NPCs, %d players, serial %d; screenshot in %s" %
              (len(page["npcs"]), len(page["players"]), page["serial"], output))
        return 0
    finally:
        if driver_process:
            driver_process.terminate()
            driver_process.wait()
        client.terminate()
        client.wait()


def check(ok, what, got, want):
    if not ok:
        raise AssertionError("%s: the page shows %r, expected %r" % (what, got, want))


if __name__ == "__main__":
    sys.exit(main())
