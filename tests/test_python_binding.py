# SPDX-License-Identifier: MIT
"""The Python binding against the built library and the test media."""
import gc
import glob
import json
import os
import pathlib
import subprocess
import sys
import threading
import time
import unittest
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bindings", "python"))
import videomerge  # noqa: E402
from ffmpeg_tools import chapters, remux  # noqa: E402
from test_paths import empty_dir, media, scratch  # noqa: E402


class Binding(unittest.TestCase):
    def test_version(self):
        self.assertTrue(videomerge.version().startswith("1.0.0 (libavformat "))

    def test_probe(self):
        info = videomerge.probe(media("av.mp4"))
        self.assertEqual(info["duration_ms"], 2000)
        self.assertEqual([s["type"] for s in info["streams"]], ["video", "audio"])
        with self.assertRaisesRegex(videomerge.VideomergeError, "^open: No such file"):
            videomerge.probe(media("gone.mp4"))

    def test_check(self):
        self.assertTrue(videomerge.check([media("av.mp4"), media("av_short.mp4")])["compatible"])
        verdict = videomerge.check([media("av.mp4"), media("big.mp4")])
        self.assertFalse(verdict["compatible"])
        self.assertEqual(verdict["reason"], "resolution mismatch: file 2 (320x240 vs 160x120)")
        self.assertEqual(verdict["mismatches"], [{"file": 2, "stream": 0, "what": "size",
                                                  "expected": "160x120", "found": "320x240"}])
        many = videomerge.check([media("tiny.mp4")] * 1000)
        self.assertEqual((many["compatible"], many["files"]), (True, 1000))
        with self.assertRaisesRegex(videomerge.VideomergeError, "need at least 2 files"):
            videomerge.check([media("av.mp4")])
        with self.assertRaises(TypeError):
            videomerge.check(media("av.mp4"))

    def test_paths_the_library_would_read_as_other_files(self):
        # A NUL cuts a C string (3 paths given, 2 read); a path list drops a
        # line's trailing space or carriage return (another file's name) and
        # skips an empty line.
        a, out = media("av.mp4"), scratch("py_refused.mkv")
        for paths, text in [([a, a, a + "\0x"], "NUL"), ([a, a + " "], "space or carriage return"),
                            ([a, a + "\r"], "space or carriage return"), ([a, "x\ny"], "line feed"),
                            ([a, "", a], "empty path")]:
            with self.subTest(paths=paths):
                with self.assertRaisesRegex(ValueError, text):
                    videomerge.check(paths)
                with self.assertRaisesRegex(ValueError, text):
                    videomerge.merge(paths, out)
        for call in (lambda: videomerge.probe(a + "\0.mkv"), lambda: videomerge.merge([a, a], a + "\0.mkv")):
            with self.assertRaisesRegex(ValueError, "NUL"):
                call()
        self.assertFalse(os.path.exists(out))

    def test_merge_and_wait(self):
        out = scratch("py_merged.mkv")
        with videomerge.merge([media("av.mp4"), media("av_short.mp4")], out) as job:
            self.assertIn("percent", job.progress())
            result = job.wait(timeout=60)
        self.assertEqual(result["state"], 3)
        self.assertEqual(result["out_size_bytes"], os.path.getsize(out))
        self.assertEqual([j["file"] for j in result["joins"]], [2])
        self.assertIsNone(job.id)
        with self.assertRaises(videomerge.VideomergeError):
            job.progress()

    def test_start_errors_carry_the_reason(self):
        with self.assertRaisesRegex(videomerge.VideomergeError, "^resolution mismatch"):
            videomerge.merge([media("av.mp4"), media("big.mp4")], scratch("py_x.mkv"))
        with self.assertRaisesRegex(videomerge.VideomergeError, "^open .*gone.mp4: No such file"):
            videomerge.merge([media("av.mp4"), media("gone.mp4")], scratch("py_x.mkv"))
        with self.assertRaisesRegex(videomerge.VideomergeError, "^bad arguments"):
            videomerge.merge([media("av.mp4"), media("av.mp4")], media("av.mp4"))

    def test_paths_that_are_not_utf8(self):
        out = scratch("py_caf\udce9.mkv")
        with videomerge.merge([media("av.mp4"), media("av.mp4")], os.fsencode(out)) as job:
            self.assertTrue(job.wait(timeout=60)["out_path"].endswith("py_caf\ufffd.mkv"))
        self.assertTrue(os.path.exists(out))
        with self.assertRaisesRegex(videomerge.VideomergeError, "caf\ufffd.mp4: No such file"):
            videomerge.check([media("av.mp4"), b"/nowhere/caf\xe9.mp4"])

    def test_failure_raises_with_the_text(self):
        with videomerge.merge([media("av.mp4"), media("av.mp4")], scratch("py.unknownext")) as job:
            with self.assertRaisesRegex(videomerge.MergeFailed, "^cannot create output$"):
                job.wait(timeout=60)

    def test_cancel(self):
        out = scratch("py_cancelled.mp4")
        with videomerge.merge([media("long.mp4")] * 32, out) as job:
            job.cancel()
            with self.assertRaises(videomerge.MergeCancelled):
                job.wait(timeout=60)
        self.assertFalse(os.path.exists(out))

    def test_close_on_a_running_job_removes_its_output(self):
        out = scratch("py_closed.mp4")
        job = videomerge.merge([media("long.mp4")] * 32, out)
        job.close()
        self.assertFalse(os.path.exists(out))

    def test_a_dropped_job_runs_to_its_end(self):
        out = scratch("py_dropped.mkv")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            videomerge.merge([media("av.mp4"), media("av_short.mp4")], out)
            gc.collect()
        self.assertTrue(any(issubclass(w.category, ResourceWarning) for w in caught))
        deadline = time.monotonic() + 60
        while not os.path.exists(out) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(os.path.exists(out), "the garbage collector cancelled the merge")
        # The finished orphan's slot is freed by the next merge.
        with videomerge.merge([media("av.mp4"), media("av.mp4")], scratch("py_after.mkv")) as job:
            job.wait(timeout=60)

    def test_exit_cancels_running_merges(self):
        out_dir = empty_dir("py_exit")
        out = os.path.join(out_dir, "at_exit.mp4")
        code = ("import sys, videomerge\n"
                "job = videomerge.merge([%r] * 32, %r)\n"
                "while job.progress()['packets'] == 0: pass\n"
                "sys.exit(0)\n" % (media("long.mp4"), out))
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(videomerge.__file__)))
        r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.listdir(out_dir), [], "left behind at exit")

    def test_jobs_from_threads(self):
        results = []

        def one(i):
            with videomerge.merge([media("av.mp4"), media("av.mp4")], scratch("py_t%d.ts" % i)) as job:
                results.append(job.wait(timeout=60)["state"])

        threads = [threading.Thread(target=one, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, [3, 3, 3, 3])


class MergeOptions(unittest.TestCase):
    """merge() and check() with chapters, trim, file_time and timecode."""

    def test_keywords_reach_the_library(self):
        two = [media("av.mp4"), media("av_short.mp4")]
        # From 1 s, a keyframe of av.mp4, to its end; av_short.mp4 whole.
        self.assertAlmostEqual(videomerge.check(two, trim=[(1, 1, None)])["total_duration_ms"], 2200, delta=100)
        self.assertAlmostEqual(videomerge.check(two, trim=[(1, None, 0.5), [2, 0, 1.0]])["total_duration_ms"],
                               1500, delta=100)
        # No creation_time tag: its modification time is its recording time.
        first = remux(media("av.mp4"), scratch("py_first.mp4"))
        os.utime(first, (1500000000, 1500000000))
        out = scratch("py_options.mkv")
        with videomerge.merge([first, media("av_short.mp4")], out, chapters="inputs", file_time="first_input",
                              timecode="none") as job:
            result = job.wait(timeout=60)
        self.assertEqual([title for title, _ in chapters(out)], ["py_first", "av_short"])
        self.assertEqual(os.stat(out).st_mtime, 1500000000)
        self.assertNotIn("options_not_applied", result)
        with videomerge.merge(two, scratch("py_options.ts"), chapters="inputs") as job:
            self.assertEqual(job.wait(timeout=60)["options_not_applied"], ["chapters"])

    def test_malformed_arguments_raise_before_the_library_is_asked(self):
        two = [media("av.mp4"), media("av.mp4")]
        out = scratch("py_malformed.mkv")
        for kwargs, error in [({"chapters": b"inputs"}, TypeError),
                              ({"timecode": 0}, TypeError),
                              ({"trim": "1:0-1"}, TypeError),
                              ({"trim": (1, 0, 1)}, TypeError),  # one range, not a list of them
                              ({"trim": [(1, 0)]}, TypeError),
                              ({"trim": [{"file": 1, "from_ms": 0}]}, TypeError),
                              ({"trim": [(1.0, 0, 1)]}, TypeError),
                              ({"trim": [(True, 0, 1)]}, TypeError),
                              ({"trim": [(1, "0", 1)]}, TypeError),
                              ({"trim": [(0, 0, 1)]}, ValueError),
                              ({"trim": [(1, -1, 1)]}, ValueError),
                              ({"trim": [(1, 0, float("inf"))]}, ValueError),
                              ({"trim": [(1, None, None)]}, ValueError),
                              ({"trim": [(1, 2, 2)]}, ValueError),
                              ({"trim": [(1, 2, 1)]}, ValueError)]:
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(error):
                    videomerge.check(two, **kwargs)
                with self.assertRaises(error):
                    videomerge.merge(two, out, **kwargs)
                self.assertFalse(os.path.exists(out))

    def test_the_library_says_why_options_are_refused(self):
        two = [media("av.mp4"), media("av_short.mp4")]
        out = scratch("py_refused_options.mkv")
        for kwargs, why in [({"trim": [(3, 0, 1)]}, r"^trim of file 3: no such file in the list"),
                            ({"trim": [(2, 5, None)]}, r"^trim of file 2 \(.*av_short\.mp4\) starts at or after"),
                            ({"chapters": "all"}, "chapters"),
                            ({"file_time": "first"}, "file_time"),
                            ({"timecode": "keep"}, "timecode")]:
            with self.subTest(kwargs=kwargs):
                with self.assertRaisesRegex(videomerge.VideomergeError, why):
                    videomerge.check(two, **kwargs)
                with self.assertRaisesRegex(videomerge.VideomergeError, why):
                    videomerge.merge(two, out, **kwargs)
                self.assertFalse(os.path.exists(out))
        # An output refused with valid options is still the output's fault.
        with self.assertRaisesRegex(videomerge.VideomergeError, "^bad arguments"):
            videomerge.merge(two, media("av.mp4"), chapters="none")


class CameraOrder(unittest.TestCase):
    def test_the_table_of_names(self):
        # The table the command's --order camera is held to (test_cli.py).
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "camera_order.json"),
                  encoding="utf-8") as f:
            cases = json.load(f)["cases"]
        for case in cases:
            with self.subTest(case["why"]):
                given = list(case["given"])
                self.assertEqual(videomerge.camera_order(given), case["camera"])
                self.assertEqual(given, case["given"], "the list given was changed")
                as_bytes = [os.fsencode(p) for p in case["given"]]
                self.assertEqual(videomerge.camera_order(as_bytes), [os.fsencode(p) for p in case["camera"]])

    def test_paths_come_back_as_given(self):
        paths = [pathlib.Path("/media/b/GX020001.MP4"), pathlib.Path("/media/a/GX010001.MP4")]
        ordered = videomerge.camera_order(iter(paths))
        self.assertIs(ordered[0], paths[1])
        self.assertIs(ordered[1], paths[0])
        # Bytes that are not UTF-8 sort as bytes, as the command gets them.
        self.assertEqual(videomerge.camera_order([b"clip\xe92.mp4", b"clip\xe91.mp4"]),
                         [b"clip\xe91.mp4", b"clip\xe92.mp4"])
        with self.assertRaises(TypeError):
            videomerge.camera_order("GX010001.MP4")


if __name__ == "__main__":
    unittest.main()
