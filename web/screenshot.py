#!/usr/bin/env python3
"""Makes the README's picture of the page: serves build-web/page with
web/serve.py, opens it in headless Chromium with ?threads=2, lets the liquid
flow for a few seconds after the first frames and saves the browser's view.

    screenshot.py [PAGE-FOLDER [OUTPUT.png [SECONDS]]]

Defaults: build-web/page, docs/web.png, 4 seconds. Needs Debian's chromium,
chromium-driver and python3-selenium (scripts/setup.sh web-tests).
"""
import os
import re
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
page, output, seconds = (sys.argv[1:] + [None] * 3)[:3]
page, output = page or os.path.join(root, "build-web", "page"), output or os.path.join(root, "docs", "web.png")
server = subprocess.Popen([sys.executable, os.path.join(root, "web", "serve.py"), page, "--port", "0"],
                          stdout=subprocess.PIPE, text=True)
options = Options()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--enable-unsafe-swiftshader", "--hide-scrollbars", f"--user-data-dir={tempfile.mkdtemp()}"):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(re.search(r"http://\S+/", server.stdout.readline()).group(0) + "?threads=2")
    # The window's inside as large as the page, so that nothing is cut.
    width, height = driver.execute_script("return [outerWidth - innerWidth, outerHeight - innerHeight]")
    driver.set_window_size(816 + width, 880 + height)
    deadline = time.monotonic() + 60
    while not re.fullmatch(r"FPS: [1-9]\d*", driver.title):
        if time.monotonic() > deadline:
            sys.exit("the page shows no frames")
        time.sleep(0.2)
    time.sleep(float(seconds or 4))
    driver.save_screenshot(output)
    print(f"wrote {output}")
finally:
    driver.quit()
    server.terminate()
