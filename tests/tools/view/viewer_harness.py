"""What the viewer's tests and benchmark share: a machine root of their own,
evtrace in processes of its own (the viewer, providers), plain HTTP requests,
and headless Chromium driven through the DevTools protocol.

Only the standard library and Debian's python3-websocket are used."""

import base64
import http.client
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse


class Failure(Exception):
    """A check that failed, in words."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(condition, timeout, what, interval=0.05):
    """Polls condition() until it returns something true; fails naming what."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = condition()
        if last:
            return last
        time.sleep(interval)
    raise Failure(f"timed out after {timeout} s waiting for {what} (last seen: {last!r})")


class Machine:
    """A fresh machine root with the event databases installed."""

    def __init__(self, evtrace, language="0x0409"):
        self.evtrace = evtrace
        self.dir = tempfile.mkdtemp(prefix="evtrace-view-test-")
        self.env = dict(os.environ)
        self.env["EVTRACE_ROOT"] = os.path.join(self.dir, "root")
        self.env["EVTRACE_UI_LANGUAGE"] = language
        self.env["EVTRACE_SYSTEM_LANGUAGE"] = language
        self.env.pop("EVTRACE_PREFERRED_UI_LANGUAGES", None)
        self.run("root", "prepare")
        self.run("setup", "--quiet")

    def run(self, *args, check_exit=True, timeout=120):
        done = subprocess.run([self.evtrace, *args], env=self.env, capture_output=True, timeout=timeout)
        if check_exit and done.returncode != 0:
            raise Failure(f"evtrace {' '.join(args)} exited {done.returncode}: "
                          f"{done.stderr.decode(errors='replace').strip()}")
        return done

    def emit(self, *args):
        """A provider process: evtrace emit ..."""
        return self.run("emit", *args)

    def spawn(self, *args, **kwargs):
        return subprocess.Popen([self.evtrace, *args], env=self.env, **kwargs)

    def close(self):
        self.run("session", "stop", check_exit=False)
        self.run("root", "destroy", check_exit=False)
        shutil.rmtree(self.dir, ignore_errors=True)


class Viewer:
    """evtrace view in a process of its own, on a free port."""

    def __init__(self, machine, *extra):
        self.process = machine.spawn("view", "--port", "0", *extra, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.url = None
        lines = []
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            line = self.process.stdout.readline().decode(errors="replace")
            if not line:
                break
            lines.append(line)
            if line.startswith("http://"):
                self.url = line.strip()
                break
        if self.url is None:
            self.process.kill()
            err = self.process.stderr.read().decode(errors="replace")
            raise Failure(f"evtrace view printed no address: {''.join(lines)}{err}")
        parts = urllib.parse.urlsplit(self.url)
        self.host = parts.netloc
        self.base = f"{parts.scheme}://{parts.netloc}"
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]
        self.stderr = []
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for line in self.process.stderr:
            self.stderr.append(line.decode(errors="replace"))

    def request(self, method, path, token=True, headers=None, body=None, timeout=30):
        """One HTTP request; returns (status, headers, body bytes)."""
        if token:
            path += ("&" if "?" in path else "?") + "token=" + self.token
        connection = http.client.HTTPConnection(self.host, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def json(self, path):
        status, _, body = self.request("GET", path)
        check(status == 200, f"GET {path} answered {status}: {body[:200]!r}")
        return json.loads(body)

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def thread_cpu_seconds(self):
        """CPU time of each thread of the viewer, by thread id."""
        out = {}
        task = f"/proc/{self.process.pid}/task"
        for tid in os.listdir(task):
            try:
                with open(f"{task}/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            out[int(tid)] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return out

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                return self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise Failure("evtrace view did not stop within 30 s of SIGTERM")
        return self.process.returncode


def find_chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    raise Failure("no chromium: install the Debian package chromium (scripts/setup-debian.sh does)")


class Browser:
    """Headless Chromium with one page, driven over the DevTools protocol."""

    def __init__(self, width=1400, height=860):
        try:
            import websocket  # Debian: python3-websocket
        except ImportError as e:
            raise Failure("the Python module websocket is missing: install the Debian package python3-websocket "
                          f"(scripts/setup-debian.sh does): {e}")
        self.profile = tempfile.mkdtemp(prefix="evtrace-view-chromium-")
        self.downloads = os.path.join(self.profile, "downloads")
        os.mkdir(self.downloads)
        args = [find_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-extensions", "--disable-dev-shm-usage", "--mute-audio", "--no-default-browser-check",
                f"--user-data-dir={self.profile}", "--remote-debugging-port=0", f"--window-size={width},{height}",
                "about:blank"]
        self.log = open(os.path.join(self.profile, "chromium.log"), "wb")
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + 60
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise Failure(f"chromium did not start (exit {self.process.returncode}): {self.log_tail()}")
            time.sleep(0.1)
        with open(port_file) as f:
            port = int(f.readline())
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/json/list")
        targets = json.loads(connection.getresponse().read())
        connection.close()
        page = next(t for t in targets if t.get("type") == "page")
        # No Origin header: the DevTools server accepts such clients.
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], suppress_origin=True, timeout=60)
        self.next_id = 0
        self.events = []
        self.send("Page.enable")
        self.send("Runtime.enable")
        self.send("Browser.setDownloadBehavior", behavior="allow", downloadPath=self.downloads)

    def log_tail(self):
        self.log.flush()
        try:
            with open(os.path.join(self.profile, "chromium.log"), "rb") as f:
                return f.read()[-2000:].decode(errors="replace")
        except OSError:
            return ""

    def send(self, method, **params):
        self.next_id += 1
        ident = self.next_id
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == ident:
                if "error" in message:
                    raise Failure(f"DevTools {method} failed: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise Failure(f"the page's script failed on {expression[:80]!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def navigate(self, url):
        self.events.clear()
        self.send("Page.navigate", url=url)
        wait_until(lambda: self.evaluate("document.readyState") == "complete", 30, "the page to load")

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", format="png")["data"]
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def console_messages(self):
        """Console and CSP messages the page produced (collected while waiting for answers)."""
        out = []
        for m in self.events:
            if m.get("method") == "Runtime.consoleAPICalled":
                out.append(" ".join(str(a.get("value", "")) for a in m["params"]["args"]))
            elif m.get("method") == "Runtime.exceptionThrown":
                out.append("exception: " + json.dumps(m["params"]["exceptionDetails"])[:300])
        return out

    def close(self):
        try:
            if getattr(self, "ws", None):
                self.ws.close()
        except Exception:
            pass
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


def run_checks(checks):
    """Runs named checks in order and reports each; exits 1 when any failed."""
    import sys
    import traceback
    failed = 0
    for name, fn in checks:
        started = time.monotonic()
        try:
            fn()
            print(f"[  OK  ] {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Failure as e:
            failed += 1
            print(f"[FAILED] {name}: {e}", flush=True)
        except Exception:
            failed += 1
            print(f"[FAILED] {name}: {traceback.format_exc()}", flush=True)
    sys.exit(1 if failed else 0)
