#!/usr/bin/env python3
"""camctl serve in headless Chromium, as a person uses it: the page shows the live chart, the
Brightness slider changes the driver's value, the snapshot downloads a full-size PNG, a narrow
window keeps the controls in reach, and the page says so when serve has stopped.

Usage: camctl_serve_browser_test.py CAMCTL FOLDER. Screenshots land in FOLDER. Exits 77 (skipped)
with the reason when selenium, chromium or its driver is missing."""

import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import urllib.request

SKIP = 77
WAIT_S = 30


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
    from selenium.common.exceptions import TimeoutException
except ImportError:
    skip("python3-selenium is not installed")

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
if CHROMIUM is None:
    skip("chromium is not installed")
if CHROMEDRIVER is None:
    skip("chromium-driver is not installed")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def start_serve(camctl, folder):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"))
    serve = subprocess.Popen([camctl, "serve", "--listen", "127.0.0.1:0"], cwd=folder, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = serve.stdout.readline()
    if "open http://" not in line:
        serve.kill()
        raise Failure("serve printed no URL: " + line + serve.stderr.read())
    return serve, line.split("open ", 1)[1].strip()


def api(url, path):
    base, token = url.split("/?token=")
    request = urllib.request.Request(base + path, headers={"Authorization": "Bearer " + token})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.loads(answer.read())


def browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # The live stream never finishes loading: the page counts as loaded once its document is.
    options.page_load_strategy = "eager"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--window-size=1200,860",
                 "--user-data-dir=" + os.path.join(folder, "chromium")):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {
        "download.default_directory": os.path.join(folder, "downloads"),
        "download.prompt_for_download": False,
    })
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


# The picture as the page shows it, drawn into a canvas: its size and its pixels, RGBA.
PIXELS_JS = """
const picture = document.getElementById('picture');
const canvas = document.createElement('canvas');
canvas.width = picture.naturalWidth; canvas.height = picture.naturalHeight;
const context = canvas.getContext('2d');
context.drawImage(picture, 0, 0);
return [canvas.width, canvas.height,
        Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data)];
"""


def pixel(shot, x, y):
    width, _, data = shot
    at = (y * width + x) * 4
    return data[at], data[at + 1], data[at + 2]


def check_live_chart(driver, url):
    WebDriverWait(driver, WAIT_S).until(lambda d: d.execute_script(
        "return document.getElementById('picture').naturalWidth") > 0)
    first = driver.execute_script(PIXELS_JS)
    first_picture = api(url, "/api/stats")["last_picture"]
    check(first[:2] == [800, 600], "the preview is %dx%d, not half size" % tuple(first[:2]))
    # The chart, halved: a red patch at the top left, a blue one right of the middle, the grey
    # ramp dark to light along the bottom.
    red, blue = pixel(first, 65, 55), pixel(first, 600, 55)
    check(red[0] > red[1] + 20 and red[0] > red[2] + 20, "no red patch: %s" % (red,))
    check(blue[2] > blue[0] + 20 and blue[2] > blue[1] + 20, "no blue patch: %s" % (blue,))
    check(pixel(first, 750, 575)[1] > pixel(first, 50, 575)[1] + 30, "no grey ramp")
    time.sleep(1.5)
    later = driver.execute_script(PIXELS_JS)
    check(api(url, "/api/stats")["last_picture"] > first_picture, "picture numbers did not rise")
    check(later[2] != first[2], "the picture did not change as frames arrived")


def check_brightness_slider(driver, url):
    slider = driver.find_element(By.ID, "control-Brightness")
    slider.send_keys(Keys.END)
    WebDriverWait(driver, WAIT_S).until(lambda d: next(
        c for c in api(url, "/api/controls") if c["name"] == "Brightness")["value"] == 510)
    # The page shows the kept value when the answer to its request arrives, which may be after
    # the driver already holds it.
    try:
        WebDriverWait(driver, WAIT_S).until(lambda d: d.find_element(
            By.CSS_SELECTOR, "#control-Brightness + output").text == "510")
    except TimeoutException:
        check(False, "the page does not show the value kept")


def check_snapshot(driver, folder):
    downloads = os.path.join(folder, "downloads")
    driver.find_element(By.ID, "snapshot").click()
    deadline = time.time() + WAIT_S
    while time.time() < deadline:
        names = [n for n in os.listdir(downloads) if n.endswith(".png")] \
            if os.path.isdir(downloads) else []
        if names:
            with open(os.path.join(downloads, names[0]), "rb") as png:
                head = png.read(24)
            check(head[:8] == b"\x89PNG\r\n\x1a\n", "the snapshot is not a PNG")
            size = struct.unpack(">II", head[16:24])
            check(size == (1600, 1200), "the snapshot is %dx%d" % size)
            return
        time.sleep(0.2)
    raise Failure("no snapshot was downloaded")


def check_narrow_window(driver, folder):
    driver.set_window_size(420, 900)
    time.sleep(0.5)
    overflow = driver.execute_script(
        "return document.documentElement.scrollWidth - window.innerWidth")
    check(overflow <= 0, "a narrow window scrolls sideways by %d px" % overflow)
    check(driver.find_element(By.ID, "control-Exposure").is_displayed(),
          "the controls are out of reach in a narrow window")
    driver.save_screenshot(os.path.join(folder, "preview-narrow.png"))
    driver.set_window_size(1200, 860)


def check_stopped(driver, serve):
    serve.send_signal(signal.SIGTERM)
    if serve.wait(timeout=WAIT_S) != 0:
        raise Failure("serve did not stop cleanly: " + serve.stderr.read())
    WebDriverWait(driver, WAIT_S).until(
        lambda d: "stopped" in d.find_element(By.ID, "banner").text)


def main():
    camctl, folder = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    serve, url = start_serve(camctl, folder)
    driver = None
    try:
        driver = browser(folder)
        driver.get(url)
        check_live_chart(driver, url)
        check_snapshot(driver, folder)
        time.sleep(1.5)  # the histogram and the figures, drawn for the screenshot
        driver.save_screenshot(os.path.join(folder, "preview.png"))
        check_brightness_slider(driver, url)
        check_narrow_window(driver, folder)
        check_stopped(driver, serve)
        print("passed; screenshots in " + folder)
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
        if driver is not None:
            driver.save_screenshot(os.path.join(folder, "failure.png"))
        return 1
    finally:
        if driver is not None:
            driver.quit()
        if serve.poll() is None:
            serve.kill()
            serve.wait()


if __name__ == "__main__":
    sys.exit(main())
