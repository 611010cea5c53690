#!/usr/bin/env python3
"""The dashboard in a real browser: headless Chromium driven by Selenium.

A fleet of three devices in a namespace of the test's own, lcfleet serve on loopback,
and the page at the address serve prints. The page lists the devices; a click on a
device's freeze button shows on its tile within 1 s and silences its announcements on
the wire (seen from the controller namespace); a configure sent from the controller
namespace shows the master on the tile; when the server goes, the page says the stream
was lost. A screenshot is kept in the build folder.

Usage: browser_test.py --lcfleet PATH --simulator PATH --lcctl PATH --shot FILE.png
"""
import argparse
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

GROUP, HELLO_PORT, CONTROLLER = "239.255.84.83", 4002, "198.18.0.1"
TAG = "sb"  # this test's names: sb + pid in base 36 + role letter
CLONE_NEWNET = 0x40000000


def base36(n, width=5):
    digits = "0123456789abcdefghijklmnopqrstuvwxyz"
    out = ""
    while n:
        n, r = divmod(n, 36)
        out = digits[r] + out
    return out.rjust(width, "0")[-width:]


def run(*args, check=True, **kw):
    r = subprocess.run(args, capture_output=True, text=True, **kw)
    if check and r.returncode != 0:
        raise AssertionError(f"{' '.join(args)}: exit {r.returncode}: {r.stdout}{r.stderr}")
    return r


def remove_stale():
    """Namespaces of earlier runs of this test whose process is gone."""
    for name in os.listdir("/run/netns") if os.path.isdir("/run/netns") else []:
        if len(name) == 8 and name.startswith(TAG):
            pid = int(name[2:7], 36)
            if not os.path.exists(f"/proc/{pid}"):
                run("ip", "netns", "del", name, check=False)


def socket_in(ns, fn):
    """Runs fn on a thread that entered namespace ns; sockets made there stay in it."""
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    result = {}

    def body():
        fd = os.open(f"/run/netns/{ns}", os.O_RDONLY)
        try:
            if libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
            result["value"] = fn()
        except Exception as e:  # handed to the caller
            result["error"] = e
        finally:
            os.close(fd)

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result["value"]


def hello_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", HELLO_PORT))
    mreq = socket.inet_aton(GROUP) + socket.inet_aton(CONTROLLER)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    s.settimeout(0.05)
    return s


def senders(sock, seconds):
    """Addresses that sent to the group's port during the time."""
    seen, end = set(), time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            _, (addr, _) = sock.recvfrom(2048)
            seen.add(addr)
        except socket.timeout:
            pass
    return seen


def browser():
    o = Options()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
              "--window-size=1280,800", f"--user-data-dir={tempfile.mkdtemp(prefix='lcfleet-chromium-')}"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def tile(driver, n):
    return driver.find_element(By.CSS_SELECTOR, f'.tile[data-instance="{n}"]')


def text_of(driver, n, part):
    return tile(driver, n).find_element(By.CSS_SELECTOR, part).text


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lcfleet", required=True)
    ap.add_argument("--simulator", required=True)
    ap.add_argument("--lcctl", required=True)
    ap.add_argument("--shot", required=True)
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("browser_test: needs root (network namespaces)", file=sys.stderr)
        return 1

    remove_stale()
    ident = TAG + base36(os.getpid())
    ns, prefix = ident + "c", ident + "a"
    base = tempfile.mkdtemp(prefix=f"lcfleet-test-{ident}z-")
    os.chmod(base, 0o755)  # the devices' user reaches its events files
    state = os.path.join(base, "a")
    server = driver = hello = None
    made_ns = False
    try:
        run("ip", "netns", "add", ns)
        made_ns = True
        run("ip", "-n", ns, "link", "set", "lo", "up")
        run(args.lcfleet, "--state", state, "--prefix", prefix, "--netns", ns, "up", "3", "--bin", args.simulator)
        out_path = os.path.join(base, "serve.out")
        with open(out_path, "w") as out:
            server = subprocess.Popen([args.lcfleet, "--state", state, "serve", "--listen", "127.0.0.1:0"],
                                      stdout=out, stderr=subprocess.STDOUT)
        url = None
        for _ in range(100):
            m = re.search(r"(http://127\.0\.0\.1:\d+/#token=[0-9a-f]+)", open(out_path).read())
            if m:
                url = m.group(1)
                break
            time.sleep(0.05)
        assert url, "serve printed no address: " + open(out_path).read()
        hello = socket_in(ns, hello_socket)

        driver = browser()
        driver.get(url)
        WebDriverWait(driver, 10).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".tile")) == 3)
        WebDriverWait(driver, 5).until(lambda d: d.find_element(By.ID, "link").text == "live")
        assert "#token" not in driver.current_url, "the token stayed in the address bar"
        address = text_of(driver, 2, ".v-address")
        assert address.startswith("198.18."), address
        assert text_of(driver, 2, ".state") == "alive"
        assert address in senders(hello, 2.5), "device 2 does not announce before the freeze"

        # Freeze from the page: the tile shows it within 1 s, the device is silent.
        button = tile(driver, 2).find_element(By.CSS_SELECTOR, ".act-freeze")
        clicked = time.monotonic()
        button.click()
        WebDriverWait(driver, 1.0, poll_frequency=0.02).until(lambda d: text_of(d, 2, ".state") == "frozen")
        shown = time.monotonic() - clicked
        assert "frozen" in text_of(driver, 2, ".faults")
        senders(hello, 0.3)  # what was on its way
        heard = senders(hello, 2.5)
        assert address not in heard, f"device 2 announced while frozen ({sorted(heard)})"
        assert len(heard) == 2, f"the other devices went quiet too ({sorted(heard)})"
        print(f"freeze shown on the tile {shown * 1000:.0f} ms after the click; no announcement for 2.5 s")

        # A configure from the controller namespace: the master shows on the tile.
        address1 = text_of(driver, 1, ".v-address")
        run("ip", "netns", "exec", ns, args.lcctl, "configure", address1, check=False, timeout=20)
        WebDriverWait(driver, 5).until(lambda d: text_of(d, 1, ".v-master") == CONTROLLER)
        tile(driver, 1).click()  # its recent events
        WebDriverWait(driver, 3).until(lambda d: "configured" in d.find_element(By.ID, "eventsList").text)
        driver.find_element(By.ID, "eventsClose").click()
        driver.save_screenshot(args.shot)
        print(f"screenshot: {args.shot}")

        # The server goes: the page says so.
        server.send_signal(signal.SIGTERM)
        assert server.wait(10) == 0, "serve did not end with 0"
        WebDriverWait(driver, 5).until(lambda d: "lost" in d.find_element(By.ID, "link").text)
        print("browser test passed")
        return 0
    finally:
        if driver:
            driver.quit()
        if server and server.poll() is None:
            server.kill()
            server.wait()
        if hello:
            hello.close()
        if os.path.exists(os.path.join(state, "fleet.conf")):
            run(args.lcfleet, "--state", state, "down", check=False)
        if made_ns:
            run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
