"""Benchmark of evtrace view: the event rates a page in headless Chromium
keeps up with, and the viewer's CPU time per event with no page and with
one page open (the difference is what a page costs the server).

usage: python3 bench/view_bench.py BUILD/tools/evtrace/evtrace [--quick] [--json]

A provider process emits 100-character texts at a fixed rate for a few
seconds (evtrace emit --rate); the viewer runs in its own process, the
page in Chromium. For each rate: events the page received and lost (its
count, which includes what the session lost for the viewer), and the
viewer's CPU per event (utime + stime from /proc over the run)."""

import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tool", "view"))
from viewer_harness import Browser, Failure, Machine, Viewer, wait_until  # noqa: E402

TARGET_RATE = 20000
TARGET_NS_PER_EVENT_PER_PAGE = 2000


def page_counts(browser):
    c = browser.evaluate("""({received: document.getElementById('count-received').textContent,
                              lost: document.getElementById('count-lost').textContent})""")
    return {k: int(v.replace(",", "")) for k, v in c.items()}


def run(machine, viewer, browser, rate, seconds):
    count = int(rate * seconds)
    before = viewer.json("/api/status")
    page_before = page_counts(browser) if browser else None
    cpu_before = viewer.cpu_seconds()
    threads_before = viewer.thread_cpu_seconds()
    started = time.monotonic()
    emitter = machine.spawn("emit", "text", "--name", "Bench", "--code", "0x4010", "--count", str(count),
                            "--rate", str(rate), "--quiet", "x" * 100)
    emitter.wait()
    emit_seconds = time.monotonic() - started

    def settled():
        s = viewer.json("/api/status")
        got = s["received"] - before["received"] + s["viewerLost"] - before["viewerLost"]
        return s if got >= count else None
    try:
        after = wait_until(settled, 30, "the viewer to receive or count every event", interval=0.2)
    except Failure:
        after = viewer.json("/api/status")
    cpu = viewer.cpu_seconds() - cpu_before
    threads = viewer.thread_cpu_seconds()
    deltas = sorted((threads[t] - threads_before.get(t, 0.0) for t in threads), reverse=True)
    received = after["received"] - before["received"]
    result = {"rate": rate, "events": count, "emit_seconds": round(emit_seconds, 2), "viewer_received": received,
              "viewer_lost": after["viewerLost"] - before["viewerLost"],
              "viewer_cpu_ns_per_event": round(cpu * 1e9 / max(1, received)),
              # The busiest thread is the session's listener (delivery and the
              # client callback); the others are the HTTP server's: with one
              # page, its stream and the page's queries.
              "listener_ns_per_event": round(deltas[0] * 1e9 / max(1, received)),
              "server_threads_ns_per_event": round(sum(deltas[1:]) * 1e9 / max(1, received))}
    if browser:
        want = page_before["received"] + received
        try:
            wait_until(lambda: page_counts(browser)["received"] >= want, 30, "the page to receive them", interval=0.2)
        except Failure:
            pass
        page = page_counts(browser)
        result["page_received"] = page["received"] - page_before["received"]
        result["page_lost"] = page["lost"] - page_before["lost"]
        result["page_drops"] = after["pageDrops"] - before["pageDrops"]
    return result


def main():
    evtrace = sys.argv[1]
    quick = "--quick" in sys.argv
    as_json = "--json" in sys.argv
    seconds = 2 if quick else 5
    rates = [5000, 20000] if quick else [5000, 10000, 20000, 40000]
    machine = Machine(evtrace)
    results = []
    try:
        viewer = Viewer(machine, "--keep", "1000")
        try:
            # The viewer alone: its consumer, the record copies and the JSON.
            results.append(dict(run(machine, viewer, None, TARGET_RATE, seconds), pages=0))
            browser = Browser()
            try:
                browser.navigate(viewer.url)
                wait_until(lambda: browser.evaluate("document.getElementById('mode').textContent") == "live", 30,
                           "the page")
                # The page starts with the viewer's kept events: let them in first.
                kept = viewer.json("/api/status")["kept"]
                wait_until(lambda: page_counts(browser)["received"] >= kept, 30, "the page's first events")
                time.sleep(1)
                for rate in rates:
                    results.append(dict(run(machine, viewer, browser, rate, seconds), pages=1))
            finally:
                browser.close()
        finally:
            viewer.stop()
    finally:
        machine.close()

    alone = results[0]["viewer_cpu_ns_per_event"]
    at_target = next(r for r in results if r["pages"] == 1 and r["rate"] == TARGET_RATE)
    # What one page costs the server: its stream thread and queries, beyond
    # what the server threads spend with no page open.
    per_page = at_target["server_threads_ns_per_event"] - results[0]["server_threads_ns_per_event"]
    summary = {
        "page_keeps_up_at": max([r["rate"] for r in results if r["pages"] == 1 and r["page_lost"] == 0
                                 and r["page_received"] == r["events"]] or [0]),
        "viewer_ns_per_event_no_page": alone,
        "viewer_ns_per_event_one_page": at_target["viewer_cpu_ns_per_event"],
        "server_ns_per_event_per_page": per_page,
        "targets": {
            f"{TARGET_RATE} events/s without loss in the page": at_target["page_lost"] == 0
            and at_target["page_received"] == at_target["events"],
            f"server <= {TARGET_NS_PER_EVENT_PER_PAGE} ns per event per page": per_page <= TARGET_NS_PER_EVENT_PER_PAGE,
        },
    }
    if as_json:
        print(json.dumps({"runs": results, "summary": summary}, indent=2))
        return
    print(f"{'pages':>5} {'rate/s':>7} {'events':>7} {'emit s':>6} {'viewer got':>10} {'viewer lost':>11} "
          f"{'ns/event':>8} {'listener':>8} {'server':>6} {'page got':>8} {'page lost':>9} {'page drops':>10}")
    for r in results:
        print(f"{r['pages']:>5} {r['rate']:>7} {r['events']:>7} {r['emit_seconds']:>6} {r['viewer_received']:>10} "
              f"{r['viewer_lost']:>11} {r['viewer_cpu_ns_per_event']:>8} {r['listener_ns_per_event']:>8} "
              f"{r['server_threads_ns_per_event']:>6} {r.get('page_received', '-'):>8} "
              f"{r.get('page_lost', '-'):>9} {r.get('page_drops', '-'):>10}")
    print(f"the page keeps up at {summary['page_keeps_up_at']} events/s; the viewer's CPU per event: "
          f"{alone} ns with no page, {at_target['viewer_cpu_ns_per_event']} ns with one page; "
          f"one page costs the server {per_page} ns per event")
    for name, met in summary["targets"].items():
        print(f"  {name}: {'met' if met else 'NOT MET'}")


if __name__ == "__main__":
    main()
