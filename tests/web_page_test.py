#!/usr/bin/env python3
"""The page used as a person would, in headless Chromium, served by the
project's own server: the dialogue on the page, the title, the picture, the
keys and the on-page arrows, Escape, no errors in the browser's console; and
where the page cannot run (no cross-origin isolation headers, no WebGL), its
explanation instead of a blank canvas. Every wait polls with a generous
limit; nothing depends on the frame rate.

    web_page_test.py PATH/TO/build-web/page
"""
import os
import re
import subprocess
import sys
import time
import unittest

import numpy
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from headless_chromium import chromium, serve, start_server, stop  # noqa: E402

PAGE = None
TITLE = "Smoothed particle hydrodynamics"
REFUSAL = "Please enter a whole number from 1 to {}.\n"


def browser(test, *flags):
    """A headless Chromium whose view holds the whole canvas, closed when `test` ends."""
    driver = chromium("--window-size=1000,900", *flags)
    test.addCleanup(driver.quit)
    return driver


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def canvas(driver):
    """The canvas as the screen shows it: rows of RGB pixels, read by ImageMagick. (Chromium
    takes an element's picture from the wrong place in a scrolled page.)"""
    driver.execute_script("window.scrollTo(0, 0)")
    png = driver.find_element(By.ID, "canvas").screenshot_as_png
    size = subprocess.run(["identify", "-format", "%w %h", "png:-"], input=png, capture_output=True).stdout.split()
    rgb = subprocess.run(["convert", "png:-", "-depth", "8", "rgb:-"], input=png, capture_output=True).stdout
    return numpy.frombuffer(rgb, numpy.uint8).reshape(int(size[1]), int(size[0]), 3).astype(int)


def box_lines(picture):
    """White pixels of the top third: only box lines there while the box is upright or
    turned a little, so they change only when the box turns."""
    return (picture[: len(picture) // 3] == 255).all(axis=2)


class Page(unittest.TestCase):
    def setUp(self):
        server, self.url = serve(PAGE)
        self.addCleanup(stop, server)
        self.driver = browser(self)

    def console_text(self, driver=None):
        return (driver or self.driver).execute_script("return document.getElementById('output').textContent")

    def type_answer(self, text):
        self.driver.find_element(By.ID, "line").send_keys(text + Keys.ENTER)

    def hold(self, seconds, key=None, button=None):
        chain = ActionChains(self.driver)
        (chain.key_down(key) if key else chain.click_and_hold(button)).pause(seconds)
        (chain.key_up(key) if key else chain.release(button)).perform()

    def test_dialogue_picture_keys_and_end(self):
        driver = self.driver
        # A browser that reports 3 processors: the page starts 3 workers and takes up to 3 threads.
        driver.execute_cdp_cmd("Emulation.setHardwareConcurrencyOverride", {"hardwareConcurrency": 3})
        driver.get(self.url + "?threads=none")  # a bad value in the address is a bad answer
        self.assertTrue(wait_for(lambda: self.console_text().count("Number of threads: ") == 2), self.console_text())
        self.assertEqual(driver.title, TITLE)
        limit = 3
        self.type_answer(str(limit + 1))  # more threads than the page has workers for
        self.assertTrue(wait_for(lambda: self.console_text().count("Number of threads: ") == 3), self.console_text())
        self.type_answer("2")
        dialogue = (f"Number of threads: none\n{REFUSAL.format(limit)}Number of threads: {limit + 1}\n"
                    f"{REFUSAL.format(limit)}Number of threads: 2\nNumber of particles: 16000\n")
        self.assertTrue(wait_for(lambda: self.console_text() == dialogue), self.console_text())
        self.assertTrue(wait_for(lambda: re.fullmatch(r"FPS: [1-9]\d*", driver.title)), driver.title)

        picture = canvas(driver)
        white = (picture == 255).all(axis=2).sum()
        blue = ((picture[:, :, 0] == 0) & (picture[:, :, 1] == 0) & (picture[:, :, 2] >= 120)).sum()
        other = (picture.any(axis=2)).sum() - white - blue
        self.assertTrue(white >= 1500 and blue >= 1000 and other * 100 <= white + blue, (white, blue, other))

        before = box_lines(picture)
        ActionChains(driver).send_keys("q", Keys.ENTER, " ", "1", Keys.F1, Keys.PAGE_UP).perform()
        time.sleep(1)
        self.assertLessEqual((box_lines(canvas(driver)) != before).sum(), 50, "keys that do nothing turned the box")
        for turn in [{"key": Keys.ARROW_UP}, {"button": driver.find_element(By.CSS_SELECTOR, "[aria-label=Left]")}]:
            driver.execute_script("window.scrollTo(0, 40)")
            for seconds in (0.03, 0.06, 0.12, 0.25, 0.5, 1, 2, 4):  # until the box has turned
                self.hold(seconds, **turn)
                if "key" in turn:
                    self.assertEqual(driver.execute_script("return window.scrollY"), 40, "the arrow scrolled the page")
                time.sleep(0.5)
                turned = box_lines(canvas(driver))
                if (turned != before).sum() > 200:
                    break
            self.assertGreater((turned != before).sum(), 200, f"{turn} does not turn the box")
            time.sleep(1)
            self.assertLessEqual((box_lines(canvas(driver)) != turned).sum(), 50, f"{turn} goes on after release")
            before = turned

        ActionChains(driver).send_keys(Keys.ESCAPE).perform()
        message = driver.find_element(By.ID, "message")
        self.assertTrue(wait_for(lambda: "The program has ended" in message.text, 10))
        last, title = canvas(driver), driver.title
        time.sleep(2.5)  # more than two readings of the title
        self.assertEqual(driver.title, title, "the title goes on changing after Escape")
        self.assertTrue((canvas(driver) == last).all(), "frames go on after Escape")
        self.assertGreater((box_lines(last)).sum(), 500, "the last picture is gone")

        driver.get(self.url + "?threads=1")  # a link that answers the question
        self.assertTrue(wait_for(lambda: re.fullmatch(r"FPS: [1-9]\d*", driver.title)), driver.title)
        self.assertEqual(self.console_text(), "Number of threads: 1\nNumber of particles: 16000\n")
        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        self.assertEqual(errors, [])

    def test_where_the_page_cannot_run_it_says_why(self):
        plain, plain_url = start_server(sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1",
                                        "--directory", PAGE, "0")
        self.addCleanup(stop, plain)
        no_webgl = browser(self, "--disable-3d-apis")
        for driver, url, words in [
                (self.driver, plain_url, ["Cross-Origin-Opener-Policy: same-origin",
                                          "Cross-Origin-Embedder-Policy: require-corp"]),
                (no_webgl, self.url, ["WebGL"])]:
            driver.get(url)
            message = driver.find_element(By.ID, "message")
            self.assertTrue(wait_for(message.is_displayed, 10))
            for word in words:
                self.assertIn(word, message.text)
            time.sleep(1)
            self.assertEqual((driver.title, self.console_text(driver)), (TITLE, ""))


if __name__ == "__main__":
    PAGE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
