# SPDX-License-Identifier: MIT
"""Where the Python tests find the test media and put what they write."""
import os

MEDIA = os.environ["VM_FIXTURE_DIR"]
SCRATCH = os.environ["VM_SCRATCH_DIR"]


def media(name):
    return os.path.join(MEDIA, name)


def scratch(name):
    """A fresh path in the scratch directory: nothing is there yet."""
    os.makedirs(SCRATCH, exist_ok=True)
    path = os.path.join(SCRATCH, name)
    if os.path.lexists(path):
        os.remove(path)
    return path


def empty_dir(name):
    """A directory of the test's own in the scratch directory, empty: what a
    test finds there afterwards is what it left."""
    path = os.path.join(SCRATCH, name)
    os.makedirs(path, exist_ok=True)
    for entry in os.listdir(path):
        os.remove(os.path.join(path, entry))
    return path
