#!/usr/bin/env python3
"""The station's page in headless Chromium while three slots update paced boxes one after
another: the tiles change state and count units, a slot paused with the token shows it and
counts no more, and the page comes back by itself after the station restarts.
Usage: browser_test.py SCREENSHOT.png (CLI and BOXSIM name the two programs)."""
import re
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from harness import TOKEN, Station, wait_for

# Without the networking flags Chromium waits for servers it cannot reach here.
FLAGS = ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run",
         "--window-size=1400,1050")


def feed(station, name, stop):
    """Box after box on the slot, each a unit of a few seconds."""
    while not stop.is_set():
        station.box(name, "--baud", "115200", "accept", "--out", station.work + "/out-" + name)


def on_page(read):
    """What `read` finds on the page, or None while the page is being redrawn."""
    def attempt():
        try:
            return read()
        except (NoSuchElementException, StaleElementReferenceException):
            return None
    return attempt


def main():
    station = Station(("a", "b", "c"), size=40000)
    stop = threading.Event()
    driver = None
    try:
        station.start()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in FLAGS + ("--user-data-dir=" + tempfile.mkdtemp(dir=station.work),):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_page_load_timeout(20)
        driver.get("http://127.0.0.1:%d/" % station.port)

        def tile(name):
            return driver.find_element(By.CSS_SELECTOR,
                                       '.tile[data-slot="%s"]' % station.slot(name))

        def passed(name):
            return int(tile(name).find_element(By.CSS_SELECTOR, "b.passed").text)

        def link():
            return driver.find_element(By.ID, "link").text

        wait_for("three tiles waiting", on_page(
            lambda: len(driver.find_elements(By.CSS_SELECTOR, ".tile.s-waiting")) == 3))
        for name in "abc":
            threading.Thread(target=feed, args=(station, name, stop), daemon=True).start()
        wait_for("a bar on a tile", on_page(
            lambda: driver.find_elements(By.CSS_SELECTOR, ".tile.s-unit .bar")))
        wait_for("a unit counted on every tile",
                 on_page(lambda: all(passed(name) >= 1 for name in "abc")), 60)

        driver.find_element(By.ID, "token").send_keys(TOKEN)
        driver.find_element(By.CSS_SELECTOR, "#tokenForm button").click()
        # The tiles are drawn afresh at every event: a button found may be gone by the click.
        wait_for("b's pause clicked", on_page(
            lambda: tile("b").find_element(By.TAG_NAME, "button").click() or True))
        wait_for("b paused", on_page(lambda: tile("b").get_attribute("data-state") == "paused"),
                 30)
        def count(name):
            return wait_for(name + "'s count", on_page(lambda: passed(name) + 1)) - 1

        counted = count("b")
        before = {name: count(name) for name in "ac"}
        wait_for("more units on a and c", on_page(
            lambda: all(passed(name) > before[name] for name in "ac")), 60)
        wait_for("a bar a third along", on_page(lambda: any(
            int(re.search(r"(\d+) %$", state.text)[1]) >= 33
            for state in driver.find_elements(By.CSS_SELECTOR, ".tile.s-unit .state")
            if state.text.endswith("%"))), 30)
        if passed("b") != counted or tile("b").get_attribute("data-state") != "paused":
            raise AssertionError("the paused slot went on")
        if not driver.find_elements(By.CSS_SELECTOR, "#units tr"):
            raise AssertionError("no units listed")
        driver.save_screenshot(sys.argv[1])

        # The station restarts on the same port: the page finds it again by itself.
        stop.set()
        port = station.port
        station.stop()
        wait_for("the page noticing", on_page(lambda: link() == "reconnecting…"))
        station.start(station.command(http=str(port)))
        wait_for("the page back", on_page(lambda: link() == "live"))
        wait_for("fresh tiles", on_page(
            lambda: len(driver.find_elements(By.CSS_SELECTOR, ".tile.s-waiting")) == 3 and
            passed("a") == 0))
    finally:
        stop.set()
        if driver is not None:
            driver.quit()
        station.close()
    print("ok: the page")


if __name__ == "__main__":
    main()
