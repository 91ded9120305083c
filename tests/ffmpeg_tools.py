# SPDX-License-Identifier: MIT
"""What the Python tests ask of the ffmpeg tools: copies of the test media
with other tags, and what an output holds as ffprobe reads it."""
import json
import subprocess


def ffmpeg(*args):
    """Runs the ffmpeg tool with these arguments, quietly; the last is the
    file it writes, which is returned."""
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args], check=True,
                   timeout=60)
    return args[-1]


def remux(source, out, *args):
    """Copies source's streams into out with ffmpeg's further arguments
    (tags, a timecode); returns out."""
    return ffmpeg("-i", source, "-c", "copy", *args, out)


def chapters(path):
    """The chapters of path as (title, start in seconds), in order."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_chapters", "-of", "json", path],
                       capture_output=True, text=True, check=True, timeout=60)
    return [(c.get("tags", {}).get("title"), float(c["start_time"])) for c in json.loads(r.stdout)["chapters"]]
