"""Python binding of the videomerge library (ctypes, standard library only).

    import videomerge
    info = videomerge.probe("a.mp4")                # dict
    verdict = videomerge.check(["a.mp4", "b.mp4"])  # dict: "compatible", "reason" or "total_duration_ms"
    with videomerge.merge(["a.mp4", "b.mp4"], "ab.mkv") as job:
        print(job.progress()["percent"])
        result = job.wait()                        # dict; raises MergeFailed / MergeCancelled

The library is found through the VIDEOMERGE_LIBRARY environment variable
(a path to libvideomerge.so or videomerge.dll), then by the system's usual
search.
"""

import ctypes
import ctypes.util
import json
import os
import threading
import time

__all__ = ["VideomergeError", "MergeFailed", "MergeCancelled", "Job", "probe", "check", "merge",
           "version"]


class VideomergeError(Exception):
    """An error the library reported, with its text."""


class MergeFailed(VideomergeError):
    """The merge ended in failure; the partial output was deleted."""


class MergeCancelled(VideomergeError):
    """The merge was cancelled; the partial output was deleted."""


_START_ERRORS = {
    -1: "bad arguments: fewer than 2 or more than 32 paths, an over-long path, "
        "or an output that is one of the inputs",
    -2: "four merges are already running",
    -4: "the merge worker cannot be started",
}

_DONE, _CANCELLED, _FAILED = 3, 4, 5


def _load():
    path = os.environ.get("VIDEOMERGE_LIBRARY") or ctypes.util.find_library("videomerge")
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
# Re-entrant, as a Job that the garbage collector reclaims may free its slot
# on a thread that already holds the lock.
_probe_lock = threading.Lock()
_check_lock = threading.Lock()
_slots_lock = threading.RLock()


def _bytes(path):
    return os.fsencode(path)


def _answer(raw):
    return json.loads(raw.decode("utf-8"))


def _path_list(paths):
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("give a list of paths")
    encoded = [_bytes(p) for p in paths]
    if any(b"\n" in p for p in encoded):
        raise ValueError("a path holds a line feed")
    return b"".join(p + b"\n" for p in encoded)


def version():
    """The library's version text, with the libavformat it was built against."""
    return _lib.videomerge_version().decode()


def probe(path):
    """Describes one media file: format, duration_ms and streams."""
    with _probe_lock:
        info = _answer(_lib.videomerge_probe(_bytes(path)))
    if not info["ok"]:
        raise VideomergeError(info["error"])
    return info


def check(paths):
    """Whether the files can be merged: a dict with "compatible" and either
    "total_duration_ms" or the "reason". Raises when a file cannot be read."""
    with _check_lock:
        verdict = _answer(_lib.videomerge_check(_path_list(paths)))
    if not verdict["ok"]:
        raise VideomergeError(verdict["error"])
    return verdict


class Job:
    """A merge running in the background. Free it with close(), or use it as
    a context manager; a job closed while running is cancelled and its
    partial output deleted."""

    def __init__(self, job_id, out):
        self.id = job_id
        self.out = out
        self._reports = threading.RLock()  # one answer buffer per job

    def status(self):
        self._require_open()
        return _lib.videomerge_status(self.id)

    def progress(self):
        """percent, current_file, total_files, processed_ms, total_ms, packets."""
        with self._reports:
            self._require_open()
            return _answer(_lib.videomerge_progress(self.id))

    def result(self):
        """The outcome so far: out_path, out_size_bytes, elapsed_ms, ... or the error."""
        with self._reports:
            self._require_open()
            return _answer(_lib.videomerge_result(self.id))

    def cancel(self):
        self._require_open()
        _lib.videomerge_cancel(self.id)

    def wait(self, timeout=None, poll=0.02):
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

    def close(self):
        with self._reports, _slots_lock:
            if self.id is not None:
                _lib.videomerge_free(self.id)
                self.id = None

    def _require_open(self):
        if self.id is None:
            raise VideomergeError("the job was closed")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if hasattr(self, "_reports"):
            self.close()


def merge(paths, out):
    """Starts merging the files into out; returns the running Job."""
    plist = _path_list(paths)
    with _slots_lock:
        job_id = _lib.videomerge_start(plist, _bytes(out))
    if job_id in (-3, -5):
        with _check_lock:
            verdict = _answer(_lib.videomerge_check(plist))
        raise VideomergeError(verdict.get("error") or verdict.get("reason") or "cannot merge")
    if job_id < 0:
        raise VideomergeError(_START_ERRORS.get(job_id, "cannot start (code %d)" % job_id))
    return Job(job_id, out)
