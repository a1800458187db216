#!/usr/bin/env python3
"""download_bench against the loopback test server: its refusals, digest-checked downloads, a corrupt
segment rejected and fetched again, the ends it reports, and resuming from (or ignoring) the meta file.

Usage: download_bench_test.py DOWNLOAD_BENCH HTTP_TEST_SERVER_PY
"""

import ctypes
import ctypes.util
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

BENCH = None
SERVER_SCRIPT = None
SEGMENT = 65536
SUMMARY = re.compile(r"^bytes=(\d+) wall_s=[0-9.]+ mb_s=[0-9.]+ cpu_s=[0-9.]+ peak_rss_mib=[0-9.]+ "
                     r"rejected=(\d+) threads=(\d+) result=(-?\d+)$")


def digests(data):
    return [hashlib.md5(data[i:i + SEGMENT]).hexdigest() for i in range(0, len(data), SEGMENT)]


class TestServer:
    def __init__(self, folder):
        port_file = os.path.join(folder, "port")
        self.process = subprocess.Popen([sys.executable, SERVER_SCRIPT, "--port-file", port_file],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the test server did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            self.port = int(f.readline())

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def control(self, target, body=None):
        request = urllib.request.Request(self.url(target), data=None if body is None else json.dumps(body).encode(),
                                         method="GET" if body is None else "POST")
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())

    def requests(self, path):
        return [e for e in self.control("/_control/log") if e["path"] == path]

    def stop(self):
        self.process.kill()
        self.process.wait()


ENGINE_LOG = "Library/Logs/MorvaneStudio/MVD/ZarvoDownload/DOZ.log"
LOG_FILE_PROJECT_ID = 11  # zezu::BinaryLock::kLogFileProjectId


def remove_lock_set(path, project_id):
    """Removes the System V set keyed on path and project id, as SystemVSemaphoreSet::removeKey
    does: a killed bench never finalizes the engine log's lock."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.ftok.restype = ctypes.c_int
    key = libc.ftok(path.encode(), project_id)
    if key == -1:
        return
    semid = libc.semget(key, 0, 0)
    if semid != -1:
        libc.semctl(semid, 0, 0)  # IPC_RMID


class DownloadBenchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="download_bench_test.")
        cls.server = TestServer(cls.base)
        cls.content_path = os.path.join(cls.base, "content.bin")
        cls.content = random.Random(5).randbytes(5 * SEGMENT + 100)
        with open(cls.content_path, "wb") as f:
            f.write(cls.content)
        cls.home = os.path.join(cls.base, "home")
        os.mkdir(cls.home)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        remove_lock_set(os.path.join(cls.home, ENGINE_LOG), LOG_FILE_PROJECT_ID)
        shutil.rmtree(cls.base, ignore_errors=True)

    def setUp(self):
        self.out = tempfile.mkdtemp(dir=self.base, prefix="out.")
        self.server.control("/_control/clear_log", {})

    def serve(self, path, **extra):
        scenario = {"path": path, "body_file": self.content_path, "etag": '"v1"'}
        scenario.update(extra)
        self.server.control("/_control/scenario", scenario)

    def digest_list(self, lines, name="digests"):
        path = os.path.join(self.base, name)
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        return path

    def bench(self, path, *args, name=None, wait=True):
        command = [BENCH, self.server.url(path), self.out, "--segment", str(SEGMENT), *args]
        if name:
            command += ["--name", name]
        environment = dict(os.environ, HOME=self.home)
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
        if not wait:
            return process
        stdout, stderr = process.communicate(timeout=120)
        return process.returncode, stdout, stderr

    def summary(self, stdout):
        last = stdout.rstrip("\n").split("\n")[-1]
        match = SUMMARY.match(last)
        self.assertIsNotNone(match, "last line: " + last)
        return {"bytes": int(match[1]), "rejected": int(match[2]), "threads": int(match[3]), "result": int(match[4])}

    def target(self, name):
        return os.path.join(self.out, name)

    def assert_copy(self, name):
        with open(self.target(name), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(self.content).hexdigest())
        self.assertFalse(os.path.exists(self.target(name) + ".zamdownload"))
        self.assertFalse(os.path.exists(self.target(name) + ".zamdownload.zamd"))

    def test_refuses_bounds_and_bad_lists_before_downloading(self):
        self.serve("/r.bin")
        good = digests(self.content)
        existing = os.path.join(self.out, "taken.bin")
        with open(existing, "wb") as f:
            f.write(b"mine")
        cases = [
            ("no threads", ["--threads", "0"]),
            ("16 classic threads", ["--threads", "16"]),
            ("51 new-adaptive threads", ["--new-adaptive", "--threads", "51"]),
            ("not a number", ["--threads", "4x"]),
            ("segment below the minimum", ["--segment", "65535"]),
            ("segment above the maximum", ["--segment", "4194305"]),
            ("list one line short", ["--md5-list", self.digest_list(good[:-1], "short")]),
            ("list one line long", ["--md5-list", self.digest_list(good + good[:1], "long")]),
            ("uppercase digest", ["--md5-list", self.digest_list([good[0].upper()] + good[1:], "upper")]),
            ("empty list", ["--md5-list", self.digest_list([], "empty")]),
            ("missing list", ["--md5-list", os.path.join(self.base, "absent")]),
            ("list and no digest", ["--md5-list", self.digest_list(good), "--no-md5"]),
            ("unknown option", ["--fast"]),
            ("target exists", ["--name", "taken.bin"]),
        ]
        for label, args in cases:
            with self.subTest(label):
                code, stdout, stderr = self.bench("/r.bin", *args)
                self.assertEqual(code, 2, stderr)
                self.assertEqual(self.summary(stdout)["result"], 2)
                self.assertIn("download_bench:", stderr)
                self.assertFalse(os.path.exists(self.target("r.bin")))
        # The list checks need the size (a HEAD and the engine's 2-byte range probe), nothing more.
        self.assertEqual([e for e in self.server.requests("/r.bin") if e["method"] == "GET" and e["bytes_sent"] > 2],
                         [], "a refused run fetches no data")
        with open(existing, "rb") as f:
            self.assertEqual(f.read(), b"mine")

    def test_downloads_at_the_bounds_with_digests_checked(self):
        self.serve("/g.bin")
        cases = [
            ("15 classic threads, checked", ["--threads", "15", "--md5-list", self.digest_list(digests(self.content))],
             15),
            ("50 new-adaptive threads", ["--new-adaptive", "--threads", "50"], 50),
            ("one thread, no digest", ["--threads", "1", "--no-md5"], 1),
        ]
        for label, args, most in cases:
            with self.subTest(label):
                name = "g%d.bin" % most
                code, stdout, stderr = self.bench("/g.bin", *args, name=name)
                self.assertEqual(code, 0, stderr)
                summary = self.summary(stdout)
                self.assertEqual(summary["result"], 0)
                self.assertEqual(summary["bytes"], len(self.content))
                self.assertEqual(summary["rejected"], 0)
                self.assertTrue(1 <= summary["threads"] <= min(most, 6), summary)
                self.assert_copy(name)

    def test_corrupt_segment_is_rejected_once_and_fetched_again(self):
        self.serve("/c.bin", faults=[{"kind": "corrupt", "offset": 2 * SEGMENT + 9, "times": 1}])
        code, stdout, stderr = self.bench("/c.bin", "--threads", "4", "--md5-list",
                                          self.digest_list(digests(self.content)))
        self.assertEqual(code, 0, stderr)
        self.assertEqual(self.summary(stdout)["rejected"], 1)
        self.assertIn("rejected segment 2 ", stdout)
        self.assert_copy("c.bin")
        ranges = [h[1] for e in self.server.requests("/c.bin") for h in e["headers"] if h[0].lower() == "range"]
        start = "bytes=%d-" % (2 * SEGMENT)
        self.assertEqual(sum(1 for r in ranges if r.startswith(start)), 2, "segment 2 fetched twice")

    def test_failed_downloads_exit_non_zero_with_the_error_type(self):
        wrong = digests(self.content)
        wrong[3] = "0" * 32
        self.serve("/w.bin")
        self.serve("/p.bin", script_methods=["GET"], statuses=[407] * 5000)
        cases = [
            # A segment that never matches ends the download once the engine stops fetching it.
            ("digest that never matches", "/w.bin", ["--md5-list", self.digest_list(wrong, "wrong")], -60,
             "fatal"),
            # The engine pauses for the user; the bench must not wait for a resume nobody sends.
            ("proxy credentials wanted", "/p.bin", [], -8, "user-actionable"),
        ]
        for label, path, args, error_type, action in cases:
            with self.subTest(label):
                started = time.monotonic()
                code, stdout, stderr = self.bench(path, "--threads", "4", *args)
                self.assertEqual(code, 1, stderr)
                self.assertEqual(self.summary(stdout)["result"], error_type)
                self.assertIn("error type %d (%s" % (error_type, action), stderr)
                self.assertLess(time.monotonic() - started, 60)
                self.assertFalse(os.path.exists(self.target(path[1:])), "no file taken for a whole one")

    def fetched_bytes(self, path):
        return sum(e["bytes_sent"] for e in self.server.requests(path) if e["method"] == "GET")

    def interrupted_download(self, path):
        """Starts a throttled download and kills it with SIGKILL once some segments are on disk."""
        self.serve(path, throttle=150000)
        process = self.bench(path, "--threads", "2", wait=False)
        meta = self.target(path[1:]) + ".zamdownload.zamd"
        deadline = time.monotonic() + 30
        while self.fetched_bytes(path) < 2 * SEGMENT + 1000 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)
        process.send_signal(signal.SIGKILL)
        process.communicate()
        self.assertTrue(os.path.exists(meta), "a meta file to resume from")
        self.assertFalse(os.path.exists(self.target(path[1:])))
        self.server.control("/_control/clear_log", {})
        self.serve(path)

    def test_killed_download_resumes_from_its_meta_file_unless_told_not_to(self):
        for label, args, resumes in [("resume", [], True), ("no meta", ["--no-meta"], False)]:
            with self.subTest(label):
                path = "/k%d.bin" % resumes
                self.interrupted_download(path)
                code, stdout, stderr = self.bench(path, "--threads", "4", *args)
                self.assertEqual(code, 0, stderr)
                self.assert_copy(path[1:])
                fetched = self.fetched_bytes(path)
                if resumes:
                    self.assertLessEqual(fetched, len(self.content) - SEGMENT, "only what was missing")
                else:
                    self.assertGreaterEqual(fetched, len(self.content), "everything again")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    BENCH, SERVER_SCRIPT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
