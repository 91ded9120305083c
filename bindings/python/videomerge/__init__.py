# SPDX-License-Identifier: MIT
"""Python binding of the videomerge library (ctypes, standard library only).

    import videomerge
    info = videomerge.probe("a.mp4")                # dict
    verdict = videomerge.check(["a.mp4", "b.mp4"])  # dict: "compatible", "reason" or "total_duration_ms"
    with videomerge.merge(["a.mp4", "b.mp4"], "ab.mkv") as job:
        print(job.progress()["percent"])
        result = job.wait()                        # dict; raises MergeFailed / MergeCancelled
    videomerge.merge(paths, "ab.mkv", chapters="inputs", trim=[(2, 60, None)])  # merge options
    paths = videomerge.camera_order(paths)         # GoPro chapters by recording, then chapter

The library is found through the VIDEOMERGE_LIBRARY environment variable
(a path to libvideomerge.so or videomerge.dll), then beside this file (where
the wheel puts it, with its own FFmpeg), then by the system's usual search.
`python -m videomerge` runs the videomerge command that the wheel holds.
"""

import atexit
import ctypes
import ctypes.util
import json
import math
import numbers
import os
import re
import threading
import time
import warnings
from typing import Any, Dict, Iterable, List, Optional, Sequence, Set, Tuple, TypeVar, Union

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Seconds = Optional[float]
P = TypeVar("P", str, bytes, "os.PathLike[str]", "os.PathLike[bytes]")

__all__ = ["VideomergeError", "MergeFailed", "MergeCancelled", "Job", "probe", "check", "merge",
           "camera_order", "version"]


class VideomergeError(Exception):
    """An error the library reported, with its text."""


class MergeFailed(VideomergeError):
    """The merge ended in failure; its temporary file was removed."""


class MergeCancelled(VideomergeError):
    """The merge was cancelled; its temporary file was removed."""


_START_ERRORS = {
    -1: "bad arguments: fewer than 2 paths, an over-long path, "
        "or an output that cannot be written alone: one of the inputs, a file another merge "
        "reads or writes, not a regular file, or a format that writes files of its own",
    -2: "four merges are already running",
    -4: "the merge worker cannot be started, or the list does not fit in memory",
}

_DONE, _CANCELLED, _FAILED = 3, 4, 5


# The library that a wheel carries, beside this file. Loaded by its full
# path, so that no other libvideomerge (in the working directory, or on the
# system's search path) can stand in for it.
_OWN_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                            "videomerge.dll" if os.name == "nt" else "libvideomerge.so.1")


def _load() -> ctypes.CDLL:
    path = os.environ.get("VIDEOMERGE_LIBRARY")
    if not path and os.path.isfile(_OWN_LIBRARY):
        path = _OWN_LIBRARY
    path = path or ctypes.util.find_library("videomerge")
    if not path:
        raise OSError("libvideomerge not found; set VIDEOMERGE_LIBRARY to its path")
    lib = ctypes.CDLL(path)
    for name in ("probe", "check"):
        fn = getattr(lib, "videomerge_" + name)
        fn.argtypes, fn.restype = [ctypes.c_char_p], ctypes.c_char_p
    for name in ("progress", "result"):
        fn = getattr(lib, "videomerge_" + name)
        fn.argtypes, fn.restype = [ctypes.c_int], ctypes.c_char_p
    lib.videomerge_start.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.videomerge_start.restype = ctypes.c_int
    # A library from before the merge options still serves every call
    # without them.
    if hasattr(lib, "videomerge_check_with"):
        lib.videomerge_check_with.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.videomerge_check_with.restype = ctypes.c_char_p
    if hasattr(lib, "videomerge_start_with"):
        lib.videomerge_start_with.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
        lib.videomerge_start_with.restype = ctypes.c_int
    lib.videomerge_status.argtypes, lib.videomerge_status.restype = [ctypes.c_int], ctypes.c_int
    for name in ("cancel", "free"):
        fn = getattr(lib, "videomerge_" + name)
        fn.argtypes, fn.restype = [ctypes.c_int], None
    lib.videomerge_version.argtypes, lib.videomerge_version.restype = [], ctypes.c_char_p
    return lib


_lib = _load()

# ctypes lets other Python threads run during a call, but the library wants
# these calls not to overlap: probes share one answer buffer, checks another,
# and start/free claim and release job slots without a lock of their own.
# Re-entrant, as the garbage collector may run a Job's __del__ on a thread
# that already holds the lock.
_probe_lock = threading.Lock()
_check_lock = threading.Lock()
_slots_lock = threading.RLock()

# Ids of started jobs not yet freed, and of those among them whose Job was
# dropped unclosed: such a job runs to its end and is freed afterwards (by
# the next merge(), or at exit), never cancelled by the garbage collector.
_open_ids: Set[int] = set()
_orphan_ids: List[int] = []
_exiting = False


def _free_finished_orphans() -> None:
    with _slots_lock:
        for job_id in list(_orphan_ids):
            if _lib.videomerge_status(job_id) >= _DONE:
                _lib.videomerge_free(job_id)
                _orphan_ids.remove(job_id)
                _open_ids.discard(job_id)


@atexit.register
def _cancel_at_exit() -> None:
    """At interpreter exit, jobs still running are cancelled and freed: the
    library removes their temporary files."""
    global _exiting
    with _slots_lock:
        _exiting = True
        for job_id in _open_ids:
            _lib.videomerge_cancel(job_id)
        for job_id in _open_ids:
            _lib.videomerge_free(job_id)
        _open_ids.clear()
        del _orphan_ids[:]


def _bytes(path: Path) -> bytes:
    encoded = os.fsencode(path)
    # The library takes C strings: a NUL would cut the path (or the list)
    # there, and another file would be read or written.
    if b"\0" in encoded:
        raise ValueError("a path holds a NUL byte: %r" % (path,))
    return encoded


def _answer(raw: bytes) -> Dict[str, Any]:
    # The library's answers are UTF-8; "replace" keeps any surprise from
    # becoming an exception.
    answer: Dict[str, Any] = json.loads(raw.decode("utf-8", "replace"))
    return answer


def _path_list(paths: Iterable[Path]) -> bytes:
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("give a list of paths")
    encoded = [_bytes(p) for p in paths]
    if any(b"\n" in p for p in encoded):
        raise ValueError("a path holds a line feed")
    # A path list skips empty lines and drops the spaces and carriage
    # returns that end a line: such a path would be left out, or read as
    # another file's.
    for p in encoded:
        if not p:
            raise ValueError("an empty path was given")
        if p.endswith((b" ", b"\r")):
            raise ValueError("a path ends in a space or carriage return, which a path list cannot carry: %r" % p)
    return b"".join(p + b"\n" for p in encoded)


def version() -> str:
    """The library's version text, with the libavformat it was built against."""
    return str(_lib.videomerge_version().decode())


def probe(path: Path) -> Dict[str, Any]:
    """Describes one media file: format, duration_ms and streams."""
    with _probe_lock:
        info = _answer(_lib.videomerge_probe(_bytes(path)))
    if not info["ok"]:
        raise VideomergeError(info["error"])
    return info


def _seconds_to_ms(seconds: Any, what: str) -> Optional[int]:
    if seconds is None:
        return None
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
        raise TypeError("a trim's %s is seconds or None, not %r" % (what, seconds))
    if not math.isfinite(seconds) or seconds < 0:
        raise ValueError("a trim's %s is seconds from the file's start, not %r" % (what, seconds))
    return int(round(seconds * 1000))


def _trim_range(item: Any) -> Dict[str, int]:
    if not isinstance(item, (tuple, list)) or len(item) != 3:
        raise TypeError("each trim is a (file_number, from_seconds, to_seconds) tuple, not %r" % (item,))
    file_number, start, end = item
    if isinstance(file_number, bool) or not isinstance(file_number, int):
        raise TypeError("a trim's file number is an int, not %r" % (file_number,))
    if file_number < 1:
        raise ValueError("a trim's file number counts from 1: %r" % (item,))
    from_ms, to_ms = _seconds_to_ms(start, "start"), _seconds_to_ms(end, "end")
    if from_ms is None and to_ms is None:
        raise ValueError("a trim needs a start, an end or both: %r" % (item,))
    if from_ms is not None and to_ms is not None and to_ms <= from_ms:
        raise ValueError("a trim ends where or before it starts: %r" % (item,))
    out = {"file": file_number}
    if from_ms is not None:
        out["from_ms"] = from_ms
    if to_ms is not None:
        out["to_ms"] = to_ms
    return out


def _options(chapters: Optional[str], trim: Optional[Sequence[Tuple[int, Seconds, Seconds]]],
             file_time: Optional[str], timecode: Optional[str]) -> Optional[bytes]:
    """The merge options as the library's JSON object; None when none are
    given, so that the calls of old are made. The words are the library's
    and judged by it (a wrong one raises VideomergeError with its reason)."""
    options: Dict[str, Any] = {}
    for key, word in (("chapters", chapters), ("file_time", file_time), ("timecode", timecode)):
        if word is None:
            continue
        if not isinstance(word, str):
            raise TypeError("%s is a str, not %r" % (key, word))
        options[key] = word
    if trim is not None:
        if isinstance(trim, (str, bytes)):
            raise TypeError("trim is a list of (file_number, from_seconds, to_seconds) tuples")
        options["trim"] = [_trim_range(item) for item in trim]
    if not options:
        return None
    return json.dumps(options).encode()


def _with(name: str) -> Any:
    fn = getattr(_lib, name, None)
    if fn is None:
        raise VideomergeError("this libvideomerge takes no merge options (it is older than the binding)")
    return fn


def _check_answer(plist: bytes, options: Optional[bytes]) -> Dict[str, Any]:
    with _check_lock:
        if options is None:
            return _answer(_lib.videomerge_check(plist))
        return _answer(_with("videomerge_check_with")(plist, options))


def check(paths: Iterable[Path], *, chapters: Optional[str] = None,
          trim: Optional[Sequence[Tuple[int, Seconds, Seconds]]] = None,
          file_time: Optional[str] = None, timecode: Optional[str] = None) -> Dict[str, Any]:
    """Whether the files can be merged: a dict with "compatible" and either
    "total_duration_ms" or the "reason". Raises when a file cannot be read.
    With merge options (as merge() takes them), the lengths count the trims
    and options not valid for these files raise VideomergeError saying why."""
    plist = _path_list(paths)
    verdict = _check_answer(plist, _options(chapters, trim, file_time, timecode))
    if not verdict["ok"]:
        raise VideomergeError(verdict["error"])
    return verdict


class Job:
    """A merge running in the background. Free it with close(), or use it as
    a context manager; a job closed while running is cancelled and its
    temporary file removed (a file at the output path stays as it was). A Job
    dropped without close() gives a ResourceWarning and its merge runs to its
    end; at interpreter exit running merges are cancelled."""

    def __init__(self, job_id: int, out: Path):
        self.id: Optional[int] = job_id
        self.out = out
        self._reports = threading.RLock()  # one answer buffer per job

    def status(self) -> int:
        self._require_open()
        return int(_lib.videomerge_status(self.id))

    def progress(self) -> Dict[str, Any]:
        """percent, current_file, total_files, processed_ms, total_ms, packets."""
        with self._reports:
            self._require_open()
            return _answer(_lib.videomerge_progress(self.id))

    def result(self) -> Dict[str, Any]:
        """The outcome so far: out_path, out_size_bytes, elapsed_ms, ... or the error."""
        with self._reports:
            self._require_open()
            return _answer(_lib.videomerge_result(self.id))

    def cancel(self) -> None:
        self._require_open()
        _lib.videomerge_cancel(self.id)

    def wait(self, timeout: Optional[float] = None, poll: float = 0.02) -> Dict[str, Any]:
        """Waits for the end and returns the result. Raises MergeFailed or
        MergeCancelled, or TimeoutError when timeout seconds pass first."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.status() < _DONE:
            if deadline is not None and time.monotonic() > deadline:
                raise TimeoutError("the merge is still running")
            time.sleep(poll)
        result = self.result()
        if result["state"] == _FAILED:
            raise MergeFailed(result["error"])
        if result["state"] == _CANCELLED:
            raise MergeCancelled("cancelled")
        return result

    def close(self) -> None:
        with self._reports, _slots_lock:
            if self.id is not None:
                if self.id in _open_ids:  # not already freed at exit
                    _lib.videomerge_free(self.id)
                    _open_ids.discard(self.id)
                self.id = None

    def _require_open(self) -> None:
        if self.id is None:
            raise VideomergeError("the job was closed")

    def __enter__(self) -> "Job":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        job_id = getattr(self, "id", None)
        if job_id is None or _exiting:
            return
        warnings.warn("videomerge job %d was not closed; it runs to its end" % job_id, ResourceWarning,
                      stacklevel=2)
        _orphan_ids.append(job_id)  # list.append is atomic: no lock taken here


def merge(paths: Iterable[Path], out: Path, *, chapters: Optional[str] = None,
          trim: Optional[Sequence[Tuple[int, Seconds, Seconds]]] = None,
          file_time: Optional[str] = None, timecode: Optional[str] = None) -> Job:
    """Starts merging the files into out; returns the running Job.

    Merge options, each left as the library's default when None:
      chapters  "keep" (the inputs' own), "inputs" (one per input, titled
                from its title tag, else its file name) or "none";
      trim      a list of (file_number, from_seconds, to_seconds) tuples:
                file_number counts from 1 in paths' order, either time may
                be None (the file's start, its end); ranges of one file
                must not overlap and join in time order. A range starts
                at the keyframe at or before from_seconds;
      file_time "now" or "first_input" (the output's modification time
                becomes the first input's recording time);
      timecode  "continue" or "none" (MP4/MOV outputs).
    Options that are not valid for these files raise VideomergeError with
    the check's reason. The result names the options the output's container
    could not honour in "options_not_applied", and once done describes each
    join in "joins": where each later file begins ("at_ms") and how its
    audio was fitted to its video ("audio_left_out", "audio_discarded" in
    samples, "audio_offset_ms")."""
    plist = _path_list(paths)
    options = _options(chapters, trim, file_time, timecode)
    _free_finished_orphans()
    with _slots_lock:
        if options is None:
            job_id = _lib.videomerge_start(plist, _bytes(out))
        else:
            job_id = _with("videomerge_start_with")(plist, _bytes(out), options)
        if job_id >= 0:
            _open_ids.add(job_id)
    # The check with the same arguments says why a start was refused; a -1
    # it finds no fault with was the output's doing.
    if job_id in (-3, -5) or (job_id == -1 and options is not None):
        verdict = _check_answer(plist, options)
        if job_id != -1 or not verdict["ok"]:
            raise VideomergeError(verdict.get("error") or verdict.get("reason") or "cannot merge")
    if job_id < 0:
        raise VideomergeError(_START_ERRORS.get(job_id, "cannot start (code %d)" % job_id))
    return Job(job_id, out)


# Camera order, as the command's --order camera (tools/input_order.h has the
# reasons): a GoPro chapter file G[XHL]ccnnnn.EXT (or, from older cameras,
# GPccnnnn.EXT, with GOPRnnnn.EXT as chapter 00) sorts as the name
# "G" + nnnn + cc, every name in natural order. Names are compared as bytes,
# the bytes the command gets for them.
_GOPRO = re.compile(rb"[Gg][XxHhLlPp]([0-9]{2})([0-9]{4})\.[A-Za-z0-9]+")
_GOPRO_FIRST = re.compile(rb"[Gg][Oo][Pp][Rr]([0-9]{4})\.[A-Za-z0-9]+")
_RUN = re.compile(rb"[0-9]+|[^0-9]")


def _natural_key(name: bytes) -> List[Tuple[Any, ...]]:
    # A run of digits is one number, compared by its value: (1, length
    # without leading zeros, digits). Another byte sorts before the numbers
    # when it is below "0" and after them when above "9", as bytes do.
    key: List[Tuple[Any, ...]] = []
    for run in _RUN.findall(name):
        if run[0] in b"0123456789":
            digits = run.lstrip(b"0")
            key.append((1, len(digits), digits))
        else:
            key.append((0 if run[0] < 0x30 else 2, run[0]))
    return key


def _camera_key(path: Path) -> List[Tuple[Any, ...]]:
    name = os.path.basename(os.fsencode(path))
    gopro = _GOPRO.fullmatch(name)
    first = _GOPRO_FIRST.fullmatch(name)
    if gopro:
        name = b"G" + gopro.group(2) + gopro.group(1)
    elif first:
        name = b"G" + first.group(1) + b"00"
    return _natural_key(name)


def camera_order(paths: Iterable[P]) -> List[P]:
    """The paths in the order the camera numbered them, as `videomerge merge
    --order camera` joins them: GoPro chapter files (GX010001.MP4,
    GH020001.MP4, GL010001.LRV) by recording number, then chapter; other
    names in natural order (clip2 before clip10). Only the file name counts,
    not the directory; names that compare the same keep their order. Returns
    a new list of the same path objects."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("give a list of paths")
    return sorted(paths, key=_camera_key)
