#!/usr/bin/env python3
"""The page used as a person would, in one browser engine: Chromium
(headless), Firefox ESR or WebKitGTK (each in a private Xvfb). In every
engine: the dialogue on the page, the title, the picture, keys, Escape, the
browser's console where the engine hands it over, and the page on a plain
static server with no headers (threads after at most one reload where the
browser shares memory, the single-thread build where it does not; a blog
beside it left as the server sends it, its picture from another site shown;
the service worker gone, with no reload, once its script is gone). In
Chromium also: a service worker the browser bypasses, a phone (touch
targets, End and Start again, tilt, a huge pasted answer), no WebGL, and the
server's answer to a NUL. Every wait polls with a generous limit; nothing
depends on the frame rate: a picture is taken once it has settled, counting
the frames the page has drawn.

    web_page_test.py ENGINE PATH/TO/build-web/page     ENGINE: chromium, firefox, webkitgtk
"""
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import numpy
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web", "drivers"))
from engines import Firefox, start_xvfb, webkitgtk  # noqa: E402
from headless_chromium import SERVE, chromium, serve, start_server, stop  # noqa: E402

ENGINE = PAGE = DISPLAY = None
TITLE = "Smoothed particle hydrodynamics"
PROMPT = "Number of threads: "
REFUSAL = "Please enter a whole number from 1 to {}.\n"
FPS = r"FPS: [1-9]\d*"


def setUpModule():
    global DISPLAY
    if ENGINE != "chromium":
        xvfb, DISPLAY = start_xvfb()
        unittest.addModuleCleanup(lambda: (xvfb.terminate(), xvfb.wait()))


def browser(test, *flags, phone=False):
    """A fresh browser of the engine under test, closed when `test` ends."""
    if ENGINE == "chromium":
        driver = chromium(*flags, phone=phone) if phone else chromium("--window-size=1000,900", *flags)
    else:
        driver = Firefox(DISPLAY) if ENGINE == "firefox" else webkitgtk(DISPLAY)
    test.addCleanup(driver.quit)
    return driver


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def press(driver, *steps):
    """Keys held and released in turn: ("down" or "up", key) or ("pause", seconds)."""
    if isinstance(driver, Firefox):
        return driver.perform_keys(*steps)
    chain = ActionChains(driver)
    for kind, value in steps:
        {"down": chain.key_down, "up": chain.key_up, "pause": chain.pause}[kind](value)
    chain.perform()


def type_keys(driver, text):
    press(driver, *[(kind, key) for key in text for kind in ("down", "up")])


def canvas(driver):
    """The canvas as the screen shows it: rows of RGB pixels, cut from a picture of the whole
    view by ImageMagick (element pictures come from the wrong place in some engines)."""
    driver.execute_script("window.scrollTo(0, 0)")
    box = driver.execute_script("const r = document.getElementById('canvas').getBoundingClientRect(); "
                                "return [r.x, r.y, r.width, r.height].map((v) => Math.round(v * devicePixelRatio))")
    png = driver.screenshot_png() if isinstance(driver, Firefox) else driver.get_screenshot_as_png()
    x, y, width, height = box
    # As a PPM picture, whose header gives the size of what of the canvas is in view.
    ppm = subprocess.run(["convert", "png:-", "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-depth", "8", "ppm:-"],
                         input=png, capture_output=True).stdout
    _, width, height, _, pixels = ppm.split(maxsplit=4)
    return numpy.frombuffer(pixels, numpy.uint8).reshape(int(height), int(width), 3).astype(int)


def box_lines(picture):
    """White pixels of the top third: only box lines there while the box is upright or
    turned a little, so they change only when the box turns."""
    return (picture[: len(picture) // 3] >= 240).all(axis=2)


def console_errors(driver):
    if isinstance(driver, Firefox):
        return driver.console_errors()
    if ENGINE == "chromium":
        return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    return []  # WebKitWebDriver hands no page's console to its client


def console_text(driver):
    return driver.execute_script("return document.getElementById('output').textContent")


def message(driver):
    return driver.execute_script("const m = document.getElementById('message'); return m.hidden ? '' : m.textContent")


def plain_server(test, folder=None):
    """Python's own static server for `folder` (the page's), which sends no headers; returns
    its address and a function that counts the page's loads from its log."""
    log = tempfile.TemporaryFile("w+")
    server, url = start_server(sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                               folder or PAGE, "0", log=log)
    test.addCleanup(stop, server)
    test.addCleanup(log.close)
    return url, lambda: (log.seek(0), len(re.findall(r'"GET /(\?\S*)? HTTP', log.read())))[1]


def changed(a, b):
    """Pixels that differ between two pictures; all of them if their sizes differ (the page
    scrolled while the picture was taken: a key that scrolls it may still be on its way)."""
    return (a != b).sum() if a.shape == b.shape else a.size


def frames_drawn(driver):
    return driver.execute_script("return Module.sphFramesDrawn || 0")


def settled(driver, picture_of, differ, frames=3, seconds=60):
    """picture_of(canvas) once it stays the same (`differ` says by how much two differ) over
    `frames` frames drawn: the screen shows a frame some time after the page drew it, longer
    on a busy machine. After `seconds` the last one, settled or not."""
    deadline = time.monotonic() + seconds
    picture = picture_of(canvas(driver))
    while True:
        start = frames_drawn(driver)
        wait_for(lambda: frames_drawn(driver) >= start + frames or time.monotonic() > deadline)
        time.sleep(0.5)
        later = picture_of(canvas(driver))
        if not differ(later, picture) or time.monotonic() > deadline:
            return later
        picture = later


def steady_box(driver):
    return settled(driver, box_lines, lambda a, b: changed(a, b) > 50)


class Page(unittest.TestCase):
    def setUp(self):
        server, self.url = serve(PAGE)
        self.addCleanup(stop, server)
        self.driver = browser(self)

    def running(self, driver, threads):
        self.assertTrue(wait_for(lambda: re.fullmatch(FPS, driver.title)), (driver.title, message(driver)))
        self.assertEqual(console_text(driver), f"{PROMPT}{threads}\nNumber of particles: 16000\n")

    def test_dialogue_picture_keys_and_end(self):
        driver = self.driver
        if ENGINE == "chromium":  # a browser that reports 3 processors: 3 workers, up to 3 threads
            driver.execute_cdp_cmd("Emulation.setHardwareConcurrencyOverride", {"hardwareConcurrency": 3})
        driver.get(self.url + "?threads=none")  # a bad value in the address is a bad answer
        self.assertTrue(wait_for(lambda: console_text(driver).count(PROMPT) == 2), console_text(driver))
        self.assertEqual(driver.title, TITLE)
        # WebKitGTK gives pages no shared memory: the single-thread build, and the reason on the page.
        limit = {"chromium": 3, "firefox": min(max(os.cpu_count(), 2), 16), "webkitgtk": 1}[ENGINE]
        self.assertEqual("SharedArrayBuffer" in message(driver), limit == 1, message(driver))
        type_keys(driver, f"{limit + 1}{Keys.ENTER}")  # more threads than the page can run
        self.assertTrue(wait_for(lambda: console_text(driver).count(PROMPT) == 3), console_text(driver))
        threads = min(limit, 2)
        type_keys(driver, f"{threads}{Keys.ENTER}")
        dialogue = (f"{PROMPT}none\n{REFUSAL.format(limit)}{PROMPT}{limit + 1}\n{REFUSAL.format(limit)}"
                    f"{PROMPT}{threads}\nNumber of particles: 16000\n")
        self.assertTrue(wait_for(lambda: console_text(driver) == dialogue), console_text(driver))
        self.assertTrue(wait_for(lambda: re.fullmatch(FPS, driver.title)), driver.title)

        picture = canvas(driver)
        white = (picture >= 240).all(axis=2).sum()
        blue = ((picture[:, :, 0] <= 16) & (picture[:, :, 1] <= 16) & (picture[:, :, 2] >= 120)).sum()
        other = (picture.any(axis=2)).sum() - white - blue
        self.assertTrue(white >= 1500 and blue >= 1000 and other * 50 <= white + blue, (white, blue, other))

        before = box_lines(picture)
        type_keys(driver, ["q", Keys.ENTER, " ", "1", Keys.F1, Keys.PAGE_UP])
        self.assertLessEqual(changed(steady_box(driver), before), 50, "keys that do nothing turned the box")
        turns = [Keys.ARROW_UP] + ([driver.find_element(By.CSS_SELECTOR, "[aria-label=Left]")]
                                   if ENGINE == "chromium" else [])
        for turn in turns:
            for seconds in (0.03, 0.06, 0.12, 0.25, 0.5, 1, 2, 4):  # until the box has turned
                scrolled = driver.execute_script("window.scrollTo(0, 40); return window.scrollY")
                if isinstance(turn, str):
                    press(driver, ("down", turn), ("pause", seconds), ("up", turn))
                    self.assertEqual(driver.execute_script("return window.scrollY"), scrolled,
                                     "the arrow scrolled the page")
                else:  # an on-page arrow button
                    ActionChains(driver).click_and_hold(turn).pause(seconds).release(turn).perform()
                turned = steady_box(driver)
                if changed(turned, before) > 200:
                    break
            self.assertGreater(changed(turned, before), 200, f"{turn} does not turn the box")
            start = frames_drawn(driver)
            self.assertTrue(wait_for(lambda: frames_drawn(driver) >= start + 5), "the frames stopped")
            self.assertLessEqual(changed(box_lines(canvas(driver)), turned), 50, f"{turn} goes on after release")
            before = turned

        press(driver, ("down", Keys.ESCAPE), ("up", Keys.ESCAPE))
        self.assertTrue(wait_for(lambda: "The program has ended" in message(driver), 10))
        drawn, title = frames_drawn(driver), driver.title
        last = settled(driver, lambda picture: picture, changed, frames=0, seconds=30)
        time.sleep(2.5)  # more than two readings of the title
        self.assertEqual((frames_drawn(driver), driver.title), (drawn, title), "frames go on after Escape")
        self.assertEqual(changed(canvas(driver), last), 0, "the picture changes after Escape")
        self.assertGreater((box_lines(last)).sum(), 500, "the last picture is gone")

        driver.get(self.url + "?threads=1")  # a link that answers the question
        self.running(driver, 1)
        self.assertEqual(console_errors(driver), [])

    def test_on_a_plain_static_server(self):
        # Threads from the page's own service worker after one reload at most, and none later.
        # A copy of the page, with a blog beside it that shows a picture from another site.
        folder = tempfile.mkdtemp(prefix="sph-host.")
        self.addCleanup(shutil.rmtree, folder)
        shutil.copytree(PAGE, folder, dirs_exist_ok=True)
        pictures = tempfile.mkdtemp(prefix="sph-pictures.", dir=folder)  # served by another origin
        subprocess.run(["convert", "-size", "8x6", "xc:red", os.path.join(pictures, "red.png")], check=True)
        other_site, _ = plain_server(self, pictures)
        with open(os.path.join(folder, "blog.html"), "w") as blog:  # counts its loads in the tab
            blog.write(f'<!DOCTYPE html><title>Blog</title><img id="picture" src="{other_site}red.png"><script>'
                       'sessionStorage.loads = Number(sessionStorage.loads || 0) + 1</script>')
        url, loads = plain_server(self, folder)
        driver = self.driver
        threads = 1 if ENGINE == "webkitgtk" else 2
        for visit in (1, 2):
            driver.get(url + "?threads=2" if threads == 2 else url)
            self.running(driver, threads)
            self.assertLessEqual(loads(), visit + 1)
        self.assertEqual(driver.execute_script("return crossOriginIsolated"), True)
        self.assertEqual(console_errors(driver), [])

        # The worker leaves the blog as the server sends it: the picture shows, no isolation.
        driver.get(url + "blog.html")
        picture = "const p = document.getElementById('picture'); "
        self.assertTrue(wait_for(lambda: driver.execute_script(picture + "return p.complete"), 30))
        self.assertEqual(driver.execute_script(
            picture + "return [p.naturalWidth, crossOriginIsolated, navigator.serviceWorker.controller !== null]"),
            [8, False, True])
        # With its script gone from the server, the worker unregisters on the next page load,
        # and reloads nothing.
        os.remove(os.path.join(folder, "isolation_worker.js"))
        driver.get(url + "blog.html")
        self.assertTrue(wait_for(lambda: driver.execute_script(
            "navigator.serviceWorker.getRegistrations().then((found) => { window.registered = found.length; }); "
            "return window.registered === 0"), 30), "the worker stays with its script gone")
        time.sleep(1)
        self.assertEqual(driver.execute_script("return sessionStorage.loads"), "2")

    def test_a_bypassed_worker_gives_one_thread(self):
        url, loads = plain_server(self)
        self.driver.execute_cdp_cmd("Network.enable", {})
        self.driver.execute_cdp_cmd("Network.setBypassServiceWorker", {"bypass": True})
        self.driver.get(url)
        self.running(self.driver, 1)
        self.assertIn("did not take effect", message(self.driver))
        self.assertEqual(loads(), 2)  # one reload, no loop
        time.sleep(2)
        self.assertEqual(loads(), 2)

    def test_on_a_phone(self):
        driver = browser(self, phone=True)
        driver.get(self.url)
        self.assertTrue(wait_for(lambda: console_text(driver) == PROMPT), console_text(driver))
        self.assertLessEqual(driver.execute_script("return document.documentElement.scrollWidth - innerWidth"), 0)
        self.assertIn("tilt", driver.find_element(By.ID, "help").text)
        small = driver.execute_script("""return [...document.querySelectorAll('button, input')]
            .map((e) => [e.id || e.textContent, e.getBoundingClientRect()])
            .filter(([, r]) => r.width > 0 && (r.width < 44 || r.height < 44)).map(([name]) => name)""")
        self.assertEqual(small, [], "controls smaller than 44 x 44")
        # A huge paste reaches the program bounded: refused, asked again, and the page still works.
        driver.find_element(By.ID, "line").click()
        driver.execute_cdp_cmd("Input.insertText", {"text": "9" * 1_400_000})
        driver.find_element(By.CSS_SELECTOR, "#answer button").click()
        self.assertTrue(wait_for(lambda: console_text(driver).count(PROMPT) == 2), console_text(driver)[-200:])
        self.assertIn(REFUSAL.format(2), console_text(driver))
        driver.find_element(By.ID, "line").send_keys("2" + Keys.ENTER)
        self.assertTrue(wait_for(lambda: re.fullmatch(FPS, driver.title)), (driver.title, message(driver)))

        # Tilt: right of the pose at switch-on holds Right, back within the margin lets it go,
        # left holds Left; the arrows the program gets are recorded, and the box must turn
        # while one is held and stand while none is. It turns 2 degrees a frame, and a quarter
        # turn brings the cube's picture back, so it turns in short pulses, each ended as soon
        # as tilt holds its arrow, and is looked at only while it stands.
        def orient(gamma, beta=40):
            driver.execute_cdp_cmd("DeviceOrientation.setDeviceOrientationOverride",
                                   {"alpha": 0, "beta": beta, "gamma": gamma})

        def holds():
            return driver.execute_script("return window.holds.splice(0)")

        def pulse(arrow, gamma, beta=40, meanwhile=""):
            """Tilts until tilt holds `arrow` (the browser may pass over a pose it holds only
            briefly), runs `meanwhile` then, and tilts back within the margin; returns the
            arrows held and let go before the tilt back."""
            orient(gamma, beta)
            between = driver.execute_async_script(
                "const done = arguments[0]; (function check() { if (!holds.length) return setTimeout(check, 2); "
                + meanwhile + "; done(holds.slice()); })()")
            orient(3)
            self.assertTrue(wait_for(lambda: driver.execute_script("return holds.length") == 2, 10))
            self.assertEqual(holds(), [[arrow, 1], [arrow, 0]])
            return between

        def turned(arrow, gamma, since):
            for _ in range(20):
                if changed(steady_box(driver), since) > 50:
                    return True
                pulse(arrow, gamma)
            return False

        # (A first call replaces Emscripten's stub by the function itself; key 0 is no arrow.)
        driver.execute_script("Module._sphSpecialKey(0, 0); const hold = Module._sphSpecialKey; window.holds = []; "
                              "Module._sphSpecialKey = (key, down) => { holds.push([key, down]); hold(key, down); }")
        orient(0)
        driver.find_element(By.ID, "tilt").click()
        self.assertTrue(wait_for(lambda: driver.find_element(By.ID, "tilt").text == "Tilt: on", 10))
        start = steady_box(driver)
        # A key let go and the window left release what they held, not tilt's arrow.
        self.assertEqual(pulse(102, 20, meanwhile="dispatchEvent(new KeyboardEvent('keyup', {key: 'ArrowRight'})); "
                                                  "dispatchEvent(new Event('blur'))"), [[102, 1]])
        self.assertTrue(turned(102, 20, start), "tilt does not turn the box")
        held = steady_box(driver)
        time.sleep(1)
        self.assertLessEqual(changed(box_lines(canvas(driver)), held), 50, "the box turns within the margin")
        self.assertTrue(turned(100, -20, held), "tilt the other way does not turn it")
        pulse(103, 0, 60)  # the top edge raised: Down
        pulse(101, 0, 20)  # sunk: Up
        # In landscape (the phone a quarter turn counter-clockwise) its bottom edge is the
        # screen's right, its right edge the screen's top.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": 844, "height": 390, "deviceScaleFactor": 3, "mobile": True,
            "screenOrientation": {"type": "landscapePrimary", "angle": 90}})
        pulse(102, 0, 60)
        pulse(101, 20)

        driver.find_element(By.ID, "end").click()
        self.assertTrue(wait_for(lambda: "The program has ended" in message(driver), 10))
        driver.find_element(By.ID, "again").click()
        self.running(driver, 2)
        self.assertEqual(console_errors(driver), [])

    def test_where_the_page_cannot_run_it_says_why(self):
        no_webgl = browser(self, "--disable-3d-apis")
        no_webgl.get(self.url)
        self.assertTrue(wait_for(lambda: "WebGL" in message(no_webgl), 10))
        time.sleep(1)
        self.assertEqual((no_webgl.title, console_text(no_webgl)), (TITLE, ""))

    def test_a_nul_in_the_address_is_a_bad_request(self):
        log = tempfile.TemporaryFile("w+")
        self.addCleanup(log.close)
        server, url = start_server(sys.executable, SERVE, PAGE, "--port", "0", log=log)
        connection = http.client.HTTPConnection(*re.match(r"http://(.*):(\d+)/", url).groups(), timeout=30)
        connection.request("GET", "/index.html%00.txt")
        self.assertEqual(connection.getresponse().status, 400)
        connection.close()
        stop(server)
        log.seek(0)
        self.assertRegex(log.read(), r'^[^\n]*"GET /index.html%00.txt HTTP/1.1" 400 -\n$')


if __name__ == "__main__":
    ENGINE, PAGE = sys.argv.pop(1), os.path.abspath(sys.argv.pop(1))
    if ENGINE != "chromium":  # these need Chromium's developer tools, or test the server once
        for name in ("test_a_bypassed_worker_gives_one_thread", "test_on_a_phone",
                     "test_where_the_page_cannot_run_it_says_why", "test_a_nul_in_the_address_is_a_bad_request"):
            setattr(Page, name, unittest.skip("Chromium only")(getattr(Page, name)))
    unittest.main(verbosity=2)
