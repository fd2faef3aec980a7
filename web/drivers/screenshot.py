#!/usr/bin/env python3
"""Makes the README's picture of the page: serves build-web/page with
web/serve.py, opens it in headless Chromium with ?threads=2, lets the liquid
flow for a few seconds after the first frames and saves the browser's view.

    screenshot.py [PAGE-FOLDER [OUTPUT.png [SECONDS]]]

Defaults: build-web/page, docs/web.png, 8 seconds. Needs Debian's chromium,
chromium-driver and python3-selenium (scripts/setup.sh web-tests).
"""
import os
import re
import sys
import time

from headless_chromium import chromium, serve, stop

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
page, output, seconds = (sys.argv[1:] + [None] * 3)[:3]
server, url = serve(page or os.path.join(root, "build-web", "page"))
output = output or os.path.join(root, "docs", "web.png")
driver = chromium("--hide-scrollbars")
try:
    driver.get(url + "?threads=2")
    # The inside of the window as large as the page, so that nothing is cut.
    width, height = driver.execute_script("return [outerWidth - innerWidth, outerHeight - innerHeight]")
    driver.set_window_size(816 + width, 830 + height)
    deadline = time.monotonic() + 60
    while not re.fullmatch(r"FPS: [1-9]\d*", driver.title):
        if time.monotonic() > deadline:
            sys.exit("the page shows no frames")
        time.sleep(0.2)
    time.sleep(float(seconds or 8))
    driver.save_screenshot(output)
    print(f"wrote {output}")
finally:
    driver.quit()
    stop(server)
