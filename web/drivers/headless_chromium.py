"""The page in headless Chromium, for its picture, its frame rate and its
test: Debian's chromium through chromedriver (python3-selenium), with the
flags it needs as root on a machine without a display or a GPU (WebGL then
runs on SwiftShader, Chromium's own software renderer).
"""
import os
import re
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

SERVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "serve.py")


def chromium(*flags, phone=False):
    """A fresh headless Chromium (its own profile), logging the page's console; with `phone`,
    as a phone shows the page: 390 x 844 CSS pixels, three device pixels to each, touch."""
    options = Options()
    if phone:
        options.add_experimental_option(
            "mobileEmulation", {"deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 3, "touch": True}})
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--enable-unsafe-swiftshader", f"--user-data-dir={tempfile.mkdtemp(prefix='sph-chromium.')}", *flags):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def start_server(*command, log=subprocess.DEVNULL):
    """Starts a server that prints its address first; returns the process and the address.
    `log`: where its standard error goes."""
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, text=True)
    return server, re.search(r"http://127\.0\.0\.1:\d+/", server.stdout.readline()).group(0)


def serve(folder):
    """The project's own server for `folder`, on a free port."""
    return start_server(sys.executable, SERVE, folder, "--port", "0")


def stop(server):
    server.terminate()
    server.wait()
    server.stdout.close()
