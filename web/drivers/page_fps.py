#!/usr/bin/env python3
"""The page's frame rate in headless Chromium: serves build-web/page, opens
it with ?threads=T and prints each "FPS: N" title of the first SECONDS
seconds of frames, then their median without the first (which has the
start-up in it); then where the page's main thread spent that time, from
Chromium's sampling profiler: in WebAssembly (the step, and the loop that
hands the points to OpenGL), in sph.js (Emscripten's OpenGL emulation and
GLUT, and the threaded build's wait for its workers), in other scripts (the
browser's WebGL calls, the page's own, garbage collection), in the
browser's own code (its "program": drawing, compositing, waiting for the
GPU process) and idle.

    page_fps.py [PAGE-FOLDER [THREADS [SECONDS]]]

Defaults: build-web/page, 2 threads, 10 seconds. THREADS "single": the
single-thread build, as a browser that gives the page no shared memory gets
it (Python's plain server, Chromium told to bypass service workers).
"""
import collections
import os
import statistics
import sys
import time

from headless_chromium import chromium, serve, start_server, stop

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
page, threads, seconds = (sys.argv[1:] + [None] * 3)[:3]
page = page or os.path.join(root, "build-web", "page")
driver = chromium()
if threads == "single":
    server, url = start_server(sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                               page, "0")
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setBypassServiceWorker", {"bypass": True})
else:
    server, url = serve(page)
    url += f"?threads={threads or 2}"
try:
    driver.execute_cdp_cmd("Profiler.enable", {})
    driver.execute_cdp_cmd("Profiler.setSamplingInterval", {"interval": 500})
    driver.get(url)
    readings, title = [], driver.title
    deadline = time.monotonic() + 60
    while len(readings) < int(seconds or 10) and time.monotonic() < deadline:
        time.sleep(0.1)
        if driver.title != title and driver.title.startswith("FPS: "):
            title = driver.title
            readings.append(int(title.split()[1]))
            if len(readings) == 1:
                driver.execute_cdp_cmd("Profiler.start", {})
    profile = driver.execute_cdp_cmd("Profiler.stop", {})["profile"]
    print("FPS:", *readings)
    print("median:", statistics.median(readings[1:]) if len(readings) > 1 else "no frames")

    kinds = {}
    for node in profile["nodes"]:
        frame = node["callFrame"]
        if frame["url"].endswith(".wasm") or frame["url"].startswith("wasm://"):
            kinds[node["id"]] = "WebAssembly"
        elif frame["url"].endswith(("/sph.js", "/sph-single-thread.js")):
            kinds[node["id"]] = "sph.js"
        elif frame["functionName"] in ("(idle)", "(program)"):
            kinds[node["id"]] = frame["functionName"][1:-1]
        else:
            kinds[node["id"]] = "other"
    spent = collections.Counter()
    for node, delta in zip(profile["samples"], profile["timeDeltas"]):
        spent[kinds[node]] += delta
    total = sum(spent.values())
    print("main thread:", ", ".join(f"{kind} {100 * spent[kind] / total:.0f} %"
                                    for kind in ("WebAssembly", "sph.js", "other", "program", "idle")))
finally:
    driver.quit()
    stop(server)
