"""evtrace view in a real browser: headless Chromium opens the page of a
viewer running in its own process while providers in other processes emit
events. Events appear, filters hide and show the right rows, an alert shows
its help and hints, hostile texts stay text (no injected script runs), pause
holds the table, the page's downloads hold what it shows, and the page
refuses to work without the token. Saves a screenshot of the live page.

usage: browser_test.py EVTRACE SCREENSHOT.png"""

import json
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from viewer_harness import Browser, Failure, Machine, Viewer, check, run_checks, wait_until  # noqa: E402

EVTRACE, SCREENSHOT = sys.argv[1], sys.argv[2]

HOSTILE_SOURCE = "<img src=x onerror=window.__pwned=1>"
HOSTILE_TEXT = '<script>window.__pwned=2</script><img src=x onerror="window.__pwned=3"> &amp; "quoted"'
HOSTILE_STRING = "<svg onload=window.__pwned=4>"
ALERT_CODE = 0x80000001  # "Connection lost" in the English event database
ALERT_HINTS = ["Move closer to the access point", "Check that the access point is switched on",
               "Connect again from the Networks page"]

# The rows drawn, newest first: id, the five plain cells, the alert tag, the text.
ROWS = """[...document.querySelectorAll('#rows .row')].filter(r => !r.hidden)
  .sort((a, b) => parseFloat(a.style.top) - parseFloat(b.style.top))
  .map(r => ({id: Number(r.dataset.id), cells: [...r.children].slice(0, 5).map(c => c.textContent),
              tag: r.children[5].firstChild.hidden ? null : r.children[5].firstChild.textContent,
              text: r.children[5].lastChild.textContent, alert: r.classList.contains('alert')}))"""
COUNTS = """({shown: document.getElementById('count-shown').textContent,
  filtered: document.getElementById('count-filtered').textContent,
  lost: document.getElementById('count-lost').textContent,
  received: document.getElementById('count-received').textContent})"""

machine = Machine(EVTRACE)
viewer = None
browser = None
state = {}


def number(text):
    return int(text.replace(",", "").replace("\u202f", "").replace(".", ""))


def rows():
    return browser.evaluate(ROWS)


def counts():
    return {k: number(v) for k, v in browser.evaluate(COUNTS).items()}


def set_filter(element, value):
    browser.evaluate(f"""(() => {{ const e = document.getElementById({json.dumps(element)});
      if (e.type === 'checkbox') e.checked = {json.dumps(bool(value))}; else e.value = {json.dumps(value)};
      e.dispatchEvent(new Event(e.tagName === 'SELECT' || e.type === 'checkbox' ? 'change' : 'input')); }})()""")


def clear_filters():
    for element, value in (("f-source", ""), ("f-severity", ""), ("f-domain", ""), ("f-code", ""), ("f-text", ""),
                           ("f-alerts", False)):
        set_filter(element, value)
    wait_until(lambda: counts()["filtered"] == 0, 5, "the filters to be cleared")


def sources_shown():
    return sorted({r["cells"][1] for r in rows()})


def start():
    global viewer, browser
    viewer = Viewer(machine)
    browser = Browser()
    browser.navigate(viewer.url)
    wait_until(lambda: browser.evaluate("document.getElementById('mode').textContent") == "live", 30,
               "the page to show the viewer as live")


def events_appear():
    machine.emit("text", "--name", "Heronsvc", "--code", "0x1001", "Connected to the access point")
    machine.emit("start", "--name", "Heronsvc", "--code", "0x1002", "Service started")
    machine.emit("text", "--name", "FleetDesk", "--code", "0x3004", "--string-a", "profile Home", "Link quality 87%")
    machine.emit("text", "--name", "Scaffold", "--code", "0x80000801", "Profile could not be applied")
    machine.emit("text", "--name", "Scaffold", "--code", hex(ALERT_CODE), "Association with the access point lost")
    got = wait_until(lambda: (lambda r: r if len(r) == 5 else None)(rows()), 20, "five rows in the page")
    texts = [r["text"] for r in got]
    check(texts == ["Association with the access point lost", "Profile could not be applied", "Link quality 87%",
                    "Service started", "Connected to the access point"], f"rows, newest first: {texts}")
    newest, first = got[0], got[-1]
    check(newest["cells"][1:] == ["Scaffold", "Error", "Connection", "0x80000001"], f"alert row cells: {newest}")
    check(first["cells"][1:] == ["Heronsvc", "Information" if False else "Success", "Security", "0x00001001"],
          f"first row cells: {first}")
    check(len(first["cells"][0]) == 12 and first["cells"][0][2] == ":", f"time cell: {first['cells'][0]!r}")
    check(got[1]["cells"][2] == "Warning", f"0x80000801 is a warning: {got[1]}")
    check(newest["alert"] and not any(r["alert"] for r in got[1:]), "only the alert row is highlighted")
    c = counts()
    check(c == {"shown": 5, "filtered": 0, "lost": 0, "received": 5}, f"counts: {c}")


def filters_hide_and_show():
    def expect(what, texts, shown, filtered):
        def settled():
            r = [x["text"] for x in rows()]
            c = counts()
            return (r, c) if r == texts and c["shown"] == shown and c["filtered"] == filtered else None
        try:
            wait_until(settled, 5, what)
        except Failure:
            raise Failure(f"{what}: rows {[x['text'] for x in rows()]}, counts {counts()}; expected {texts}")

    set_filter("f-source", "heron")
    expect("source filter", ["Service started", "Connected to the access point"], 2, 3)
    set_filter("f-source", "")
    set_filter("f-severity", "3")
    expect("severity filter", ["Profile could not be applied"], 1, 4)
    set_filter("f-severity", "")
    set_filter("f-domain", "3")
    expect("domain filter", ["Link quality 87%"], 1, 4)
    set_filter("f-domain", "")
    set_filter("f-code", "0x1001, 4098")
    expect("code filter", ["Service started", "Connected to the access point"], 2, 3)
    set_filter("f-code", "")
    set_filter("f-text", "ACCESS POINT")
    expect("text filter", ["Association with the access point lost", "Connected to the access point"], 2, 3)
    set_filter("f-text", "")
    set_filter("f-alerts", True)
    expect("alerts only", ["Association with the access point lost"], 1, 4)
    # Events arriving while a filter is set land where they belong.
    machine.emit("text", "--name", "Heronsvc", "--code", "0x1003", "Scan finished")
    machine.emit("text", "--name", "Scaffold", "--code", hex(ALERT_CODE), "Connection lost again")
    expect("alerts only, new events", ["Connection lost again", "Association with the access point lost"], 2, 5)
    set_filter("f-alerts", False)
    expect("no filter", ["Connection lost again", "Scan finished", "Association with the access point lost",
                         "Profile could not be applied", "Link quality 87%", "Service started",
                         "Connected to the access point"], 7, 0)


def alert_shows_help_and_hints():
    clear_filters()
    wait_until(lambda: rows()[0]["tag"] == "Connection lost", 10, "the alert row's tag to carry the alert's title")
    browser.evaluate("document.querySelector('#rows .row.alert').click()")
    help_ = wait_until(lambda: browser.evaluate(
        """(() => { const h = document.getElementById('alert-help'); if (!h || !h.querySelector('h3')) return null;
        return {title: h.querySelector('h3').textContent,
                hints: [...h.querySelectorAll('#alert-hints li')].map(l => l.textContent),
                text: h.textContent}; })()"""), 10, "the alert's help in the details")
    check(help_["title"] == "Connection lost", f"help title: {help_}")
    check(help_["hints"] == ALERT_HINTS, f"hints: {help_['hints']}")
    check("The adapter lost its association with the wireless network." in help_["text"], f"help text: {help_}")
    check("HLP_CONN_LOST" in help_["text"], f"help topic: {help_}")
    # The history: shown when the library gives one, said plainly when not.
    history = viewer.json("/api/history")
    body = wait_until(lambda: (lambda t: t if t and "Asking" not in t else None)(
        browser.evaluate("document.getElementById('history-body').textContent")), 15, "the alert history panel")
    if history["available"]:
        titles = browser.evaluate("[...document.querySelectorAll('#history-body tr')].map(r => r.children[1].textContent)")
        check(len(titles) == min(len(history["records"]), 500), f"history rows {titles} for {history}")
        times = browser.evaluate("[...document.querySelectorAll('#history-body tr')].map(r => r.children[0].textContent)")
        check(times == sorted(times, reverse=True), f"history newest first: {times}")
    else:
        check(body.startswith("No history available."), f"history panel: {body!r}")


def screenshot_of_live_events():
    clear_filters()
    browser.evaluate("document.querySelector('#rows .row.alert').click()")
    # Some load from a provider process, so the page is seen while it moves.
    loads = [machine.spawn("emit", "text", "--name", name, "--code", code, "--count", str(3 * rate), "--rate",
                           str(rate), "--quiet", text)
             for name, code, rate, text in (
                 ("Mesquite", "0x4010", 100, "Throughput sample: 54 Mbit/s on channel 11"),
                 ("Heronsvc", "0x1007", 30, "Beacon from 00:1b:2c:3d:4e:5f, signal -61 dBm"),
                 ("FleetDesk", "0x80000803", 6, "Roaming candidate rejected: signal below the threshold"))]
    time.sleep(2.2)
    machine.emit("text", "--name", "Scaffold", "--code", "0x80000002", "Association refused by the access point")
    time.sleep(0.5)
    browser.screenshot(SCREENSHOT)
    check(os.path.getsize(SCREENSHOT) > 20000, f"the screenshot {SCREENSHOT} is suspiciously small")
    check(all(load.wait(timeout=60) == 0 for load in loads), "a load generator failed")
    wait_until(lambda: counts()["received"] >= 416, 20, "the load to arrive")
    check(counts()["lost"] == 0, f"no event lost: {counts()}")
    print(f"         screenshot saved to {SCREENSHOT}", flush=True)


def hostile_texts_stay_text():
    clear_filters()
    machine.emit("text", "--name", HOSTILE_SOURCE, "--code", "0x1004", "--string-a", HOSTILE_STRING, HOSTILE_TEXT)
    machine.emit("custom", "--name", "Rawdata", "--code", "0x1005", "--hex", "41 ff 42 01 43 00")
    set_filter("f-code", "0x1004, 0x1005")
    got = wait_until(lambda: (lambda r: r if len(r) == 2 else None)(rows()), 10, "the hostile rows")
    raw, hostile = got
    check(hostile["cells"][1] == HOSTILE_SOURCE and hostile["text"] == HOSTILE_TEXT, f"hostile row: {hostile}")
    check(raw["text"] == "A\\xffB\\x01C", f"invalid UTF-8 and controls shown escaped: {raw['text']!r}")
    browser.evaluate("[...document.querySelectorAll('#rows .row')].find(r => !r.hidden && "
                     "r.children[4].textContent === '0x00001004').click()")
    detail = wait_until(lambda: browser.evaluate("document.getElementById('detail-body').textContent"), 5, "details")
    check(HOSTILE_STRING in detail and HOSTILE_TEXT in detail, f"details show the texts as text: {detail!r}")
    time.sleep(0.5)
    injected = browser.evaluate("""({pwned: typeof window.__pwned === 'undefined' ? null : window.__pwned,
      elements: document.querySelectorAll('#rows img, #rows script, #rows svg, #rows b, #detail-body img, ' +
        '#detail-body script, #detail-body svg, #sources img, #stats-body img').length,
      scripts: document.scripts.length})""")
    check(injected == {"pwned": None, "elements": 0, "scripts": 1}, f"something was injected: {injected}")
    set_filter("f-code", "")


def pause_holds_the_table():
    clear_filters()
    browser.evaluate("document.getElementById('pause').click()")
    before = counts()
    machine.emit("text", "--name", "Heronsvc", "--code", "0x1006", "--count", "3", "While paused")
    wait_until(lambda: "3 waiting" in browser.evaluate("document.getElementById('pause').textContent"), 10,
               "the pause button to count 3 waiting events")
    check(counts()["shown"] == before["shown"], f"paused table unchanged: {before} then {counts()}")
    browser.evaluate("document.getElementById('pause').click()")
    wait_until(lambda: counts()["shown"] == before["shown"] + 3, 5, "the held events after resume")
    check(rows()[0]["text"] == "While paused", f"newest row after resume: {rows()[0]}")


def downloads_hold_what_is_shown():
    clear_filters()
    set_filter("f-source", "heron")
    wait_until(lambda: all(r["cells"][1] == "Heronsvc" for r in rows()) and rows(), 5, "only Heronsvc rows")
    shown = counts()["shown"]
    for fmt in ("csv", "bin"):
        browser.evaluate(f"document.getElementById('download-{fmt}').click()")
        files = wait_until(lambda: [f for f in os.listdir(browser.downloads)
                                    if f.endswith("." + fmt) and not f.endswith(".crdownload")], 20,
                           f"the {fmt} download")
        path = os.path.join(browser.downloads, files[0])
        data = open(path, "rb").read()
        if fmt == "csv":
            lines = data.decode("cp1252").split("\r\n")
            check(lines[0] == "#Event,Source,Time,Error Severity,Domain,User,Description", f"CSV header: {lines[0]}")
            body = [l for l in lines[1:] if l]
            check(len(body) == shown and all(l.split(",")[1] == "Heronsvc" for l in body), f"CSV rows: {body}")
        else:
            header, version, n = struct.unpack_from("<III", data, 0)
            check((header, version, n) == (4, 0x10000, shown), f"log header {header}, {version:#x}, {n}")
            offset, sources = 12, []
            for _ in range(n):
                (length,) = struct.unpack_from("<I", data, offset)
                record = data[offset + 4:offset + 4 + length]
                sources.append(record[4:260].split(b"\0")[0].decode())
                offset += 4 + length
            check(offset == len(data) and set(sources) == {"Heronsvc"}, f"log records from {sources}")
    note = browser.evaluate("document.getElementById('notice').textContent")
    check(note.startswith(f"{shown} events downloaded"), f"notice: {note!r}")
    set_filter("f-source", "")


def session_statistics():
    text = wait_until(lambda: (lambda t: t if "this viewer" in t else None)(
        browser.evaluate("document.getElementById('stats-body').textContent")), 10, "the session panel")
    for part in ("Orkan System Trace", "events/s", "Heronsvc", "Scaffold"):
        check(part in text, f"session panel lacks {part!r}: {text!r}")


def page_without_token_is_refused():
    browser.navigate(viewer.base + "/")
    text = browser.evaluate("document.body.innerText")
    check(text.startswith("Refused: this viewer needs its access token"), f"page without token: {text!r}")
    browser.navigate(viewer.base + "/?token=" + "0" * 64)
    text = browser.evaluate("document.body.innerText")
    check(text.startswith("Refused: the access token is wrong"), f"page with a wrong token: {text!r}")


def stop():
    messages = browser.console_messages() if browser else []
    if browser:
        browser.close()
    code = viewer.stop() if viewer else 0
    machine.close()
    check(code == 0, f"evtrace view exited {code} on SIGTERM: {''.join(viewer.stderr)}")
    check(not [m for m in messages if m.startswith("exception")], f"the page threw: {messages}")


run_checks([
    ("the viewer and the browser start", start),
    ("events from provider processes appear", events_appear),
    ("filters hide and show the right rows", filters_hide_and_show),
    ("an alert shows its help and hints; the history panel", alert_shows_help_and_hints),
    ("screenshot of the page with live events", screenshot_of_live_events),
    ("hostile texts stay text", hostile_texts_stay_text),
    ("pause holds the table, resume shows what came", pause_holds_the_table),
    ("downloads hold what is shown (CSV and binary log)", downloads_hold_what_is_shown),
    ("the session's statistics", session_statistics),
    ("the page refuses to work without the token", page_without_token_is_refused),
    ("the viewer stops cleanly", stop),
])
