# SPDX-License-Identifier: MIT
"""The videomerge command as a user runs it: answers, exit codes, progress,
Ctrl-C."""
import json
import os
import pty
import re
import signal
import subprocess
import tempfile
import time
import unittest

from ffmpeg_tools import chapters, ffmpeg, remux
from test_paths import SCRATCH, empty_dir, media, scratch

CLI = os.environ["VM_CLI"]
CAMERA_ORDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "camera_order.json")


def merge_result(stdout):
    """The result of a merge --json: its last line, after the progress lines."""
    return json.loads(stdout.splitlines()[-1])


def run(*args, stdin=None):
    return subprocess.run([CLI, *args], input=stdin, capture_output=True, text=True, timeout=120)


class Usage(unittest.TestCase):
    def test_exit_codes_of_bad_usage(self):
        for args in [(), ("frobnicate",), ("merge", "--bogus"), ("probe",),
                     ("merge", media("av.mp4"), media("av.mp4")),  # no -o
                     ("merge", "-o", scratch("x.mkv"), media("av.mp4")),
                     ("check", "-l", media("no-such-list.txt")),
                     # The path list would read these as "av.mp4": another file.
                     ("check", media("av.mp4"), media("av.mp4") + " "),
                     ("merge", "-o", scratch("x.mkv"), media("av.mp4"), media("av.mp4") + "\r"),
                     # The path list would skip it: 2 files merged of 3 given.
                     ("merge", "-o", scratch("x.mkv"), media("av.mp4"), "", media("av.mp4")),
                     ("merge", "--order", "name", "-o", scratch("x.mkv"), media("av.mp4"), media("av.mp4")),
                     ("merge", "--order=", "-o", scratch("x.mkv"), media("av.mp4"), media("av.mp4")),
                     ("merge", "-o", scratch("x.mkv"), media("av.mp4"), media("av.mp4"), "--order"),
                     ("probe", "--order", "camera", media("av.mp4"))]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn("videomerge:", r.stderr)
                self.assertEqual(r.stdout, "")

    def test_help_and_version(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("merge -o OUT", r.stdout)
        r = run("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^videomerge 1\.0\.0 \(libavformat \d+\.\d+\.\d+\)\n$")


class NotUtf8Paths(unittest.TestCase):
    def test_merge_into_a_latin1_name(self):
        # Paths are bytes; the answers show what is not UTF-8 as U+FFFD.
        out = os.fsencode(scratch("caf\udce9.mkv"))
        r = subprocess.run([CLI, "merge", "--json", "-o", out, media("av.mp4"), media("av.mp4")],
                           capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(merge_result(r.stdout)["out_path"].endswith("caf\ufffd.mkv"))
        self.assertTrue(os.path.exists(out))
        r = subprocess.run([CLI, "check", os.fsencode(media("av.mp4")), b"/nowhere/caf\xe9.mp4"],
                           capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("caf\xef\xbf\xbd.mp4".encode("latin-1"), r.stderr)


class ProbeAndCheck(unittest.TestCase):
    def test_probe(self):
        r = run("probe", media("av.mp4"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("#0 video h264 160x120 25.000 fps", r.stdout)
        self.assertIn("#1 audio aac 2 ch 48000 Hz", r.stdout)
        r = run("probe", "--json", media("av.mp4"))
        self.assertEqual(json.loads(r.stdout)["duration_ms"], 2000)
        r = run("probe", media("gone.mp4"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("No such file or directory", r.stderr)

    def test_check(self):
        r = run("check", media("av.mp4"), media("av_short.mp4"))
        self.assertEqual((r.returncode, r.stdout), (0, "compatible: 2 files, 3.200 s, about %d KiB\n"
                                                    % ((os.path.getsize(media("av.mp4"))
                                                        + os.path.getsize(media("av_short.mp4"))) // 1024)))
        r = run("check", media("av.mp4"), media("big.mp4"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("resolution mismatch: file 2 (320x240 vs 160x120)", r.stderr)
        r = run("check", media("av.mp4"), media("gone.mp4"))
        self.assertEqual(r.returncode, 1)
        r = run("check", "--json", "-", stdin=media("av.mp4") + "\n\n" + media("av.ts") + "\n")
        self.assertEqual(json.loads(r.stdout)["reason"], "stream format mismatch: file 2 stream 0")


class Merge(unittest.TestCase):
    def test_merge_with_plain_progress(self):
        out = scratch("cli.mkv")
        r = run("merge", "-o", out, media("av.mp4"), media("av_short.mp4"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.getsize(out) > 0)
        self.assertRegex(r.stderr, r"(?m)^\d+\.\d% file \d/2 ")
        self.assertIn("merged 2 files into " + out, r.stderr)
        # Matroska says what to drop: the join is exact.
        self.assertIn("1 join: audio exact, A/V within 0.0 ms", r.stderr)

    def test_joins_summed_up_where_audio_is_fitted_by_frames(self):
        out = scratch("cli_joins.mp4")
        r = run("merge", "-o", out, media("flash_click.mp4"), media("flash_click.mp4"), media("flash_click.mp4"))
        self.assertEqual(r.returncode, 0, r.stderr)
        line = re.search(r"(?m)^2 joins: A/V within (\d+\.\d) ms \((\d+) audio samples left out to fit\)$", r.stderr)
        self.assertIsNotNone(line, r.stderr)
        self.assertLessEqual(float(line.group(1)), 10.7)

    def test_a_reader_that_goes_away_does_not_stop_the_merge(self):
        # As `videomerge merge ... 2>&1 | head -1`: the pipe closes before the
        # first line; the merge still ends done, its output whole.
        out_dir = empty_dir("cli_pipe")
        out = os.path.join(out_dir, "piped.mkv")
        p = subprocess.Popen([CLI, "merge", "-o", out, media("av.mp4"), media("av_short.mp4")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdout.close()
        p.stderr.close()
        self.assertEqual(p.wait(timeout=120), 0)
        self.assertEqual(os.listdir(out_dir), ["piped.mkv"])
        r = run("probe", "--json", out)
        self.assertAlmostEqual(json.loads(r.stdout)["duration_ms"], 3200, delta=100)

    def test_inputs_from_a_list_and_stdin(self):
        listing = scratch("inputs.txt")
        with open(listing, "w") as f:
            f.write(media("av.mp4") + "\r\n" + media("av_short.mp4") + "\n")
        out = scratch("cli_list.mp4")
        r = run("merge", "--json", "-o", out, "-l", listing)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(merge_result(r.stdout)["files_merged"], 2)
        r = run("merge", "-o", out, "-", media("av.mp4"), stdin=media("av.mp4") + "\n")
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_incompatible_says_why_and_writes_nothing(self):
        out = scratch("cli_bad.mkv")
        r = run("merge", "-o", out, media("av.mp4"), media("mono.mp4"), media("rot90.mp4"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("audio format mismatch: file 2", r.stderr)
        # Every difference, a row each, with what to do about it.
        rows = [line.split() for line in r.stderr.splitlines() if line.startswith("  ") and "(" in line]
        self.assertEqual([row[:5] for row in rows],
                         [["2", "1", "channels", "2", "1"], ["3", "0", "rotation", "0", "90"]])
        self.assertIn("rotate this file without re-encoding", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_a_list_of_a_thousand_files(self):
        listing = scratch("cli_thousand.txt")
        with open(listing, "w") as f:
            f.write((media("tiny.mp4") + "\n") * 1000)
        out = scratch("cli_thousand.mkv")
        r = run("merge", "--json", "-o", out, "-l", listing)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout.splitlines()[-1])["files_merged"], 1000)

    def test_other_decoder_setup_says_why_and_writes_nothing(self):
        out = scratch("cli_setup.webm")
        r = run("merge", "-o", out, media("vorbis_q1.webm"), media("vorbis_q8.webm"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("codec setup mismatch: file 2 stream 0", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_names_what_it_leaves_out(self):
        out = scratch("cli_gopro.mkv")
        r = run("merge", "-o", out, media("gopro_karma_cut.mp4"), media("gopro_karma_cut.mp4"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("left out stream 2 (data, bin_data): mkv cannot store it\n", r.stderr)
        self.assertIn("left out stream 3 (data, none): mkv cannot store it\n", r.stderr)
        r = run("merge", "--json", "-o", out, media("gopro_karma_cut.mp4"), media("gopro_karma_cut.mp4"))
        self.assertEqual(merge_result(r.stdout)["streams_left_out"], [2, 3])

    def test_ffmpeg_notes_only_with_verbose(self):
        # FFmpeg warns about the picture track's time scale when it reads it.
        out = scratch("cli_quiet.mkv")
        quiet = run("merge", "-o", out, media("cover.mp4"), media("cover.mp4"))
        loud = run("merge", "-v", "-o", out, media("cover.mp4"), media("cover.mp4"))
        self.assertEqual(quiet.returncode, 0, quiet.stderr)
        self.assertEqual(loud.returncode, 0, loud.stderr)
        self.assertNotIn(" @ 0x", quiet.stderr)
        self.assertIn(" @ 0x", loud.stderr)

    def test_output_that_is_an_input(self):
        r = run("merge", "-o", media("av.mp4"), media("av.mp4"), media("av_short.mp4"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("one of the inputs", r.stderr)

    def test_failure(self):
        r = run("merge", "-o", scratch("cli.unknownext"), media("av.mp4"), media("av.mp4"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("merge failed: cannot create output", r.stderr)

    def test_interrupt_cancels_and_keeps_the_file_at_the_output(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                out = scratch("cli_interrupted.mp4")
                with open(out, "w") as f:
                    f.write("earlier")
                p = subprocess.Popen([CLI, "merge", "-o", out] + [media("long.mp4")] * 32,
                                     stderr=subprocess.PIPE, text=True)
                p.stderr.readline()  # the first progress line: the merge is under way
                p.send_signal(sig)
                err = p.stderr.read()
                p.stderr.close()
                self.assertEqual(p.wait(timeout=60), 130, err)
                self.assertIn("cancelled", err)
                with open(out) as f:
                    self.assertEqual(f.read(), "earlier")
                left = [n for n in os.listdir(os.path.dirname(out)) if n.startswith(".cli_interrupted.mp4.")]
                self.assertEqual(left, [])

    @unittest.skipUnless(os.environ.get("VM_FAULT_SHIM"), "needs the fault shim")
    def test_interrupt_while_checking(self):
        # Every read of these inputs takes 100 ms (the test shim): the check
        # takes many seconds, and Ctrl-C ends it at once.
        slow = scratch("slow_input.mp4")
        with open(media("long.mp4"), "rb") as src, open(slow, "wb") as dst:
            dst.write(src.read())
        env = dict(os.environ, LD_PRELOAD=os.environ["VM_FAULT_SHIM"], VM_FAULT_MATCH="slow_input",
                   VM_FAULT_OP="3", VM_FAULT_AFTER="100")
        for command in (["check"], ["merge", "-o", scratch("cli_slow.mkv")]):
            with self.subTest(command=command[0]):
                p = subprocess.Popen([CLI] + command + [slow] * 8, stderr=subprocess.PIPE, text=True, env=env)
                time.sleep(0.5)
                p.send_signal(signal.SIGINT)
                err = p.stderr.read()
                p.stderr.close()
                self.assertEqual(p.wait(timeout=5), 130, err)
                self.assertIn("interrupted", err)

    def test_terminal_shows_a_live_bar(self):
        out = scratch("cli_tty.mp4")
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(CLI, [CLI, "merge", "-o", out] + [media("long.mp4")] * 8)
        seen = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, seen)
        text = seen.decode()
        # A bar that moves: an estimate while copying, "finishing" after.
        self.assertRegex(text, r"\r\[[#.]+\] +\d+\.\d%  file \d/8  [\d.]+x  (ETA \d+:\d\d|finishing)")
        self.assertIn("merged 8 files", text)


class MergeOptions(unittest.TestCase):
    """--chapters, --trim, --file-time and --timecode: what the command
    refuses itself, and what reaches the library."""

    def test_malformed_values_are_refused_before_any_file_is_read(self):
        two = [media("av.mp4"), media("av.mp4")]
        for args, why in [(["--trim"], "--trim needs a value: N:FROM-TO"),
                          (["--trim", "0:1-2"], "files count from 1"),
                          (["--trim", "x:1-2"], "give N:FROM-TO"),
                          (["--trim", ":1-2"], "give N:FROM-TO"),
                          (["--trim", "1-2"], "give N:FROM-TO"),
                          (["--trim", "1:2"], "give N:FROM-TO"),
                          (["--trim", "1:-1-2"], "give N:FROM-TO"),
                          (["--trim", "1:-"], "give FROM, TO or both"),
                          (["--trim", "1:20-10"], "ends where or before it starts"),
                          (["--trim", "1:0:05-5"], "ends where or before it starts"),
                          (["--trim", "1:abc-"], "'abc' is not a time"),
                          (["--trim", "1:1.5.5-"], "'1.5.5' is not a time"),
                          (["--trim", "1:1.-"], "'1.' is not a time"),
                          (["--trim", "1:.5-"], "'.5' is not a time"),
                          (["--trim", "1:1:60-"], "'1:60' is not a time"),
                          (["--trim", "1:1:60:00-"], "'1:60:00' is not a time"),
                          # 1:05 or 1:50? Not guessed.
                          (["--trim", "1:1:5-"], "'1:5' is not a time"),
                          (["--trim", "1:1:02:03:04-"], "'1:02:03:04' is not a time"),
                          (["--trim", "1:-99999999999999999999"], "is not a time"),
                          (["--trim", "99999999999:1-"], "past any list"),
                          (["--chapters", "all"], "give keep, inputs or none"),
                          (["--chapters="], "give keep, inputs or none"),
                          (["--chapters"], "--chapters needs a value"),
                          (["--file-time", "first_input"], "give first or now"),
                          (["--timecode", "keep"], "give continue or none")]:
            for command in (["check"], ["merge", "-o", scratch("cli_malformed.mkv")]):
                with self.subTest(args=args, command=command[0]):
                    # The flag last, so that a missing value is missing.
                    r = run(*command, *two, *args)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertIn(why, r.stderr)
                    self.assertEqual(r.stdout, "")
                    self.assertFalse(os.path.exists(scratch("cli_malformed.mkv")))
        r = run("probe", "--chapters", "none", media("av.mp4"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("are for check and merge", r.stderr)

    def test_trims_reach_the_library(self):
        # The check counts trimmed lengths. An hour and a bit of a black
        # 16x16 picture, a frame a second, a keyframe every 10 s: every FROM
        # is on a keyframe, where a trimmed input starts exactly.
        hour = ffmpeg("-f", "lavfi", "-i", "color=c=black:size=16x16:rate=1", "-t", "3700", "-c:v", "libx264",
                      "-preset", "ultrafast", "-g", "10", scratch("cli_hour.mp4"))
        two = [hour, hour]
        r = run("check", "--json", *two)
        whole = json.loads(r.stdout)["total_duration_ms"] // 2
        for trims, expected in [(["--trim", "1:10-20"], 10000 + whole),
                                (["--trim=1:10-20"], 10000 + whole),
                                (["--trim", "1:-0:20"], 20000 + whole),
                                (["--trim", "2:0:00:10-"], whole + whole - 10000),
                                (["--trim", "1:1:00-1:10.25"], 10250 + whole),
                                (["--trim", "1:60:00-"], whole - 3600000 + whole),
                                (["--trim", "1:1:00:00-1:00:10.5"], 10500 + whole),
                                (["--trim", "1:10-12.52"], 2520 + whole),
                                (["--trim", "1:00:10-00:12.520"], 2520 + whole),
                                (["--trim", "1:10-12.519600"], 2520 + whole),  # as ffprobe writes times
                                (["--trim", "1:10-12.5194"], 2519 + whole),
                                (["--trim", "1:0-5", "--trim", "1:10-15", "--trim", "2:20-"],
                                 5000 + 5000 + whole - 20000)]:
            with self.subTest(trims=trims):
                r = run("check", "--json", *trims, *two)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(json.loads(r.stdout)["total_duration_ms"], expected)

    def test_each_range_joins_as_an_input(self):
        out = scratch("cli_ranges.mkv")
        r = run("merge", "--json", "--trim", "1:0-1", "--trim", "1:1-", "-o", out, media("av.mp4"),
                media("av_short.mp4"))
        self.assertEqual(r.returncode, 0, r.stderr)
        *progress, result = json_lines(self, r.stdout)
        self.assertEqual({p["total_files"] for p in progress}, {3})
        self.assertEqual(result["files_merged"], 3)
        self.assertAlmostEqual(result["duration_ms"], 1000 + 1000 + 1200, delta=100)

    def test_chapters_reach_the_library(self):
        # tagged.mkv has two chapters and the title Holiday; av.mp4 neither.
        # With inputs, each input's chapter begins where the input does.
        titled = [media("tagged.mkv"), media("tagged.mkv")]
        untitled = [media("av.mp4"), media("av_short.mp4")]
        for inputs, args, titles, starts in [
                (titled, [], ["Arrival", "Beach", "Arrival", "Beach"], None),
                (titled, ["--chapters", "keep"], ["Arrival", "Beach", "Arrival", "Beach"], None),
                (titled, ["--chapters", "none"], [], None),
                (titled, ["--chapters", "inputs"], ["Holiday", "Holiday"], [0.0, 2.0]),
                (untitled, ["--chapters=inputs"], ["av", "av_short"], [0.0, 2.0])]:
            with self.subTest(inputs=inputs[0], args=args):
                out = scratch("cli_chapters.mkv")
                r = run("merge", *args, "-o", out, *inputs)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertNotIn("not written", r.stderr)
                found = chapters(out)
                self.assertEqual([title for title, _ in found], titles)
                for (_, start), expected in zip(found, starts or []):
                    self.assertAlmostEqual(start, expected, delta=0.05)

    def test_a_bad_option_for_the_list_says_why(self):
        # Only the library reads the files: the command passes these on, and
        # tells its reason as bad usage.
        inputs = [media("av.mp4"), media("av_short.mp4")]
        out = scratch("cli_bad_option.mkv")
        for trim, why in [("3:0-1", r"trim of file 3: no such file in the list"),
                          ("2:5-", r"trim of file 2 \(.*av_short\.mp4\) starts at or after its end")]:
            for command in (["check"], ["merge", "-o", out]):
                with self.subTest(trim=trim, command=command[0]):
                    r = run(*command, "--trim", trim, *inputs)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertRegex(r.stderr, "videomerge: " + why)
                    self.assertEqual(r.stdout, "")
                    # Under --json, the check's answer as it is.
                    r = run(*command, "--json", "--trim", trim, *inputs)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    answer = json.loads(r.stdout)
                    self.assertEqual(answer["ok"], False)
                    self.assertRegex(answer["error"], why)
                    self.assertFalse(os.path.exists(out))
        # A file that cannot be read is still a failure, not bad usage.
        r = run("check", "--trim", "1:0-1", media("av.mp4"), media("gone.mp4"))
        self.assertEqual(r.returncode, 1, r.stderr)

    def test_options_the_output_cannot_honour_are_named(self):
        with_timecode = remux(media("av.mp4"), scratch("cli_timecode.mp4"), "-timecode", "01:00:00:00")
        plain = [media("av.mp4"), media("av.mp4")]
        for name, inputs, args, out, line in [
                ("chapters", plain, ["--chapters", "inputs"], scratch("cli_options.ts"),
                 "chapters not written: {out}'s container (mpegts) cannot store them\n"),
                ("timecode", [with_timecode, with_timecode], ["--timecode", "continue"], scratch("cli_options.mkv"),
                 "timecode not written: {out}'s container (matroska) cannot store one\n"),
                ("timecode", plain, ["--timecode", "continue"], scratch("cli_options.mp4"),
                 "timecode not written: the first input, %s, has none\n" % media("av.mp4"))]:
            with self.subTest(out=out, inputs=inputs[0]):
                r = run("merge", *args, "-o", out, *inputs)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(line.format(out=out), r.stderr)
                r = run("merge", "--json", *args, "-o", out, *inputs)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(merge_result(r.stdout)["options_not_applied"], [name])
                self.assertNotIn("not written", r.stderr)  # standard output has it for programs

    def test_file_time_of_the_first_input(self):
        # Its creation_time tag, not the time the file was copied here.
        recorded = remux(media("av.mp4"), scratch("cli_recorded.mp4"), "-metadata",
                         "creation_time=2021-06-05T14:30:00Z")
        out = scratch("cli_file_time.mkv")
        for args, expected in [(["--file-time", "first"], 1622903400), (["--file-time", "now"], time.time()),
                               ([], time.time())]:
            with self.subTest(args=args):
                r = run("merge", *args, "-o", out, recorded, media("av.mp4"))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertAlmostEqual(os.stat(out).st_mtime, expected, delta=5)


def json_lines(test, stdout):
    """Every line of a --json merge's output, each parsed on its own."""
    test.assertTrue(stdout.endswith("\n"), stdout)
    return [json.loads(line) for line in stdout.splitlines()]


class ProgressForHosts(unittest.TestCase):
    """merge --json as a host reads it through a pipe: one JSON object a
    line, progress lines, then the result line."""

    def assert_stream(self, lines, state):
        *progress, result = lines
        self.assertGreaterEqual(len(progress), 1, lines)
        for p in progress:
            self.assertIn("percent", p)
            self.assertNotIn("out_path", p)
        states = [p["state"] for p in progress]
        self.assertEqual(states, sorted(states), "the state went back")
        self.assertEqual(states[-1], state, "no line for the end")
        self.assertEqual(result["state"], state)

    def test_progress_lines_then_the_result(self):
        long = [media("long.mp4")] * 32
        for name, args, code, state, key in [
                ("done", ["--order", "camera"] + long, 0, 3, "out_path"),
                ("failed", [media("av.mp4"), media("av.mp4")], 1, 5, "error")]:
            with self.subTest(name):
                out = scratch("cli_stream.mp4" if state == 3 else "cli_stream.unknownext")
                p = subprocess.Popen([CLI, "merge", "--json", "-o", out] + args,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                stdout, stderr = p.communicate(timeout=120)
                self.assertEqual(p.returncode, code, stderr)
                lines = json_lines(self, stdout)
                self.assert_stream(lines, state)
                self.assertIn(key, lines[-1])
                self.assertNotIn("file 1:", stderr)  # the order is not told under --json
                if state == 3:
                    self.assertEqual(lines[-2]["percent"], 100.0)
                    self.assertEqual(lines[-1]["out_size_bytes"], os.path.getsize(out))

    def test_a_host_reads_each_line_as_it_comes(self):
        # The host sees the first progress line while the merge runs (no
        # buffer holds it back) and cancels the merge there.
        out = scratch("cli_stream_cancelled.mp4")
        with open(out, "w") as f:
            f.write("earlier")
        p = subprocess.Popen([CLI, "merge", "--json", "-o", out] + [media("long.mp4")] * 32,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = p.stdout.readline()
        p.send_signal(signal.SIGINT)
        rest, stderr = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 130, stderr)
        lines = json_lines(self, first + rest)
        self.assertIn("percent", lines[0])
        self.assert_stream(lines, 4)
        with open(out) as f:
            self.assertEqual(f.read(), "earlier")


class CameraOrder(unittest.TestCase):
    """--order camera on the names of tests/data/camera_order.json, which
    the Python binding's camera_order is held to as well."""

    def test_the_table_of_names(self):
        with open(CAMERA_ORDER, encoding="utf-8") as f:
            cases = json.load(f)["cases"]
        for case in cases:
            with self.subTest(case["why"]), tempfile.TemporaryDirectory(dir=SCRATCH) as d:
                for name in case["given"]:
                    os.makedirs(os.path.join(d, os.path.dirname(name)), exist_ok=True)
                    os.symlink(media("av.mp4"), os.path.join(d, name))
                r = subprocess.run([CLI, "merge", "--order", "camera", "-o", "out.mkv"] + case["given"],
                                   cwd=d, capture_output=True, text=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr)
                told = [line.split(": ", 1) for line in r.stderr.splitlines() if line.startswith("file ")]
                self.assertEqual(told, [["file %d" % (i + 1), name] for i, name in enumerate(case["camera"])])

    def test_the_files_go_in_the_order_told(self):
        # The check (alone or inside the merge) counts files in the order
        # used: the odd one out is file 1 by name, file 3 as given.
        with tempfile.TemporaryDirectory(dir=SCRATCH) as d:
            for name, source in [("clip10.mp4", "av.mp4"), ("clip2.mp4", "av.mp4"), ("clip1.mp4", "big.mp4")]:
                os.symlink(media(source), os.path.join(d, name))
            by_name = "resolution mismatch: file 2 (160x120 vs 320x240)"
            as_given = "resolution mismatch: file 3 (320x240 vs 160x120)"
            for command, told, reason in [(["merge", "-o", "out.mkv", "--order", "camera"], True, by_name),
                                          (["check", "--order", "camera"], True, by_name),
                                          (["merge", "-o", "out.mkv", "--order=given"], False, as_given),
                                          (["merge", "-o", "out.mkv"], False, as_given)]:
                with self.subTest(command=command):
                    r = subprocess.run([CLI] + command + ["clip10.mp4", "clip2.mp4", "clip1.mp4"],
                                       cwd=d, capture_output=True, text=True, timeout=120)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertIn(reason, r.stderr)
                    self.assertEqual("file 1: clip1.mp4\nfile 2: clip2.mp4\nfile 3: clip10.mp4\n" in r.stderr,
                                     told)
                    self.assertFalse(os.path.exists(os.path.join(d, "out.mkv")))

    def test_a_trim_counts_in_the_order_used(self):
        # --trim 2 is file 2 as printed: clip10 (2 s) by name, clip2 (1.2 s)
        # as given.
        with tempfile.TemporaryDirectory(dir=SCRATCH) as d:
            os.symlink(media("av.mp4"), os.path.join(d, "clip10.mp4"))
            os.symlink(media("av_short.mp4"), os.path.join(d, "clip2.mp4"))
            for order, told, total in [("camera", "file 2: clip10.mp4\n", 1200 + 1000),
                                       ("given", "", 2000 + 1000)]:
                with self.subTest(order=order):
                    r = subprocess.run([CLI, "check", "--order", order, "--trim", "2:-1", "clip10.mp4",
                                        "clip2.mp4"], cwd=d, capture_output=True, text=True, timeout=120)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertIn(told, r.stderr)
                    seconds = re.match(r"compatible: 2 files, ([\d.]+) s", r.stdout)
                    self.assertIsNotNone(seconds, r.stdout)
                    self.assertAlmostEqual(float(seconds.group(1)) * 1000, total, delta=100)

if __name__ == "__main__":
    unittest.main()
