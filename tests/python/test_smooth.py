"""telvix.smooth on numpy arrays: the command's pixels, on several threads at once, and every
kind of bad input refused with the documented error instead of a crash."""

import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import telvix
from conftest import FRAMES, SAMPLES, read_image, run_command


# The command's output on a shipped frame, decoded by ImageMagick, against telvix.smooth of the
# same frame decoded by ImageMagick: the two paths share only the plug-in and its conversions.
CASES = [
    ({}, []),
    ({"tolerance": 20}, ["--tolerance", "20"]),
    ({"key": "#ffffff"}, ["--key", "FFFFFF"]),
    ({"key": (255, 255, 255), "extent": (100, 200, 900, 700)},
     ["--key", "ffffff", "--extent", "100,200,900,700"]),
]


@pytest.mark.parametrize("name,bits", [("h01_aliased.png", 8), ("h01_aliased16.png", 16)])
@pytest.mark.parametrize("options,arguments", CASES)
def test_smooth_equals_the_command(tmp_path, name, bits, options, arguments):
    source = FRAMES / name
    output = tmp_path / "out.png"
    run_command("smooth", source, output, *arguments)
    image = read_image(source, 4, bits)
    result = telvix.smooth(image, **options)
    assert result.dtype == image.dtype and result.shape == image.shape
    expected = read_image(output, 4, bits)
    assert np.array_equal(result, expected), np.argwhere(result != expected)[:5]
    assert not np.array_equal(result, image)  # the frame was smoothed, not copied


def test_grey_and_grey_alpha_keep_their_shape():
    rgb = read_image(SAMPLES / "cel_small.png", 3, 8)
    grey = np.ascontiguousarray(rgb[..., 1])
    smoothed = telvix.smooth(grey)
    assert smoothed.shape == grey.shape
    # A grey image is smoothed as RGB with equal channels; the result's grey is their mean.
    as_rgb = telvix.smooth(np.ascontiguousarray(np.repeat(grey[..., None], 3, axis=2)))
    assert np.array_equal(smoothed, as_rgb[..., 0])
    with_alpha = np.dstack([grey, np.full_like(grey, 255)])
    assert np.array_equal(telvix.smooth(with_alpha)[..., 0], smoothed)
    assert telvix.smooth(grey[..., None]).shape == grey.shape + (1,)


def test_samples_left_alone_come_back_exactly():
    # Every 16-bit code: nothing is smoothed at tolerance 255, or outside a one-pixel extent.
    codes = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    assert np.array_equal(telvix.smooth(codes, tolerance=255), codes)
    rgb = np.ascontiguousarray(np.dstack([codes, codes[::-1], codes.T]))
    smoothed = telvix.smooth(rgb, tolerance=0, extent=(0, 0, 1, 1))
    assert np.array_equal(smoothed[1:], rgb[1:]) and np.array_equal(smoothed[0, 1:], rgb[0, 1:])


def test_a_keyed_image_without_alpha_gets_one():
    # As the command writes a keyed RGB file as RGBA: the keyed pixels' transparency is kept.
    rgba = read_image(SAMPLES / "cel_small.png", 4, 8)
    expected = telvix.smooth(rgba, key="FFFFFF")
    assert (expected[..., 3] == 0).any()
    assert np.array_equal(telvix.smooth(np.ascontiguousarray(rgba[..., :3]), key="FFFFFF"),
                          expected)
    grey = np.ascontiguousarray(rgba[..., 1]).astype(np.uint16) * 257
    keyed = telvix.smooth(grey, key="FFFFFF")
    assert keyed.shape == grey.shape + (2,) and (keyed[..., 1] == 0).any()
    assert np.array_equal(keyed, telvix.smooth(np.dstack([grey, np.full_like(grey, 65535)]),
                                               key="FFFFFF"))


def test_bgr_arrays_are_smoothed_and_returned_as_bgr():
    rgba = read_image(SAMPLES / "cel_small.png", 4, 8)
    assert (rgba[..., 0] != rgba[..., 2]).any()
    expected = telvix.smooth(rgba, tolerance=12, key=(255, 255, 255))
    bgra = np.ascontiguousarray(rgba[..., [2, 1, 0, 3]])
    result = telvix.smooth(bgra, tolerance=12, key=(255, 255, 255), channel_order="BGR")
    assert np.array_equal(result, expected[..., [2, 1, 0, 3]])
    # Without alpha: BGR in, BGRA out (keyed), the input left alone.
    bgr = np.ascontiguousarray(bgra[..., :3])
    before = bgr.copy()
    result = telvix.smooth(bgr, tolerance=12, key=(255, 255, 255), channel_order="BGR")
    assert np.array_equal(result, expected[..., [2, 1, 0, 3]]) and np.array_equal(bgr, before)


def test_four_python_threads_render_at_once_with_the_same_results():
    frames = [read_image(FRAMES / f"h0{i}_aliased.png", 4, 8) for i in range(3)]
    frames.append(read_image(FRAMES / "h00_aliased16.png", 4, 16))
    expected = [telvix.smooth(f, threads=1) for f in frames]
    with ThreadPoolExecutor(4) as pool:
        runs = [pool.submit(telvix.smooth, frames[i % 4], threads=2) for i in range(12)]
        for i, run in enumerate(runs):
            assert np.array_equal(run.result(), expected[i % 4])


def test_the_gil_is_released_while_rendering():
    # Python code on another thread keeps running during a render: the longest pause between
    # its steps stays far below the render's own time.
    import threading
    import time
    image = read_image(FRAMES / "u00_aliased.png", 4, 8)
    started = time.perf_counter()
    telvix.smooth(image, threads=1)
    render = time.perf_counter() - started
    worker = threading.Thread(target=lambda: [telvix.smooth(image, threads=1) for _ in range(3)])
    worker.start()
    longest, last = 0.0, time.perf_counter()
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    assert longest < render / 2, (longest, render)


def test_read_only_input_is_smoothed_and_left_alone():
    image = read_image(SAMPLES / "cel_small.png", 4, 8)
    before = image.copy()
    image.flags.writeable = False
    assert np.array_equal(telvix.smooth(image), telvix.smooth(before))
    assert np.array_equal(image, before)


def test_numpy_integers_are_integers():
    image = read_image(SAMPLES / "cel_small.png", 4, 8)
    expected = telvix.smooth(image, tolerance=12, key=(255, 255, 255), extent=(1, 2, 200, 100))
    assert np.array_equal(expected, telvix.smooth(
        image, tolerance=np.int64(12), key=np.array([255, 255, 255], np.uint8),
        extent=np.array([1, 2, 200, 100]), threads=np.int32(2)))


def test_tiny_images_do_not_crash():
    for shape in [(1, 1), (1, 7, 4), (7, 1, 3), (2, 2, 2)]:
        image = np.full(shape, 200, np.uint8)
        assert telvix.smooth(image).shape == shape


small = np.zeros((8, 8, 4), np.uint8)
BAD_IMAGES = [
    (np.zeros((8, 8, 4), np.float32), TypeError, "float32 samples"),
    (np.zeros((8, 8, 4), np.int16), TypeError, "int16 samples"),
    (np.zeros((8, 8, 4), ">u2"), TypeError, "native byte order"),
    (np.zeros((8, 8, 5), np.uint8), ValueError, "5 channels"),
    (np.zeros((8, 8, 0), np.uint8), ValueError, "0 channels"),
    (np.zeros((0, 0, 4), np.uint8), ValueError, "unsupported size 0x0"),
    (np.zeros((8,), np.uint8), ValueError, "1 dimensions"),
    (np.zeros((2, 8, 8, 4), np.uint8), ValueError, "4 dimensions"),
    (np.zeros((8, 16, 4), np.uint8)[:, ::2], ValueError, "not C-contiguous"),
    (np.zeros((8, 8, 4), np.uint8)[::-1], ValueError, "not C-contiguous"),
    (np.zeros((4, 8, 8), np.uint8).transpose(1, 2, 0), ValueError, "not C-contiguous"),
    ([[0, 1], [2, 3]], TypeError, "numpy.ndarray, not list"),
]


@pytest.mark.parametrize("image,error,message", BAD_IMAGES)
def test_bad_images_raise(image, error, message):
    with pytest.raises(error, match=message):
        telvix.smooth(image)


BAD_OPTIONS = [
    ({"tolerance": 256}, ValueError, "--tolerance: Value 256 not in range 0 to 255"),
    ({"tolerance": -1}, ValueError, "not in range 0 to 255"),
    ({"tolerance": 6.0}, TypeError, "tolerance: expected int, got float"),
    ({"tolerance": True}, TypeError, "tolerance: expected int, got bool"),
    ({"key": "12345"}, ValueError, "--key: '12345' is not a colour"),
    ({"key": (1, 2)}, ValueError, "is not a colour"),
    ({"key": (0, 0, 256)}, ValueError, "is not a colour"),
    ({"key": b"abc"}, ValueError, "is not a colour"),
    ({"key": (0, 0, 1.0)}, TypeError, "key: expected int, got float"),
    ({"key": 5}, TypeError, "key: expected str or (r, g, b), got int"),
    ({"extent": (0, 0, 9, 8)}, ValueError, "--extent: 0,0,9,8 lies outside the 8x8 frame"),
    ({"extent": (0, 0, 10**30, 8)}, ValueError, "is not an extent"),
    ({"extent": (-1, 0, 4, 4)}, ValueError, "lies outside"),
    ({"extent": (4, 4, 4, 8)}, ValueError, "is empty"),
    ({"extent": "1,2,3"}, ValueError, "is not an extent"),
    ({"extent": 5}, TypeError, "extent: expected str or (left, top, right, bottom), got int"),
    ({"threads": 0}, ValueError, "--threads: Value 0 not in range 1 to 256"),
    ({"threads": "2"}, TypeError, "threads: expected int, got str"),
    ({"channel_order": "rgb"}, ValueError, "channel_order: expected 'RGB' or 'BGR', got 'rgb'"),
    ({"channel_order": None}, TypeError, "channel_order: expected str, got NoneType"),
]


@pytest.mark.parametrize("options,error,message", BAD_OPTIONS)
def test_bad_options_raise_the_commands_messages(options, error, message):
    with pytest.raises(error, match=re.escape(message)):
        telvix.smooth(small, **options)


def test_the_command_words_option_errors_the_same_way():
    done = subprocess.run([os.environ.get("TELVIX_COMMAND", "telvix"), "smooth",
                           str(SAMPLES / "cel_small.png"), "out.png", "--tolerance", "256"],
                          capture_output=True, text=True)
    assert "--tolerance: Value 256 not in range 0 to 255" in done.stderr


def test_the_functions_take_the_declared_options_with_their_defaults():
    import inspect
    import telvix.cluster
    from telvix import _telvix

    functions = {2: telvix.smooth, 4: telvix.smooth_file, 8: telvix.smooth_sequence,
                 16: telvix.cluster.smooth_shot}
    for name, kind, default, places in _telvix.options():
        for place, function in functions.items():
            parameters = inspect.signature(function).parameters
            if not places & place:
                assert name not in parameters, (function.__name__, name)
                continue
            if name not in parameters:  # passed on through **options
                assert inspect.Parameter.VAR_KEYWORD in [p.kind for p in parameters.values()]
                continue
            expected = default if default is not None else (False if kind == "flag" else None)
            assert parameters[name].default == expected, (function.__name__, name)


def test_a_missing_plugin_is_one_clear_error(tmp_path):
    script = "import numpy, telvix\ntry:\n    telvix.smooth(numpy.zeros((2, 2), numpy.uint8))\n" \
             "except telvix.FileError as e:\n    print(e)\n"
    env = dict(os.environ, TELVIX_PLUGIN=str(tmp_path / "nothing.so"))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("cannot load the plug-in") and done.stdout.count("\n") == 1


def test_a_failing_render_raises_render_error_with_the_hosts_code():
    script = ("import numpy, telvix\n"
              "try:\n"
              "    telvix.smooth(numpy.zeros((4, 4, 4), numpy.uint16))\n"
              "except telvix.RenderError as e:\n"
              "    print(e.code, e.name, '|', e)\n")
    env = dict(os.environ, TELVIX_PLUGIN=os.environ["TELVIX_FAILING_PLUGIN"])
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("512 PF_Err_INTERNAL_STRUCT_DAMAGED | plug-in render failed: "
                           "PF_Err_INTERNAL_STRUCT_DAMAGED (512)\n")


def test_about_params_and_version():
    assert "Telvix" in telvix.about()
    params = {p.name: p for p in telvix.params()}
    assert params["Do Smooth Range"].default == 6
    assert (params["Do Smooth Range"].minimum, params["Do Smooth Range"].maximum) == (0, 255)
    assert params["Color Key"].default == (255, 255, 255)
    assert params["Use Color Key"].default is False
    version = subprocess.run([os.environ.get("TELVIX_COMMAND", "telvix"), "--version"],
                             capture_output=True, text=True).stdout
    assert version.split()[-1] == telvix.__version__


def test_help_reads_like_numpy():
    text = telvix.smooth.__doc__
    for heading in ("Parameters\n    ----------", "Returns\n    -------", "Raises\n    ------"):
        assert heading in text
