#!/usr/bin/env python3
"""The page's frame rate in headless Chromium: serves build-web/page with
web/serve.py, opens it with ?threads=T and prints each "FPS: N" title of the
first SECONDS seconds of frames, then their median without the first (which
has the start-up in it).

    page_fps.py [PAGE-FOLDER [THREADS [SECONDS]]]

Defaults: build-web/page, 2 threads, 10 seconds.
"""
import os
import statistics
import sys
import time

from headless_chromium import chromium, serve, stop

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
page, threads, seconds = (sys.argv[1:] + [None] * 3)[:3]
server, url = serve(page or os.path.join(root, "build-web", "page"))
driver = chromium()
try:
    driver.get(f"{url}?threads={threads or 2}")
    readings, title = [], driver.title
    deadline = time.monotonic() + 60
    while len(readings) < int(seconds or 10) and time.monotonic() < deadline:
        time.sleep(0.1)
        if driver.title != title and driver.title.startswith("FPS: "):
            title = driver.title
            readings.append(int(title.split()[1]))
    print("FPS:", *readings)
    print("median:", statistics.median(readings[1:]) if len(readings) > 1 else "no frames")
finally:
    driver.quit()
    stop(server)
