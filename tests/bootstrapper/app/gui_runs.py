#!/usr/bin/env python3
"""Whole runs of the real bundle in a GTK window under an X server of the test's own.

  gui_runs.py --case NAME --bundle APP --server SCRIPT --make-product SCRIPT --stringtable TOOL
              --close-request TOOL

Each case starts its own Xvfb (-displayfd), its own loopback servers and a hermetic run (temporary
HOME, local root, lock key path, mount root, disk-image state, a resources folder with the case's
productInfo.xml, short sleeps, the telemetry sink, proxies cleared unless the case sets them).
It drives the window only through what the window traces (BOOTSTRAP_UI_TRACE): clicks and keys go
through xdotool to traced rectangles and XIDs, close requests through the project's Xlib helper,
and every wait is on a traced line or a file, bounded; a failure prints the trace's tail and the
log's. Exit 77 (skip, with the reason) when Xvfb or xdotool is missing, Xvfb cannot start, or this
user cannot attach disk images here.
"""

import argparse
import base64
import json
import os
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

SKIP = 77
WAIT_SECONDS = 60
CASE_SECONDS = 200
INSTALLED = "Applications/Utilities/Zarvo Application Manager/MSP"
# The project ids of the run's locks (instance lock, in-use probe, two deployment locks), of the log
# facade's lock and of each log file's lock.
RUN_LOCK_PROJECT_IDS = (0x4394AC9D, 0x856E61, 0x232AEA8, 0x7D026448)
LOG_FACADE_PROJECT_ID = 0x7FFFFF9B
LOG_FILE_PROJECT_ID = 11
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy", "ftp_proxy")
WINDOW_GREY = (126, 126, 126)


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def poll(predicate, what, seconds=WAIT_SECONDS, step=0.02, alive=None):
    """Polls until predicate gives a true value; bounded, and cut short when the run ends."""
    until = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if alive is not None and not alive():
            value = predicate()
            if value:
                return value
            raise Failure("the run ended while waiting for " + what)
        if time.monotonic() >= until:
            raise Failure("no %s within %d s" % (what, seconds))
        time.sleep(step)


def tail_of(path, lines=30):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError as error:
        return "(%s)\n" % error


def no_proxy_opener():
    return urllib.request.build_opener(urllib.request.ProxyHandler({}))


# --- the window's trace ---------------------------------------------------------------------------
# Every field of a trace line is read here, so the rest of this file does not depend on its layout.

def event_of(entry):
    return entry.get("event", "")


def call_of(entry):
    return entry.get("call", "") if event_of(entry) == "call" else ""


def model_of(entry):
    return (entry.get("model") or {}) if event_of(entry) == "call" else {}


def percent_of(entry):
    value = model_of(entry).get("percent")
    return float(value) if value is not None else None


def xid_of(entry, window):
    value = (entry.get("windows") or {}).get(window)
    return int(value) if value else 0


def rect_of(entry, name):
    value = (entry.get("rects") or {}).get(name)
    return tuple(int(v) for v in value) if value else None


def label_of(entry, name):
    return (entry.get("labels") or {}).get(name)


def captures_of(entry):
    return list(entry.get("captures") or [])


def dialog_of(entry):
    """"sheet" or "question" for a dialog line."""
    return entry.get("dialog", "") if event_of(entry) == "dialog" else ""


def answer_of(entry):
    """How a dialog was answered ("button", "escape", "window-manager", "enter") and its code."""
    return entry.get("how"), entry.get("code")


class Trace:
    def __init__(self, path):
        self.path = path
        self.entries = []
        self.offset = 0
        self.partial = b""

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return self.entries
        self.offset += len(data)
        data = self.partial + data
        lines = data.split(b"\n")
        self.partial = lines.pop()
        for line in lines:
            if line.strip():
                entry = json.loads(line)
                entry["_index"] = len(self.entries)
                self.entries.append(entry)
        return self.entries

    def find(self, predicate, after=None):
        start = 0 if after is None else after["_index"] + 1
        for entry in self.read()[start:]:
            if predicate(entry):
                return entry
        return None

    def last(self, predicate=lambda e: True):
        for entry in reversed(self.read()):
            if predicate(entry):
                return entry
        return None

    def tail(self, count=15):
        return "".join(json.dumps({k: v for k, v in e.items() if k != "_index"}, ensure_ascii=False) + "\n"
                       for e in self.read()[-count:])


# --- pictures -------------------------------------------------------------------------------------

class Picture:
    """An 8-bit RGB or RGBA PNG as cairo writes it."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        check(data[:8] == b"\x89PNG\r\n\x1a\n", path + " is not a PNG")
        position, idat = 8, b""
        while position < len(data):
            length, kind = struct.unpack(">I4s", data[position:position + 8])
            body = data[position + 8:position + 8 + length]
            position += 12 + length
            if kind == b"IHDR":
                self.width, self.height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
                check(depth == 8 and colour in (2, 6) and interlace == 0, path + ": unexpected PNG kind")
                self.channels = 3 if colour == 2 else 4
            elif kind == b"IDAT":
                idat += body
            elif kind == b"IEND":
                break
        raw = zlib.decompress(idat)
        stride = self.width * self.channels
        self.rows = []
        previous = bytearray(stride)
        at = 0
        n = self.channels
        for _ in range(self.height):
            kind = raw[at]
            line = bytearray(raw[at + 1:at + 1 + stride])
            at += 1 + stride
            for x in range(stride):
                a = line[x - n] if x >= n else 0
                b = previous[x]
                c = previous[x - n] if x >= n else 0
                if kind == 1:
                    line[x] = (line[x] + a) & 255
                elif kind == 2:
                    line[x] = (line[x] + b) & 255
                elif kind == 3:
                    line[x] = (line[x] + ((a + b) >> 1)) & 255
                elif kind == 4:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
            self.rows.append(line)
            previous = line
        # GTK always paints the window's background: nothing opaque means the draw was refused.
        check(self.channels == 3 or any(row[3::4].count(0) != self.width for row in self.rows),
              path + " is blank: nothing was drawn into it")

    def pixel(self, x, y):
        at = x * self.channels
        return tuple(self.rows[y][at:at + 3])


def is_grey(colour, grey=WINDOW_GREY, tolerance=6):
    return all(abs(c - g) <= tolerance for c, g in zip(colour, grey))


def is_icon_colour(colour):
    """The warning triangle's yellow or its dark mark: clearly not the window's grey."""
    r, g, b = colour
    return (r > 170 and g > 120 and b < 110) or max(colour) < 60


def overlaps(a, b):
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]


def relative(rectangle, origin):
    x, y, w, h = rectangle
    return x - origin[0], y - origin[1], w, h


def is_bar_fill(colour):
    """The theme's blue progress fill, unlike the light trough and the grey window."""
    r, g, b = colour
    return b - r > 60


def bar_fill(picture, bar):
    """The filled fraction of a progress bar: the longest run of fill colour from its left end over its rows.
    The theme draws a thin bar somewhere inside the widget's rectangle, so every row is looked at."""
    x, y, w, h = bar
    best, drawn = 0, False
    for row in range(y, y + h):
        colours = [picture.pixel(column, row) for column in range(x, x + w)]
        drawn = drawn or sum(1 for colour in colours if not is_grey(colour)) > w // 2
        filled = 0
        while filled < w and is_bar_fill(colours[filled]):
            filled += 1
        # Rounded ends may start the run a pixel or two in.
        if filled == 0:
            start = next((i for i in range(min(3, w)) if is_bar_fill(colours[i])), None)
            if start is not None:
                filled = start
                while filled < w and is_bar_fill(colours[filled]):
                    filled += 1
        best = max(best, filled)
    check(drawn, "no progress bar is drawn in its rectangle %r" % (bar,))
    return best / float(w)


# --- what a case starts ---------------------------------------------------------------------------

class Xvfb:
    def __init__(self, folder):
        if shutil.which("Xvfb") is None:
            raise Skip("Xvfb is not installed")
        if shutil.which("xdotool") is None:
            raise Skip("xdotool is not installed")
        read_end, write_end = os.pipe()
        self.log = os.path.join(folder, "xvfb.log")
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                         "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                        stderr=open(self.log, "w"), start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline().strip()
        if not number:
            self.stop()
            raise Skip("Xvfb cannot start here: " + tail_of(self.log, 5).strip())
        self.display = ":" + number.decode()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


class TestServer:
    """tests/support/http_test_server.py with its control port."""

    def __init__(self, script, folder, name, extra=()):
        port_file = os.path.join(folder, name + ".port")
        self.log = os.path.join(folder, name + ".log")
        self.process = subprocess.Popen([sys.executable, script, "--port-file", port_file] + list(extra),
                                        stdout=open(self.log, "w"), stderr=subprocess.STDOUT,
                                        start_new_session=True)

        def ports():
            try:
                with open(port_file) as f:
                    numbers = f.read().split()
                return numbers if len(numbers) >= 2 else None
            except OSError:
                return None
        numbers = poll(ports, "port file of " + name, 20, alive=lambda: self.process.poll() is None)
        self.port, self.control_port = int(numbers[0]), int(numbers[1])

    def url(self, path, host="127.0.0.1"):
        return "http://%s:%d%s" % (host, self.port, path)

    def control(self, method, target, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.control_port, target), data=data,
                                         method=method, headers={"Content-Type": "application/json"})
        with no_proxy_opener().open(request, timeout=WAIT_SECONDS + 10) as answer:
            return json.loads(answer.read() or b"null")

    def scenario(self, settings):
        self.control("POST", "/_control/scenario", settings)

    def info(self, path):
        return self.control("GET", "/_control/info?path=" + urllib.request.quote(path))

    def requests(self):
        return self.control("GET", "/_control/log")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Tinyproxy:
    """tinyproxy on 127.0.0.1 with BasicAuth, as the engine's tests start it."""

    def __init__(self, folder, user, password):
        if shutil.which("tinyproxy") is None:
            raise Failure("tinyproxy is not installed (tools/install-dependencies installs it)")
        import socket
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.log = os.path.join(folder, "tinyproxy.log")
        configuration = os.path.join(folder, "tinyproxy.conf")
        with open(configuration, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nBasicAuth %s %s\n"
                    "LogFile \"%s\"\nLogLevel Info\nDisableViaHeader Yes\n" % (self.port, user, password, self.log))
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", configuration], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)

        def up():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        poll(up, "tinyproxy to listen", 20, alive=lambda: self.process.poll() is None)
        self.url = "http://127.0.0.1:%d" % self.port

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


class Case:
    """One hermetic run set: X server, product server, telemetry sink, folders, environment."""

    def __init__(self, options, name):
        self.options = options
        self.name = name
        self.base = tempfile.mkdtemp(prefix="bootstrapper-gui-%s-" % name)
        os.chmod(self.base, 0o755)
        self.home = os.path.join(self.base, "home")
        self.root = os.path.join(self.base, "root")
        self.mount_root = os.path.join(self.base, "mnt")
        self.disk_image_state = os.path.join(self.base, "diskimage-state")
        self.lock_key = os.path.join(self.base, "lock-key")
        self.resources = os.path.join(self.base, "resources")
        self.product = os.path.join(self.base, "product")
        self.shots = os.path.join(self.base, "screenshots")
        self.bin = os.path.join(self.base, "bin")
        self.installed = os.path.join(self.root, INSTALLED)
        self.marker = os.path.join(self.installed, "launched")
        self.log = os.path.join(self.home, "Library", "Logs", "ZarvoDownload", "MSP_ZOR.log")
        self.stoppers = []
        self.process = None
        self.trace = None
        self.runs = 0
        self.semaphores_before = set(semaphore_sets())
        for folder in (self.home, self.root, self.shots, self.bin):
            os.makedirs(folder)
        open(self.lock_key, "w").close()
        # A click on the support link must never open a browser: record it instead.
        opener = os.path.join(self.bin, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s/xdg-open.log"\n' % self.base)
        os.chmod(opener, 0o755)
        self.extra_environment = {}
        self.origins = {}
        self.clicks = 0

    def set_up(self):
        """The X server, the product server and the sink; each is stopped by stop() once started."""
        self.xvfb = Xvfb(self.base)
        self.stoppers.append(self.xvfb.stop)
        self.server = TestServer(self.options.server, self.base, "server")
        self.stoppers.append(self.server.stop)
        self.sink = TestServer(self.options.server, self.base, "sink")
        self.stoppers.append(self.sink.stop)
        self.sink.scenario({"path": "/hsmessaging/rest", "sink": True, "body": "<ok/>"})

    # The product, served by the test server under /product.
    def make_product(self, *arguments, statuses=None, throttle=None):
        command = [sys.executable, self.options.make_product, self.product, "--stringtable",
                   self.options.stringtable] + list(arguments)
        made = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        check(made.returncode == 0, "make-sample-product failed: " + made.stdout)
        self.check_disk_images()
        with open(os.path.join(self.product, "scenarios.json")) as f:
            scenarios = json.load(f)
        for scenario in scenarios:
            name = scenario["path"].rsplit("/", 1)[-1]
            if statuses and name in statuses:
                scenario["statuses"] = statuses[name]
            if throttle and name in throttle:
                scenario["throttle"] = throttle[name]
            self.server.scenario(scenario)
        self.write_resources(self.server.url("/product"))

    def check_disk_images(self):
        """The run attaches the product's image: skip where this user cannot, as the tool's own tests do."""
        tool = os.path.join(self.options.bundle, "Contents", "MacOS", "diskimage")
        probe = os.path.join(self.base, "probe-mount")
        environment = dict(os.environ, BOOTSTRAP_DISK_IMAGE_STATE=self.disk_image_state)
        attach = subprocess.run([tool, "attach", os.path.join(self.product, "packager.sqfs"), "-readonly", "-quiet",
                                 "-mountpoint", probe], env=environment, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        if attach.returncode != 0:
            if os.geteuid() != 0:
                raise Skip("this user cannot mount images here")
            raise Failure("the disk-image tool cannot attach the product's image: " + attach.stdout)
        subprocess.run([tool, "detach", probe, "-quiet"], env=environment)

    def write_resources(self, base_url):
        if os.path.exists(self.resources):
            shutil.rmtree(self.resources)
        shutil.copytree(os.path.join(self.options.bundle, "Contents", "Resources"), self.resources)
        with open(os.path.join(self.resources, "productInfo.xml"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<product_info>\n  <zameeurl>%s/manifest.xml</zameeurl>\n'
                    "  <product_name>Morvane Studio Packager</product_name>\n</product_info>\n" % base_url)

    def environment(self, language):
        environment = dict(os.environ)
        for name in PROXY_VARIABLES:
            environment.pop(name, None)
            environment.pop(name.upper(), None)
        for name in ("GTK_IM_MODULE", "XMODIFIERS", "XAUTHORITY", "SAMPLE_INSTALLER_GATE", "LC_ALL",
                     "LC_MESSAGES", "BOOTSTRAP_DISK_IMAGE_TOOL"):
            environment.pop(name, None)
        self.runs += 1
        self.trace_path = os.path.join(self.base, "run%d.trace" % self.runs)
        shots = os.path.join(self.shots, "run%d" % self.runs)
        os.makedirs(shots)
        environment.update({
            "PATH": self.bin + os.pathsep + environment.get("PATH", "/usr/bin:/bin"),
            "DISPLAY": self.xvfb.display,
            "HOME": self.home,
            "BOOTSTRAP_LOCAL_ROOT": self.root,
            "BOOTSTRAP_LOCK_KEY_PATH": self.lock_key,
            "BOOTSTRAP_MOUNT_ROOT": self.mount_root,
            "BOOTSTRAP_DISK_IMAGE_STATE": self.disk_image_state,
            "BOOTSTRAP_RESOURCES_FOLDER": self.resources,
            "BOOTSTRAP_EVENT_SERVICE_URL": self.sink.url("", host="localhost"),
            "BOOTSTRAP_LOCK_POLL_US": "1000",
            "BOOTSTRAP_FINISH_PAUSE_US": "1000",
            "BOOTSTRAP_UI_TRACE": self.trace_path,
            "BOOTSTRAP_UI_SCREENSHOTS": shots,
            "GDK_BACKEND": "x11",
            "GTK_THEME": "Adwaita",
            "NO_AT_BRIDGE": "1",
            "GSETTINGS_BACKEND": "memory",
            "LANGUAGE": language,
            "LANG": "C.UTF-8",
        })
        environment.update(self.extra_environment)
        return environment

    def start(self, language="en_US"):
        check(self.process is None or self.process.poll() is not None, "a run is still going")
        executable = os.path.join(self.options.bundle, "Contents", "MacOS", "bootstrapper")
        self.output = os.path.join(self.base, "run%d.out" % (self.runs + 1))
        self.process = subprocess.Popen([executable], env=self.environment(language), cwd=self.base,
                                        stdout=open(self.output, "w"), stderr=subprocess.STDOUT)
        self.trace = Trace(self.trace_path)
        return self.process

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def wait_for(self, predicate, what, after=None, seconds=WAIT_SECONDS):
        """The first traced line after `after` that satisfies predicate."""
        entry = poll(lambda: self.trace.find(predicate, after), what, seconds, alive=self.alive)
        # Captures are in window pixels, rectangles in root pixels: note where the window is while it is.
        main = xid_of(entry, "main")
        if main and main not in self.origins and self.alive():
            self.origins[main] = window_origin(self, main)
        return entry

    def wait_exit(self, seconds=WAIT_SECONDS):
        try:
            status = self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            raise Failure("the run did not end within %d s" % seconds)
        with open(self.output, errors="replace") as f:
            lines = f.readlines()
        # A sanitized build's report (use after free, leak, undefined behaviour) fails the run.
        reports = [i for i, line in enumerate(lines) if "ERROR: " in line and "Sanitizer" in line
                   or "runtime error:" in line]
        if reports:
            raise Failure("the run's sanitizer report:\n" + "".join(lines[reports[0]:reports[0] + 30]))
        # A GTK critical means the window misused GTK (a refused draw leaves a blank capture), even
        # when everything looked right.
        problems = [line for line in lines if "-CRITICAL **" in line or "-WARNING **" in line]
        check(not problems, "the run logged GTK problems:\n" + "".join(problems[:5]))
        return status

    # Input, always aimed at what the trace says is on screen.
    def xdotool(self, *arguments):
        result = subprocess.run(["xdotool"] + [str(a) for a in arguments], env=dict(os.environ,
                                DISPLAY=self.xvfb.display), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=30)
        check(result.returncode == 0, "xdotool %s failed: %s" % (" ".join(map(str, arguments)), result.stdout))

    def click(self, entry, name):
        rectangle = rect_of(entry, name)
        check(rectangle is not None, "the trace has no rectangle for " + name)
        x, y, w, h = rectangle
        # "mousemove --sync" waits for the pointer to move: a second click on the same spot must aim a
        # pixel aside, or it waits until xdotool gives up.
        self.clicks += 1
        self.xdotool("mousemove", "--sync", x + w // 2 + self.clicks % 2, y + h // 2, "click", "1")

    def key(self, window_xid, *keys):
        self.xdotool("windowfocus", "--sync", window_xid, "key", "--clearmodifiers", *keys)

    def type_text(self, window_xid, text):
        self.xdotool("windowfocus", "--sync", window_xid, "type", "--delay", "15", text)

    def close_request(self, window_xid):
        result = subprocess.run([self.options.close_request, str(window_xid)],
                                env=dict(os.environ, DISPLAY=self.xvfb.display), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=30)
        check(result.returncode == 0, "send-close-request failed: " + result.stdout)

    def diagnostics(self):
        text = "--- trace tail (%s)\n" % getattr(self, "trace_path", "-")
        text += self.trace.tail() if self.trace else "(no run)\n"
        text += "--- %s\n%s" % (self.log, tail_of(self.log))
        if getattr(self, "output", None):
            text += "--- run output\n" + tail_of(self.output, 15)
        return text

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stopper in reversed(self.stoppers):
            stopper()
        tool = os.path.join(self.options.bundle, "Contents", "MacOS", "diskimage")
        if is_mounted(self.mount_root) and os.path.exists(tool):
            subprocess.run([tool, "detach", self.mount_root, "-quiet"],
                           env=dict(os.environ, BOOTSTRAP_DISK_IMAGE_STATE=self.disk_image_state))
        remove_semaphore_sets(self.base, self.semaphores_before)
        if not self.options.keep:
            shutil.rmtree(self.base, ignore_errors=True)


def ftok(status, project):
    key = (status.st_ino & 0xFFFF) | ((status.st_dev & 0xFF) << 16) | ((project & 0xFF) << 24)
    return key - (1 << 32) if key >= 1 << 31 else key


def semaphore_sets():
    sets = {}
    try:
        with open("/proc/sysvipc/sem") as f:
            next(f)
            for line in f:
                fields = line.split()
                if len(fields) >= 2:
                    sets[int(fields[0])] = int(fields[1])
    except (OSError, StopIteration):
        pass
    return sets


def lock_key_paths(base):
    """(path, project id) of every lock a run keys: the run's four locks on the lock key file, the log
    facade's on the home folder, and each log file's own."""
    pairs = [(os.path.join(base, "lock-key"), project) for project in RUN_LOCK_PROJECT_IDS]
    pairs.append((os.path.join(base, "home"), LOG_FACADE_PROJECT_ID))
    for folder, _, files in os.walk(os.path.join(base, "home", "Library", "Logs")):
        pairs.extend((os.path.join(folder, name), LOG_FILE_PROJECT_ID) for name in files if name.endswith(".log"))
    return pairs


def remove_semaphore_sets(base, before):
    """The sets the runs keyed on their own paths, made since the case began; no other set is touched."""
    ours = set()
    for path, project in lock_key_paths(base):
        try:
            ours.add(ftok(os.stat(path), project))
        except OSError:
            pass
    for key, identifier in semaphore_sets().items():
        if key in ours and key not in before:
            subprocess.run(["ipcrm", "-s", str(identifier)], stderr=subprocess.DEVNULL)


def is_mounted(path):
    real = os.path.realpath(path)
    try:
        with open("/proc/self/mounts") as f:
            return any(len(line.split()) > 1 and line.split()[1] == real for line in f)
    except OSError:
        return False


# --- predicates on trace lines --------------------------------------------------------------------

def screen_is(kind):
    return lambda e: model_of(e).get("screen") == kind and call_of(e) in (
        "showProgressScreen", "showWarningErrorScreen", "showFatalErrorScreen")


def shown(dialog):
    return lambda e: dialog_of(e) == dialog and e.get("outcome") == "shown"


def answered(dialog):
    return lambda e: dialog_of(e) == dialog and e.get("outcome") == "answered"


def percent_above(value):
    return lambda e: call_of(e) == "updateProgressPercent" and (percent_of(e) or 0) > value


def clicked(control):
    return lambda e: event_of(e) == "click" and e.get("control") == control and "code" in e


def loop_ended(reason):
    return lambda e: event_of(e) == "host" and e.get("what") == "loop-ended" and e.get("reason") == reason


def titles(trace):
    """The progress titles in the order they were shown, repeats folded."""
    seen = []
    for entry in trace.read():
        title = model_of(entry).get("title")
        if model_of(entry).get("screen") == "progress" and title and (not seen or seen[-1] != title):
            seen.append(title)
    return seen


# --- the cases ------------------------------------------------------------------------------------

def first_with_capture(trace, predicate, after=None):
    return trace.find(lambda e: predicate(e) and main_capture(e) is not None, after)


def case_two_runs(case):
    """Run 1 meets a 404 on the manifest, retries, installs and exits 0; run 2 launches the packager."""
    case.make_product(statuses={"manifest.xml": [404]})
    case.start()
    warning = case.wait_for(screen_is("warning"), "the warning after the manifest's 404")
    title = subprocess.run(["xdotool", "getwindowname", str(xid_of(warning, "main"))], env=dict(
        os.environ, DISPLAY=case.xvfb.display), stdout=subprocess.PIPE, text=True, timeout=30).stdout.strip()
    check(title == "Morvane Studio Packager", "the window's title is %r" % title)
    check(model_of(warning).get("retryVisible") and rect_of(warning, "retryButton") is not None,
          "the warning offers no retry: %r" % model_of(warning))
    check(rect_of(warning, "zsaHyperlink") is None, "the warning screen shows the support link")
    case.click(warning, "retryButton")
    case.wait_for(clicked("retry"), "the retry click", after=warning)
    again = case.wait_for(screen_is("progress"), "the progress screen after retry", after=warning)
    status = case.wait_exit()
    check(status == 0, "run 1 exited %d" % status)
    check(case.trace.find(shown("question")) is None, "run 1 asked the quit question")
    check(os.path.isdir(case.installed), "run 1 installed nothing")
    check(not os.path.exists(case.marker), "run 1 launched the packager after installing")
    check(case.server.info("/product/manifest.xml")["requests"] >= 2, "the retry did not fetch the manifest again")
    expected = ["Initializing Installer", "Downloading Morvane Studio Packager", "Installing Morvane Studio Packager"]
    run1 = titles(case.trace)
    check([t for t in dict.fromkeys(run1) if t in expected] == expected,
          "run 1's progress titles are out of order: %s" % run1)
    check(case.trace.find(loop_ended("closeUI")) is not None, "run 1's loop did not end by closeUI")
    # Telemetry went to the loopback sink, never out.
    bodies = " ".join(post.get("body", "") for post in
                      case.sink.control("GET", "/_control/posts?path=/hsmessaging/rest") or [])
    for event in ("MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_INSTALL_END"):
        check(event in bodies, "the sink received no %s event" % event)

    # The first progress capture shows the start value: a bar nearly empty.
    first = first_with_capture(case.trace, lambda e: model_of(e).get("screen") == "progress" and
                               rect_of(e, "progressBar") is not None)
    check(first is not None, "no progress screen was captured")
    look_at_progress_start(case, first)
    # The warning's icon is drawn, and the next progress screen clears it.
    look_at_warning_icon(case, warning, first_with_capture(case.trace, screen_is("progress"), after=warning))

    case.start()
    status = case.wait_exit()
    check(status == 0, "run 2 exited %d" % status)
    poll(lambda: os.path.exists(case.marker), "the packager's marker file", 20)
    run2 = titles(case.trace)
    check([t for t in dict.fromkeys(run2) if t in ("Initializing Installer", "Launching Morvane Studio Packager")] ==
          ["Initializing Installer", "Launching Morvane Studio Packager"], "run 2's progress titles: %s" % run2)
    check(case.trace.find(lambda e: abs((percent_of(e) or 0) - 99.5) < 0.01) is not None, "run 2 never showed 99.5 %")
    check("Downloading Morvane Studio Packager" not in run2, "run 2 downloaded again: %s" % run2)


def main_capture(entry):
    for path in captures_of(entry):
        if path.endswith("-main.png"):
            return path
    return None


def window_origin(case, xid):
    """The main window's place on the root window; without a window manager it never moves."""
    result = subprocess.run(["xdotool", "getwindowgeometry", str(xid)], env=dict(os.environ,
                            DISPLAY=case.xvfb.display), stdout=subprocess.PIPE, text=True, timeout=30)
    for line in result.stdout.splitlines():
        line = line.strip()
        if line.startswith("Position:"):
            x, y = line.split()[1].split(",")
            return int(x), int(y)
    raise Failure("xdotool cannot place the window %s: %s" % (xid, result.stdout))


def in_capture(case, entry, name):
    rectangle = rect_of(entry, name)
    check(rectangle is not None, "line %s has no rectangle for %s" % (entry.get("seq"), name))
    main = xid_of(entry, "main")
    check(main in case.origins, "the main window %s was never placed" % main)
    return relative(rectangle, case.origins[main])


def look_at_progress_start(case, entry):
    picture = Picture(main_capture(entry))
    bar = in_capture(case, entry, "progressBar")
    fill = bar_fill(picture, bar)
    check(abs(fill - 0.02) * bar[2] <= 4, "the first progress bar is %.1f %% full, not the start value 2 %%" % (fill * 100))


def look_at_warning_icon(case, warning, progress):
    check(main_capture(warning) is not None, "the warning screen left no capture")
    check(warning.get("icon") in ("Warning16x16", "Warning32x32"), "the warning shows no icon: %r" % warning.get("icon"))
    picture = Picture(main_capture(warning))
    x, y, w, h = in_capture(case, warning, "alertIcon")
    coloured = sum(1 for row in range(y, y + h) for column in range(x, x + w)
                   if is_icon_colour(picture.pixel(column, row)))
    check(coloured >= (w * h) // 8, "the warning icon's rectangle holds %d icon pixels of %d" % (coloured, w * h))
    check(progress is not None, "the progress screen after the warning left no capture")
    cleared = Picture(main_capture(progress))
    # The icon's place on the warning screen, looked at on the next progress screen.
    stray = [(column, row) for row in range(y, y + h) for column in range(x, x + w)
             if not is_grey(cleared.pixel(column, row))]
    if stray:
        icon = rect_of(warning, "alertIcon")
        covering = [name for name, value in (progress.get("rects") or {}).items()
                    if value and name != "alertIcon" and overlaps(tuple(value), icon)]
        raise Failure("the progress screen still shows %d non-grey pixels where the icon was%s" % (
            len(stray), " (the layout puts %s there)" % ", ".join(covering) if covering else ""))


def look_at_paused_bar(case, question, percent):
    """At a quit question the download is paused, so the bar must show the traced percent."""
    path = main_capture(question)
    check(path is not None, "the quit question left no capture of the main window")
    bar = in_capture(case, question, "progressBar")
    fill = bar_fill(Picture(path), bar)
    check(abs(fill - percent / 100.0) * bar[2] <= 4, "the paused bar shows %.1f %%, the trace %.1f %%" % (
        fill * 100, percent))


def dialog_up(case, dialog, after, what):
    """Waits for the dialog's "shown" line; gives the call line that painted it (rectangles, labels, captures)."""
    call = {"sheet": "showProxyDialog", "question": "showQuitConfirmation"}[dialog]
    button = {"sheet": "authDialogSubmitButton", "question": "questionYesButton"}[dialog]
    case.wait_for(shown(dialog), what, after=after)
    return case.wait_for(lambda e: call_of(e) == call and rect_of(e, button) is not None and
                         xid_of(e, dialog) != 0, what + " (painted)", after=after)


def case_quit_no_then_yes(case):
    """Quit, No resumes; close box then Esc, and Quit then Esc, each resume too; Quit, Yes ends with nothing installed."""
    padding = 16 * 1024 * 1024
    case.make_product("--padding-size", str(padding), throttle={"packager.sqfs": 12 * 1024})
    case.start()
    moving = case.wait_for(percent_above(5.0), "the asset's first accepted segments")

    def ask(how, after):
        latest = case.trace.last(lambda e: rect_of(e, "quitButton") is not None)
        if how == "close box":
            case.close_request(xid_of(latest, "main"))
        else:
            case.click(latest, "quitButton")
        return dialog_up(case, "question", after, "the quit question (%s)" % how)

    after = moving
    for how, answer in (("quit button", "no"), ("close box", "escape"), ("quit button", "escape")):
        question = ask(how, after)
        painted = case.trace.last(lambda e: call_of(e) == "showQuitConfirmation")
        paused = percent_of(painted)
        look_at_paused_bar(case, painted, paused)
        if answer == "no":
            case.click(painted, "questionNoButton")
        else:
            case.key(xid_of(painted, "question"), "Escape")
        reply = case.wait_for(answered("question"), "the question's answer (%s)" % answer, after=question)
        check(answer_of(reply) == ("button" if answer == "no" else "escape", 7),
              "%s on the question answered %r" % (answer, answer_of(reply)))
        after = case.wait_for(percent_above(paused), "the download to resume after " + answer, after=reply)
    question = ask("quit button", after)
    case.click(case.trace.last(lambda e: call_of(e) == "showQuitConfirmation"), "questionYesButton")
    reply = case.wait_for(answered("question"), "the question's Yes", after=question)
    check(answer_of(reply) == ("button", 6), "Yes answered %r" % (answer_of(reply),))
    status = case.wait_exit()
    check(status == 0, "Quit, Yes exited %d" % status)
    check(not os.path.exists(case.installed), "Quit, Yes still installed the packager")
    check(case.server.info("/product/packager.sqfs")["bytes_sent"] < padding,
          "the throttled asset arrived whole before the test ended")


def proxy_credentials_stored(case):
    database = os.path.join(case.home, "Library", "Application Support", "Zarvo", "ZEZU", "vor.db")
    check(os.path.exists(database), "no settings store at " + database)
    with sqlite3.connect(database) as connection:
        rows = dict(connection.execute("SELECT key, value FROM vor_data WHERE domain = 'ZEZU' AND "
                                       "subDomain = 'ProxyCredentials'").fetchall())
    return rows


def type_into_sheet(case, sheet, user, password):
    sheet_xid = xid_of(sheet, "sheet")
    case.click(sheet, "authDialogUsernameText")
    case.type_text(sheet_xid, user)
    case.click(sheet, "authDialogPasswordText")
    case.type_text(sheet_xid, password)


def case_proxy_sheet(case):
    """ja_JP: the 407 brings the sheet; typed credentials with Remember complete the run through tinyproxy."""
    fonts = subprocess.run(["fc-list", ":lang=ja"], stdout=subprocess.PIPE, text=True)
    check(fonts.stdout.strip() != "", "fc-list finds no Japanese font (fonts-ipafont-gothic)")
    proxy = Tinyproxy(case.base, "gui-user", "gui-secret")
    case.stoppers.append(proxy.stop)
    case.make_product()
    # The sink is reached by name, so no_proxy keeps it off the proxy; the product goes through it.
    case.extra_environment = {"http_proxy": proxy.url, "no_proxy": "localhost"}
    case.start(language="ja_JP")
    sheet = dialog_up(case, "sheet", None, "the proxy sheet after the 407")
    check(label_of(sheet, "quitButton") == "終了", "the quit button reads %r" % label_of(sheet, "quitButton"))
    for name, label in (sheet.get("labels") or {}).items():
        check("&" not in (label or ""), "%s keeps its accelerator: %r" % (name, label))
    # The sheet blocks the window: a close request to it posts nothing (no question follows below).
    case.close_request(xid_of(sheet, "main"))
    type_into_sheet(case, sheet, "gui-user", "gui-secret")
    case.click(sheet, "rememberCredentialsCheckBox")
    case.wait_for(lambda e: event_of(e) == "toggle" and e.get("active") is True, "the Remember tick", after=sheet)
    case.click(sheet, "authDialogSubmitButton")
    reply = case.wait_for(answered("sheet"), "the sheet's answer", after=sheet)
    check(answer_of(reply) == ("button", 3), "the sheet answered %r, not Continue" % (answer_of(reply),))
    status = case.wait_exit()
    check(status == 0, "the proxied run exited %d" % status)
    check(case.trace.find(shown("question")) is None, "the close request under the sheet asked the quit question")
    check(case.trace.find(lambda e: event_of(e) == "close") is None, "the close request under the sheet reached the window")
    check(os.path.isdir(case.installed), "the proxied run installed nothing")
    check("manifest.xml" in tail_of(proxy.log, 2000), "tinyproxy's log has no request for the manifest")
    rows = proxy_credentials_stored(case)
    check(rows.get("ProxyUsername") and rows.get("ProxyPassword"), "the store lacks the credentials: %r" % rows)
    check("gui-secret" not in rows["ProxyPassword"], "the password is stored in the clear")
    # The next run in the same home reads them back: through the proxy without a sheet, to the launch.
    case.start(language="ja_JP")
    status = case.wait_exit()
    check(status == 0, "the second proxied run exited %d" % status)
    check(case.trace.find(shown("sheet")) is None, "the second run asked for the remembered credentials")
    poll(lambda: os.path.exists(case.marker), "the packager's marker file", 20)
    check("version.xml" in tail_of(proxy.log, 2000), "the second run did not fetch the version file by the proxy")


def case_sheet_twice_then_escape(case):
    """Wrong credentials bring the same sheet again with its fields; Esc cancels to the fatal screen."""
    proxy = TestServer(case.options.server, case.base, "proxy", ["--proxy-auth", "right:answer"])
    case.stoppers.append(proxy.stop)
    case.make_product()
    case.extra_environment = {"http_proxy": proxy.url(""), "no_proxy": "localhost"}
    case.start()
    sheet = dialog_up(case, "sheet", None, "the proxy sheet")
    type_into_sheet(case, sheet, "wrong", "guess")
    case.click(sheet, "authDialogSubmitButton")
    first = case.wait_for(answered("sheet"), "the first Continue", after=sheet)
    check(answer_of(first) == ("button", 3), "the first Continue answered %r" % (answer_of(first),))
    again = dialog_up(case, "sheet", first, "the sheet after wrong credentials")
    painted = case.trace.last(lambda e: call_of(e) == "showProxyDialog")
    check(model_of(painted).get("sheetUserLength") == len("wrong") and
          model_of(painted).get("sheetPasswordLength") == len("guess"),
          "the sheet came back without its fields: %r" % model_of(painted))
    # Continue untouched: the kept fields send the same wrong credentials once more.
    case.click(again, "authDialogSubmitButton")
    second = case.wait_for(answered("sheet"), "the second Continue", after=again)
    third = dialog_up(case, "sheet", second, "the sheet a third time")
    wrong = "Basic " + base64.b64encode(b"wrong:guess").decode()
    sent = [value for request in proxy.requests() for name, value in request["headers"]
            if name.lower() == "proxy-authorization"]
    check(sent.count(wrong) >= 2, "the kept fields were not sent again: %r" % sent)
    case.key(xid_of(third, "sheet"), "Escape")
    reply = case.wait_for(answered("sheet"), "the sheet's Esc", after=third)
    check(answer_of(reply) == ("escape", 4), "Esc on the sheet answered %r" % (answer_of(reply),))
    fatal = case.wait_for(screen_is("fatal"), "the proxy-authentication fatal screen", after=reply)
    check(model_of(fatal).get("link") is False and rect_of(fatal, "zsaHyperlink") is None,
          "the proxy-authentication screen shows the link")
    case.close_request(xid_of(fatal, "main"))
    closed = case.wait_for(lambda e: event_of(e) == "close", "the traced close request", after=fatal)
    check(closed.get("outcome") == "honoured", "the close request on the fatal screen was %r" % closed.get("outcome"))
    status = case.wait_exit()
    check(status == 0, "the close request on the fatal screen exited %d" % status)
    check(case.trace.find(shown("question")) is None, "the fatal screen asked the quit question")


def case_close_box_disabled(case):
    """While the installer is held in state 14 a close request is ignored; released, the run installs."""
    gate = os.path.join(case.base, "installer-gate")
    open(gate, "w").close()
    case.extra_environment = {"SAMPLE_INSTALLER_GATE": gate}
    case.make_product()
    case.start()
    arguments = os.path.join(case.root, os.path.dirname(INSTALLED), "installer-arguments")
    poll(lambda: os.path.exists(arguments), "the installer to start", alive=case.alive)
    held = case.wait_for(lambda e: model_of(e).get("title") == "Installing Morvane Studio Packager" and
                         model_of(e).get("closeBox") is False, "the install with the close box disabled")
    case.close_request(xid_of(held, "main"))
    ignored = case.wait_for(lambda e: event_of(e) == "close", "the traced close request", after=held)
    check(ignored.get("outcome") == "ignored", "the close request was %r" % ignored.get("outcome"))
    os.unlink(gate)
    status = case.wait_exit()
    check(status == 0, "the gated run exited %d" % status)
    check(os.path.isdir(case.installed), "the gated run installed nothing")
    check(case.trace.find(shown("question")) is None, "the ignored close request asked the quit question")


def case_sigterm_with_sheet(case):
    """SIGTERM while the sheet is up ends the run with 143, and "Closing" is the log's last line."""
    proxy = TestServer(case.options.server, case.base, "proxy", ["--proxy-auth", "right:answer"])
    case.stoppers.append(proxy.stop)
    case.make_product()
    case.extra_environment = {"http_proxy": proxy.url(""), "no_proxy": "localhost"}
    case.start()
    dialog_up(case, "sheet", None, "the proxy sheet")
    case.process.send_signal(signal.SIGTERM)
    status = case.wait_exit(30)
    check(status == 143, "SIGTERM under the sheet exited %d, not 128 + 15" % status)
    check(case.trace.find(loop_ended("signal")) is not None, "the loop did not end by the signal")
    with open(case.log, errors="replace") as f:
        lines = [line for line in f.read().splitlines() if line.strip()]
    check(lines and "Closing" in lines[-1], "the log's last line is %r" % (lines[-1] if lines else None))


def case_install_failure_link(case):
    """A failed install ends on the fatal screen with the support link, which opens the bundle's address."""
    case.make_product("--installer-exit", "10")
    case.start()
    fatal = case.wait_for(screen_is("fatal"), "the fatal screen of the failed install")
    check(model_of(fatal).get("link") is True and rect_of(fatal, "zsaHyperlink") is not None,
          "the install failure shows no support link")
    check("Morvane Studio Packager failed to install." in model_of(fatal).get("errorText", ""),
          "the fatal screen says %r" % model_of(fatal).get("errorText"))
    case.click(fatal, "zsaHyperlink")
    link = case.wait_for(lambda e: event_of(e) == "link", "the link's activation", after=fatal)
    address = "https://support.zarvo.example/studio-packager"
    check(link.get("address") == address, "the link opened %r" % link.get("address"))
    opened = os.path.join(case.base, "xdg-open.log")
    poll(lambda: os.path.exists(opened) and address in open(opened).read(), "the opener to get the address")
    # On a fatal screen Quit closes at once.
    case.click(fatal, "quitButton")
    status = case.wait_exit()
    check(status == 0, "Quit on the fatal screen exited %d" % status)
    check(case.trace.find(shown("question")) is None, "Quit on the fatal screen asked the quit question")


CASES = {
    "install_failure_link": case_install_failure_link,
    "two_runs": case_two_runs,
    "quit_no_then_yes": case_quit_no_then_yes,
    "proxy_sheet": case_proxy_sheet,
    "sheet_twice_then_escape": case_sheet_twice_then_escape,
    "close_box_disabled": case_close_box_disabled,
    "sigterm_with_sheet": case_sigterm_with_sheet,
}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--case", required=True, choices=sorted(CASES))
    parser.add_argument("--bundle", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--make-product", required=True)
    parser.add_argument("--stringtable", required=True)
    parser.add_argument("--close-request", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the case's folder")
    options = parser.parse_args(argv)
    for name in ("bundle", "server", "make_product", "stringtable", "close_request"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    executable = os.path.join(options.bundle, "Contents", "MacOS", "bootstrapper")
    if not os.access(executable, os.X_OK):
        print("FAILED: no bundle executable at " + executable)
        return 1
    # One bound for the whole case, below ctest's time-out, so that everything started is still stopped.
    def out_of_time(number, frame):
        raise Failure("the case ran past its %d s bound" % CASE_SECONDS)

    def terminated(number, frame):
        raise Failure("stopped by signal %d" % number)
    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, terminated)
    signal.signal(signal.SIGINT, terminated)
    signal.alarm(CASE_SECONDS)
    case = None
    try:
        case = Case(options, options.case)
        case.set_up()
        CASES[options.case](case)
        print("PASSED: " + options.case)
        return 0
    except Skip as reason:
        print("SKIPPED: %s" % reason)
        return SKIP
    except (Failure, Exception) as reason:
        if not isinstance(reason, Failure):
            import traceback
            traceback.print_exc()
        print("FAILED: %s" % reason)
        if case is not None:
            print(case.diagnostics())
            print("(case folder kept: %s)" % case.base)
            options.keep = True
        return 1
    finally:
        signal.alarm(0)
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, signal.SIG_IGN)
        if case is not None:
            case.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
