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
