"""What the Python module's tests share: the command to compare with, the shipped frames, and
decoding image files with a second reader (ImageMagick), not the command's own."""

import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

COMMAND = os.environ.get("TELVIX_COMMAND", "telvix")
FRAMES = Path(os.environ.get("TELVIX_FRAMES", Path(__file__).parents[1] / "frames"))
SAMPLES = Path(os.environ.get("TELVIX_SAMPLES", Path(__file__).parents[2] / "samples"))


def read_image(path, channels=4, bits=8):
    """Decodes an image file with ImageMagick, a reader of its own, to an H x W x channels
    array of uint8 or uint16 (grey, RGB or RGBA)."""
    raw = {1: "gray", 3: "rgb", 4: "rgba"}[channels]
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True,
                          text=True, check=True).stdout.split()
    width, height = int(size[0]), int(size[1])
    data = subprocess.run(["convert", str(path), "-depth", str(bits), "-endian", "MSB",
                           f"{raw}:-"], capture_output=True, check=True).stdout
    dtype = np.uint8 if bits == 8 else np.dtype(">u2")
    image = np.frombuffer(data, dtype).reshape(height, width, channels)
    return image.astype(np.uint8 if bits == 8 else np.uint16)


def run_command(*args):
    """Runs the telvix command; fails the test with its stderr when it fails."""
    done = subprocess.run([COMMAND, *map(str, args)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture
def command():
    return run_command
