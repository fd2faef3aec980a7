"""The page in Firefox and WebKitGTK, beside headless_chromium.py's Chromium,
for its tests: each engine as Debian ships it, in a private virtual X server
(Xvfb), since neither draws WebGL without a display here.

- Firefox ESR through WebDriver BiDi, which it has built in (Debian has no
  geckodriver): a small client over python3-websockets.
- WebKitGTK through Debian's WebKitWebDriver (webkit2gtk-driver) and
  selenium, driving the MiniBrowser of libwebkit2gtk-4.1-0.
"""
import asyncio
import base64
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import warnings

import websockets

MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"


def start_xvfb():
    """A private X server with a 24-bit screen; returns the process and its DISPLAY. -displayfd
    picks a free display and reports it once the server accepts clients."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as reported:
        number = reported.readline().strip()
    if not number:
        server.kill()
        raise RuntimeError("Xvfb did not start")
    return server, f":{number}"


def drain(stream):
    for _ in stream:
        pass
    stream.close()


def plain(remote):
    """A value as WebDriver BiDi serialises it, as Python's."""
    if remote["type"] == "array":
        return [plain(item) for item in remote["value"]]
    if remote["type"] == "object":
        return {key: plain(value) for key, value in remote["value"]}
    return remote.get("value")


class Firefox:
    """Firefox ESR in a fresh profile, driven over WebDriver BiDi: the calls the page's tests
    need, named as selenium names them."""

    def __init__(self, display, width=1000, height=900):
        self.profile = tempfile.mkdtemp(prefix="sph-firefox.")
        with open(os.path.join(self.profile, "user.js"), "w") as prefs:
            # A machine with no network: nothing that phones home on start.
            for name, value in [("browser.shell.checkDefaultBrowser", "false"),
                                ("datareporting.policy.dataSubmissionEnabled", "false"),
                                ("app.update.disabledForTesting", "true"),
                                ("browser.startup.homepage_override.mstone", '"ignore"')]:
                prefs.write(f'user_pref("{name}", {value});\n')
        self.process = subprocess.Popen(
            ["firefox-esr", "--remote-debugging-port", "0", "--profile", self.profile, "--no-remote",
             "--width", str(width), "--height", str(height), "about:blank"],
            env={**os.environ, "DISPLAY": display}, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        address = None
        for line in self.process.stderr:
            found = re.search(r"WebDriver BiDi listening on (ws://\S+)", line)
            if found:
                address = found.group(1)
                break
        if not address:
            self.quit()
            raise RuntimeError("Firefox did not start its WebDriver BiDi server")
        # Its later messages are not read, but must not fill the pipe.
        threading.Thread(target=drain, args=(self.process.stderr,), daemon=True).start()
        self.loop = asyncio.new_event_loop()
        self.socket = self.loop.run_until_complete(self._connect(address + "/session"))
        self.last_id = 0
        self.log_entries = []
        self.command("session.new", {"capabilities": {}})
        self.context = self.command("browsingContext.getTree", {})["contexts"][0]["context"]
        self.command("session.subscribe", {"events": ["log.entryAdded"]})

    @staticmethod
    async def _connect(address):
        return await websockets.connect(address, max_size=None)

    async def _command(self, method, params):
        self.last_id += 1
        await self.socket.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        while True:
            message = json.loads(await asyncio.wait_for(self.socket.recv(), 120))
            if message.get("method") == "log.entryAdded":
                self.log_entries.append(message["params"])
            elif message.get("id") == self.last_id:
                if message.get("type") == "error":
                    raise RuntimeError(f"{method}: {message.get('error')}: {message.get('message')}")
                return message["result"]

    def command(self, method, params):
        return self.loop.run_until_complete(self._command(method, params))

    def get(self, url):
        self.command("browsingContext.navigate", {"context": self.context, "url": url, "wait": "complete"})

    def execute_script(self, body):
        """Runs `body` as a function's body; returns what it returns (strings, numbers, booleans)."""
        result = self.command("script.evaluate", {"expression": f"(() => {{ {body} }})()", "awaitPromise": False,
                                                  "target": {"context": self.context}})
        if result["type"] != "success":
            raise RuntimeError(result["exceptionDetails"]["text"])
        return plain(result["result"])

    @property
    def title(self):
        return self.execute_script("return document.title")

    def perform_keys(self, *steps):
        """Keys pressed and released in turn: each step is ("down" or "up", key) or ("pause", seconds)."""
        actions = [{"type": "pause", "duration": int(value * 1000)} if kind == "pause" else
                   {"type": "keyDown" if kind == "down" else "keyUp", "value": value} for kind, value in steps]
        self.command("input.performActions", {"context": self.context,
                                              "actions": [{"type": "key", "id": "keyboard", "actions": actions}]})

    def screenshot_png(self):
        """The view as the screen shows it."""
        return base64.b64decode(self.command("browsingContext.captureScreenshot", {"context": self.context})["data"])

    def console_errors(self):
        self.execute_script("return 0")  # a round trip: the entries sent before it are read
        return [entry for entry in self.log_entries if entry.get("level") == "error"]

    def quit(self):
        if hasattr(self, "socket"):
            try:
                self.command("session.end", {})
                self.loop.run_until_complete(self.socket.close())
            except Exception:  # it may be gone already: the process is ended below anyway
                pass
            self.loop.close()
        self.process.terminate()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


def webkitgtk(display):
    """The MiniBrowser of Debian's WebKitGTK under WebKitWebDriver, through selenium. This
    selenium passes the driver no environment of its own: the browser gets this process's,
    with DISPLAY set to `display`."""
    from selenium import webdriver
    from selenium.webdriver.webkitgtk.options import Options
    options = Options()
    options.binary_location = MINIBROWSER
    options.add_argument("--automation")
    os.environ["DISPLAY"] = display
    with warnings.catch_warnings():  # this selenium's own use of its deprecated arguments
        warnings.simplefilter("ignore", DeprecationWarning)
        return webdriver.WebKitGTK(executable_path="/usr/bin/WebKitWebDriver", options=options)
