#!/usr/bin/env python3
"""telvix smooth against image files written by other tools.

Builds a corpus from samples/cel_small.png with oiiotool and ImageMagick (PNG, TIFF, TGA, DPX,
EXR, JPEG, BMP, WebP in their variants), runs every file through `telvix smooth` into every
output format, and reads each output back with oiiotool (pixels), ImageMagick's identify and,
for TIFF, tiffinfo. The expected pixels are the same smoothing applied to a canonical decode of
the input (oiiotool to a PNG of the input's depth and channels). Then hostile inputs and runs:
pipes, devices, damaged files, signals, bad option values.

Every cell must be ok (identical pixels), refused (exit 1 or 2, one line on stderr, nothing
left in the output folder) or lossy-ok (JPEG, WebP: decodes, right size and channels).
Cells listed in KNOWN_GAPS are run and reported but do not fail the test.

usage: corpus_test.py TELVIX SAMPLES_DIR FRAMES_DIR [--keep DIR] [--jobs N] [--hostile-only]
                      [--sanitized] [--outputs-per-input N]

--outputs-per-input N runs each input into N of the output formats, taken in turn, rather than
into every one: every reader and every writer still runs, each writer on inputs from all through
the corpus, in N/8 of the matrix's time (the sanitizer build; the Release build runs every cell).
"""

import argparse
import fcntl
import fnmatch
import hashlib
import os
import re
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

RUN_TIMEOUT = 30  # seconds for one telvix run in the matrix
HOSTILE_TIMEOUT = 10  # seconds for a hostile run (a hang fails either way)
UNASSOC = ["--iconfig", "oiio:UnassociatedAlpha", "1"]
OUTPUTS = ["png", "tif", "tga", "dpx", "exr", "jpg", "bmp", "webp"]
LOSSY = {"jpg", "webp"}

# Cells the command does not pass yet: run and reported, not failing. Keys are
# "INPUT -> OUTPUT" (fnmatch patterns) for the matrix and "hostile: NAME" for the rest.
KNOWN_GAPS = {
}


def run(cmd, timeout=RUN_TIMEOUT, **kw):
    """Runs a command; returns (returncode or 'timeout', stdout, stderr) as text."""
    try:
        p = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout, **kw)
        return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        return "timeout", (e.stdout or b"").decode(errors="replace"), \
            (e.stderr or b"").decode(errors="replace")


def must(cmd):
    rc, out, err = run(cmd, timeout=120)
    if rc != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed ({rc}): {err.strip()[:300]}")
    return out


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


INFO_RE = re.compile(r":\s*(\d+)\s*x\s*(\d+), (\d+) channel, (\w+) (\w+)")


def info(path, unassoc=True):
    """(width, height, channels, type, format) as oiiotool reads the first subimage, or None."""
    rc, out, _ = run(["oiiotool", "--info"] + (UNASSOC if unassoc else []) + [path])
    m = INFO_RE.search(out) if rc == 0 else None
    if not m:
        return None
    return int(m[1]), int(m[2]), int(m[3]), m[4], m[5]


def associated(path):
    """True when the file holds colour multiplied by alpha: OpenEXR, or TIFF tagged so."""
    rc, out, _ = run(["oiiotool", "--info", "-v"] + UNASSOC + [path])
    m = INFO_RE.search(out) if rc == 0 else None
    if not m or int(m[3]) not in (2, 4):
        return False
    return m[5] == "openexr" or (m[5] == "tiff" and "UnassociatedAlpha: 1" not in out)


def straight_decode(path, bits, extra=()):
    """oiiotool arguments reading `path` as straight colour at `bits`: associated files are
    unpremultiplied in float, the others read as stored."""
    if associated(path):
        return ["-i:type=float", path] + list(extra) + ["--unpremult", "-d", f"uint{bits}"]
    return UNASSOC + [path] + list(extra) + ["-d", f"uint{bits}"]


def as_written(path, reference, premultiplied):
    """oiiotool arguments for an output next to its straight reference, in the output's own
    convention: an associated output is compared with the reference premultiplied in float."""
    if premultiplied:
        # Where alpha is 0 the reference's colour is lost in premultiplying; so is the output's.
        return UNASSOC + ["-i:type=float", path, "--unpremult", "--premult"] + UNASSOC + \
            ["-i:type=float", reference, "--premult"]
    return UNASSOC + [path] + UNASSOC + [reference]


def bits_of(sample_type):
    return {"uint8": 8, "uint10": 10, "uint12": 12, "uint16": 16}.get(sample_type, 0)


def left_files(folder, expected):
    return sorted(f for f in os.listdir(folder) if f != expected)


def one_line(err):
    lines = err.splitlines()
    return len(lines) == 1 and lines[0].strip() != ""


# ---------------------------------------------------------------------------------------------
# The corpus

def png_with_chunks(src, dst):
    """Copies a PNG with a gAMA chunk (1/2.2) and an iCCP chunk (a minimal RGB display
    profile) after IHDR."""
    data = open(src, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    ihdr_end = 8 + 8 + struct.unpack(">I", data[8:12])[0] + 4

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + \
            struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    header = bytearray(128)
    struct.pack_into(">I", header, 0, 132)
    header[8:12] = bytes([2, 0x10, 0, 0])
    header[12:16] = b"mntr"
    header[16:20] = b"RGB "
    header[20:24] = b"XYZ "
    header[36:40] = b"acsp"
    struct.pack_into(">iii", header, 68, 63190, 65536, 54061)  # D50
    profile = bytes(header) + struct.pack(">I", 0)
    iccp = b"corpus\x00\x00" + zlib.compress(profile)
    out = data[:ihdr_end] + chunk(b"gAMA", struct.pack(">I", 45455)) + \
        chunk(b"iCCP", iccp) + data[ihdr_end:]
    open(dst, "wb").write(out)


def make_corpus(samples, d):
    """Writes the corpus into d; returns [(name, path, extra telvix args)]."""
    cel = os.path.join(samples, "cel_small.png")
    base = os.path.join(d, "base.png")  # RGBA, the white paper keyed out
    must(["convert", cel, "-transparent", "white", "PNG32:" + base])
    oi = ["oiiotool", "--nosoftwareattrib"] + UNASSOC + [base]
    items = []

    def add(name, ext, cmd, extra=()):
        path = os.path.join(d, name + "." + ext)
        if callable(cmd):
            cmd(path)
        else:
            must([a.replace("{out}", path) for a in cmd])
        items.append((name, path, list(extra)))

    add("png-rgba8", "png", oi + ["-d", "uint8", "-o", "{out}"])
    add("png-rgba16", "png", oi + ["-d", "uint16", "-o", "{out}"])
    add("png-rgb8", "png", ["convert", cel, "PNG24:{out}"])
    add("png-grey8", "png", ["convert", cel, "-colorspace", "Gray", "-depth", "8",
                             "-define", "png:color-type=0", "{out}"])
    add("png-grey16", "png", ["convert", cel, "-colorspace", "Gray", "-depth", "16",
                              "-define", "png:color-type=0", "{out}"])
    add("png-greyalpha8", "png", ["convert", base, "-colorspace", "Gray", "-depth", "8",
                                  "-define", "png:color-type=4", "{out}"])
    add("png-greyalpha16", "png", ["convert", base, "-colorspace", "Gray", "-depth", "16",
                                   "-define", "png:color-type=4", "{out}"])
    add("png-palette", "png", ["convert", cel, "PNG8:{out}"])
    add("png-palette-trns", "png", ["convert", base, "PNG8:{out}"])
    add("png-interlaced", "png", ["convert", base, "-interlace", "PNG", "PNG32:{out}"])
    add("png-gama-iccp", "png", lambda p: png_with_chunks(base, p))
    add("tif-strip8", "tif", oi + ["--scanline", "--attrib", "tiff:RowsPerStrip", "16",
                                   "--compression", "none", "-o", "{out}"])
    add("tif-tiled8", "tif", oi + ["--tile", "64", "64", "-o", "{out}"])
    add("tif-lzw16", "tif", oi + ["-d", "uint16", "--compression", "lzw", "-o", "{out}"])
    add("tif-deflate8", "tif", ["convert", base, "-compress", "Zip", "{out}"])
    add("tif-planar8", "tif", oi + ["--planarconfig", "separate", "-o", "{out}"])
    add("tif-planar16-lzw", "tif", ["convert", base, "-depth", "16", "-interlace", "plane",
                                    "-compress", "LZW", "{out}"])
    add("tif-multipage", "tif", ["convert", base, cel, "-adjoin", "{out}"])
    add("tif-multipage-mixed", "tif", ["convert", base, "(", cel, "-resize", "50%", "-alpha",
                                       "off", ")", "-adjoin", "{out}"])
    add("tif-tiled-partial16", "tif", oi + ["--cut", "200x150+10+20", "--origin", "+0+0",
                                            "--fullpixels", "-d", "uint16", "--tile", "64",
                                            "64", "-o", "{out}"])
    add("tif-10bit", "tif", oi + ["-d", "uint10", "-o", "{out}"])
    add("tif-10bit-im", "tif", ["convert", base, "-depth", "10", "{out}"])
    add("tif-12bit", "tif", oi + ["-d", "uint12", "-o", "{out}"])
    add("tif-float", "tif", oi + ["-d", "float", "-o", "{out}"])
    add("tga-rle", "tga", oi + ["--compression", "rle", "-o", "{out}"])
    add("tga-raw", "tga", ["convert", base, "-compress", "None", "{out}"])
    add("dpx-10", "dpx", ["convert", cel, "-depth", "10", "{out}"])
    add("dpx-12", "dpx", oi + ["-d", "uint12", "-o", "{out}"])
    # OpenImageIO and ImageMagick read a few pixels of this file differently (words such as
    # 0x1401 0x4019 0x0fff where ImageMagick sees white); the reference is OpenImageIO's.
    add("dpx-12-im", "dpx", ["convert", cel, "-depth", "12", "{out}"])
    add("dpx-16", "dpx", oi + ["-d", "uint16", "-o", "{out}"])
    add("exr-half", "exr", oi + ["-d", "half", "--scanline", "-o", "{out}"])
    add("exr-half-tiled", "exr", oi + ["-d", "half", "--tile", "64", "64", "-o", "{out}"])
    add("exr-float", "exr", oi + ["-d", "float", "--scanline", "-o", "{out}"])
    add("exr-float-tiled", "exr", oi + ["-d", "float", "--tile", "32", "32", "-o", "{out}"])
    # Values above 1 (lights brighter than paper): refused unless --clip.
    add("exr-float-over1", "exr", oi + ["--mulc", "1.5,1.25,1,1", "-d", "float", "-o", "{out}"])
    path_of = {name: path for name, path, _ in items}
    items.append(("exr-float-over1+clip", path_of["exr-float-over1"], ["--clip"]))
    items.append(("exr-half-tiled+depth16", path_of["exr-half-tiled"], ["--depth", "16"]))
    items.append(("exr-float+depth16", path_of["exr-float"], ["--depth", "16"]))
    add("jpeg", "jpg", ["convert", cel, "-quality", "92", "{out}"])
    add("bmp-rgba", "bmp", ["convert", base, "{out}"])
    add("bmp-rgb", "bmp", ["convert", cel, "BMP3:{out}"])
    add("webp-lossless", "webp", ["convert", base, "-define", "webp:lossless=true", "{out}"])
    add("webp-lossy", "webp", ["convert", cel, "-quality", "80", "{out}"])
    return items


# ---------------------------------------------------------------------------------------------
# Expectations

_capability = {}
_capability_lock = threading.Lock()


def can_store(fmt, bits, channels, scratch):
    """Whether OpenImageIO's writer for fmt keeps bits-deep samples in `channels` channels."""
    key = (fmt, bits, channels)
    with _capability_lock:
        if key in _capability:
            return _capability[key]
    folder = tempfile.mkdtemp(dir=scratch)
    probe = os.path.join(folder, "probe." + fmt)
    rc, _, _ = run(["oiiotool", "--nosoftwareattrib", "--create", "8x8", str(channels),
                    "-d", f"uint{bits}", "-o", probe])
    got = info(probe) if rc == 0 else None
    ok = got is not None and got[2] == channels and bits_of(got[3]) == bits
    shutil.rmtree(folder, ignore_errors=True)
    with _capability_lock:
        _capability[key] = ok
    return ok


# Inputs with floating-point samples outside 0-1: refused unless --clip.
OUT_OF_RANGE = {"exr-float-over1"}


class Input:
    def __init__(self, name, path, extra):
        self.name, self.path, self.extra = name, path, extra
        self.refused = False  # the command must refuse it whatever the output
        self.bits = self.channels = self.width = self.height = 0
        self.stored_bits = 0  # 8, 10, 12 or 16 for integers, 0 for floating point
        self.float_type = None  # "half" or "float"
        self.pages = 1
        self.reference = None  # of the first page
        self.associated = False  # colour multiplied by alpha (EXR, TIFF tagged so)
        self.references = []  # one per page


def prepare(inp, telvix, d):
    """Canonical decode of the input (each page) and the reference renders."""
    got = info(inp.path)
    if got is None:
        raise RuntimeError(f"oiiotool cannot read corpus file {inp.name}")
    inp.width, inp.height, inp.channels, sample_type, _ = got
    inp.stored_bits = bits_of(sample_type)
    inp.float_type = sample_type if sample_type in ("half", "float") else None
    m = re.search(r"\((\d+) subimages\)", run(["oiiotool", "--info", inp.path])[1])
    inp.pages = int(m[1]) if m else 1
    depth = int(inp.extra[inp.extra.index("--depth") + 1]) if "--depth" in inp.extra else 0
    if depth:
        inp.bits = depth
    elif inp.stored_bits:
        inp.bits = 8 if inp.stored_bits == 8 else 16
    elif inp.float_type:
        inp.bits = 16  # half and float are processed at 16 bits
    else:
        inp.refused = True  # other sample types without --depth
        return
    if inp.name in OUT_OF_RANGE and "--clip" not in inp.extra:
        inp.refused = True
        return
    folder = os.path.join(d, "ref", inp.name)
    os.makedirs(folder)
    for page in range(inp.pages):
        canon = os.path.join(folder, f"canon{page}.png")
        pick = ["--subimage", str(page)] if inp.pages > 1 else []
        # The PNG is told its alpha is straight, or the writer would divide the colour of
        # semi-transparent pixels by their alpha.
        must(["oiiotool", "--nosoftwareattrib"] + straight_decode(inp.path, inp.bits, pick) +
             ["--attrib", "oiio:UnassociatedAlpha", "1", "-o", canon])
        reference = os.path.join(folder, f"reference{page}.png")
        must([telvix, "smooth", canon, reference, "--quiet"] + inp.extra)
        inp.references.append(reference)
    inp.reference = inp.references[0]
    inp.associated = associated(inp.path)


def key_gap(key):
    for pattern, why in KNOWN_GAPS.items():
        if fnmatch.fnmatch(key, pattern):
            return why
    return None


def check_cell(inp, fmt, telvix, d):
    """Returns (expectation, problem or None)."""
    # What the output format holds decides the expectation: the layout as it is, grey (+ alpha)
    # as RGB(A) where the format has no grey, 10 and 12 bits where the format holds them (else
    # 16), half and float in EXR and float in TIFF (else 16 bits), 8 and 16 bits as half and
    # float in EXR, pages in TIFF; anything else (alpha in JPEG, 16 bits in an 8-bit format,
    # pages in a format of single images) is refused. An explicit --depth is the depth written.
    channels = [inp.channels]
    depth_given = "--depth" in inp.extra
    keeps_float = inp.float_type is not None and not depth_given
    want_bits = inp.bits
    if inp.stored_bits in (10, 12) and not depth_given and \
            can_store(fmt, inp.stored_bits, inp.channels, d):
        want_bits = inp.stored_bits
    if fmt == "exr":
        want_type = inp.float_type if keeps_float else ("half" if inp.bits == 8 else "float")
    elif keeps_float and fmt == "tif":
        want_type = "float"
    else:
        want_type = f"uint{want_bits}"
    if inp.refused or (inp.pages > 1 and fmt != "tif"):
        expect = "refused"
    elif fmt == "exr" or want_type == "float":
        expect = "ok"
    elif can_store(fmt, inp.bits, inp.channels, d):
        expect = "lossy-ok" if fmt in LOSSY else "ok"
    elif inp.channels <= 2 and can_store(fmt, inp.bits, inp.channels + 2, d):
        expect = "lossy-ok" if fmt in LOSSY else "ok"
    else:
        expect = "refused"
    if inp.channels <= 2 and fmt != "exr":
        channels.append(inp.channels + 2)  # grey written as RGB: nothing lost
    folder = os.path.join(d, "cells", f"{inp.name}.{fmt}")
    os.makedirs(folder)
    out_name = "out." + fmt
    out = os.path.join(folder, out_name)
    rc, _, err = run([telvix, "smooth", inp.path, out, "--quiet"] + inp.extra)
    if rc == "timeout":
        return expect, f"hung (killed after {RUN_TIMEOUT} s)"
    if rc < 0:
        return expect, f"killed by signal {-rc}" + \
            (f", left {left_files(folder, '')}" if os.listdir(folder) else "")
    if expect == "refused":
        problems = []
        if rc not in (1, 2):
            problems.append(f"exit {rc}, expected a refusal")
        if rc != 0 and not one_line(err):
            problems.append(f"stderr has {len(err.splitlines())} lines")
        if os.listdir(folder):
            problems.append(f"left {sorted(os.listdir(folder))}")
        return expect, "; ".join(problems) or None
    if rc != 0:
        return expect, f"exit {rc}: {err.strip()[:160]}"
    extra = left_files(folder, out_name)
    if extra:
        return expect, f"left {extra}"
    # The first reader: oiiotool, the header and (for lossless cells) every pixel against the
    # reference in the same run.
    # EXR holds colour premultiplied, TIFF as its input held it; the others straight.
    premultiplied = inp.channels in (2, 4) and (fmt == "exr" or (fmt == "tif" and inp.associated))
    cmd = ["oiiotool", "--info"] + UNASSOC + [out]
    if expect == "ok":
        cmd = ["oiiotool", "--info"] + as_written(out, inp.reference, premultiplied) + ["--diff"]
    rc4, dout, _ = run(cmd)
    m = re.search(re.escape(out) + r" " + INFO_RE.pattern, dout)
    if m is None:
        return expect, "written file is unreadable"
    w, h, ch, sample_type = int(m[1]), int(m[2]), int(m[3]), m[4]
    if (w, h) != (inp.width, inp.height) or ch not in channels:
        return expect, f"read back as {w}x{h} {ch} channels, expected " \
                       f"{inp.width}x{inp.height} {inp.channels}"
    # The second reader: ImageMagick (which has no EXR here), and libtiff's own tool for TIFF.
    rc2, idout, iderr = (0, f"{inp.width} {inp.height}", "") if fmt == "exr" else \
        run(["identify", "-format", "%w %h\n", out])
    if rc2 != 0 or idout.split()[:2] != [str(inp.width), str(inp.height)]:
        return expect, f"identify reads it as {idout.strip()!r} ({iderr.strip()[:100]})"
    if fmt == "tif":
        rc3, tout, terr = run(["tiffinfo", out])
        if rc3 != 0 or f"Image Width: {inp.width} Image Length: {inp.height}" not in tout \
                or "Error" in terr:
            return expect, f"tiffinfo: {terr.strip()[:120]}"
    if expect == "lossy-ok":
        return expect, None
    if sample_type != want_type:
        return expect, f"written with {sample_type} samples, expected {want_type}"
    bits = bits_of(sample_type)
    threshold = 0
    if sample_type == "half":  # within half a step of half near 1, or of the depth
        threshold = max(2.0 ** -12, 0.5 / ((1 << inp.bits) - 1)) + 0.5 / 65535
    elif bits == 0:  # float: every value kept to within half a step of the depth
        threshold = 0.5 / ((1 << inp.bits) - 1)
    elif bits < inp.bits:  # the input's own narrower depth kept: compare after quantising
        threshold = 0.5 / ((1 << bits) - 1) + 1.0 / 65535 + 1e-6
    if inp.associated or premultiplied:
        # Multiplying or dividing by alpha rounds once more on either side.
        threshold += 2.0 / 65535 + (0.5 / 255 if inp.bits == 8 else 0)
    clamp = []
    if "--clip" in inp.extra and bits == 0:
        # Samples outside 0-1 left alone are kept; the reference was made from them clipped.
        clamp = ["--clamp:min=0:max=1"]
    if ch != inp.channels or threshold or clamp:
        expand = ["--ch", "0,0,0" + (",1" if inp.channels == 2 else "")] \
            if ch != inp.channels else []
        args = as_written(out, inp.reference, premultiplied)
        if clamp:
            args = UNASSOC + ["-i:type=float", out] + clamp + args[args.index(out) + 1:]
        rc4, dout, _ = run(["oiiotool"] + args + expand +
                           ["--fail", repr(threshold or 1e-6), "--diff"])
    if rc4 != 0:
        m = re.search(r"Max error\s*=\s*(.*)", dout)
        return expect, "pixels differ from the reference: " + (m[1] if m else dout[-160:])
    # Every page kept, each smoothed as a frame of its own.
    m = re.search(r"\((\d+) subimages\)", run(["oiiotool", "--info", out])[1])
    if (int(m[1]) if m else 1) != inp.pages:
        return expect, f"{m[1] if m else 1} pages written, expected {inp.pages}"
    for page in range(1, inp.pages):
        ref = inp.references[page]
        args = as_written(out, ref, premultiplied)
        at = args.index(out) + 1
        rc5, dout, _ = run(["oiiotool"] + args[:at] + ["--subimage", str(page)] + args[at:] +
                           ["--fail", repr(threshold or 1e-6), "--diff"])
        if rc5 != 0:
            m = re.search(r"Max error\s*=\s*(.*)", dout)
            return expect, f"page {page + 1} differs from its reference: " + \
                (m[1] if m else dout[-160:])
    return expect, None


# ---------------------------------------------------------------------------------------------
# Hostile cases: each returns a problem or None

MEMORY_LIMIT_MB = 600  # the most a refused hostile run may use (max RSS)


def run_measured(cmd, timeout=HOSTILE_TIMEOUT, limits=(), stdout=subprocess.PIPE):
    """Runs a command with resource limits [(resource, value)]; returns (returncode or
    'timeout', stdout, stderr, max RSS in MB) as text, the RSS its own, not other children's."""
    def limit():
        for resource_id, value in limits:
            resource.setrlimit(resource_id, (value, value))
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                         preexec_fn=limit)
    chunks = {"out": b"", "err": b""}

    def drain(stream, key):
        chunks[key] = stream.read()
    readers = [threading.Thread(target=drain, args=(p.stderr, "err"))]
    if p.stdout:
        readers.append(threading.Thread(target=drain, args=(p.stdout, "out")))
    for r in readers:
        r.start()
    deadline = time.time() + timeout
    status = rusage = None
    while True:
        pid, status, rusage = os.wait4(p.pid, os.WNOHANG)
        if pid == p.pid:
            break
        if time.time() > deadline:
            p.kill()
            os.wait4(p.pid, 0)
            status = None
            break
        time.sleep(0.01)
    p.returncode = 0  # reaped here; keeps Popen from waiting again
    for r in readers:
        r.join()
    out, err = chunks["out"].decode(errors="replace"), chunks["err"].decode(errors="replace")
    if status is None:
        return "timeout", out, err, 0
    rc = os.waitstatus_to_exitcode(status)
    return rc, out, err, rusage.ru_maxrss / 1024


def temporaries(folder):
    """The hidden files (temporary ones among them) anywhere under folder."""
    return sorted(os.path.relpath(os.path.join(root, f), folder)
                  for root, _, files in os.walk(folder) for f in files if f.startswith("."))


def host_tag():
    """This machine's name as the command's temporary names carry it."""
    return "".join(c for c in socket.gethostname() if c.isalnum())[:16] or "host"


# --sanitized: the command is an AddressSanitizer/UBSan build. It runs several times slower, so
# waits that cover a whole render are stretched by SLOWDOWN (a stop after a signal must still be
# prompt); and the cases below cannot apply to it, so they are reported as skipped.
SANITIZED = False
SLOWDOWN = 1
NOT_UNDER_SANITIZER = {
    "sigsegv-sequence": "the command leaves crash signals to the sanitizer",
    "sigabrt-sequence": "the command leaves crash signals to the sanitizer",
    "memory-and-jobs": "the sanitizer cannot reserve its shadow memory under RLIMIT_AS",
    "memory-refused": "the sanitizer cannot reserve its shadow memory under RLIMIT_AS",
    "address-space-levels": "the sanitizer cannot reserve its shadow memory under RLIMIT_AS",
}


def set_sanitized():
    global SANITIZED, SLOWDOWN
    SANITIZED = True
    SLOWDOWN = 10


def hostile_cases(telvix, samples, frames_dir, d, corpus):
    cel = os.path.join(samples, "cel_small.png")
    by_name = {name: path for name, path, _ in corpus}
    cases = []

    def refused_case(name, make_input, out_ext="png", args=(), codes=(1,), limits=(),
                     says=None, seconds=None):
        def body():
            folder = os.path.join(d, "hostile", name)
            os.makedirs(folder)
            src = make_input(folder)
            before = sha(src) if os.path.isfile(src) and not os.path.islink(src) else None
            out_folder = os.path.join(folder, "out")
            os.makedirs(out_folder)
            started = time.time()
            rc, _, err, rss = run_measured(
                [telvix, "smooth", src, os.path.join(out_folder, "o." + out_ext), "--quiet"] +
                list(args), limits=limits)
            took = time.time() - started
            problems = []
            if rc == "timeout":
                problems.append(f"hung (killed after {HOSTILE_TIMEOUT} s)")
            elif rc not in codes:
                problems.append(f"exit {rc}, expected {'/'.join(map(str, codes))}")
            elif not one_line(err):
                problems.append(f"stderr has {len(err.splitlines())} lines")
            elif says and says not in err:
                problems.append(f"stderr does not say {says!r}: {err.strip()[:120]}")
            if rss > MEMORY_LIMIT_MB:
                problems.append(f"used {rss:.0f} MB")
            if seconds and took > seconds * SLOWDOWN:
                problems.append(f"took {took:.1f} s")
            if os.listdir(out_folder):
                problems.append(f"left {sorted(os.listdir(out_folder))}")
            if before is not None and sha(src) != before:
                problems.append("input changed")
            return "; ".join(problems) or None
        cases.append((name, body))

    def fifo(folder):
        p = os.path.join(folder, "in.png")
        os.mkfifo(p)
        return p

    def urandom_link(folder):
        p = os.path.join(folder, "noise.png")
        os.symlink("/dev/urandom", p)
        return p

    def tiff_cut(folder):
        p = os.path.join(folder, "cut.tif")
        data = open(by_name["tif-strip8"], "rb").read()
        open(p, "wb").write(data[:len(data) // 2])
        return p

    def png_garbage_idat(folder):
        p = os.path.join(folder, "garbage.png")
        data = bytearray(open(by_name["png-rgba8"], "rb").read())
        pos = 8
        while pos < len(data):
            length = struct.unpack(">I", data[pos:pos + 4])[0]
            kind = bytes(data[pos + 4:pos + 8])
            if kind == b"IDAT":
                body_start = pos + 8
                for i in range(body_start + length // 4, body_start + length // 2):
                    data[i] = (i * 131 + 7) & 0xFF
                crc = zlib.crc32(bytes(data[pos + 4:body_start + length])) & 0xFFFFFFFF
                struct.pack_into(">I", data, body_start + length, crc)
                break
            pos += 12 + length
        open(p, "wb").write(bytes(data))
        return p

    refused_case("fifo-input", fifo)
    refused_case("dev-zero-input", lambda f: "/dev/zero")
    refused_case("urandom-symlink-input", urandom_link)
    refused_case("tiff-cut-in-half", tiff_cut)
    refused_case("png-garbage-in-idat", png_garbage_idat)
    refused_case("compression-bogus-png", lambda f: cel, "png", ["--compression", "bogus"],
                 (1, 2))
    refused_case("compression-bogus-tif", lambda f: cel, "tif", ["--compression", "bogus"],
                 (1, 2))

    def tiff_claiming_30000(folder):
        """A 9 kB TIFF whose directory claims 30000 x 30000 pixels."""
        p = os.path.join(folder, "claims.tif")
        data = bytearray(open(by_name["tif-strip8"], "rb").read())
        assert data[:2] == b"II"
        directory = struct.unpack_from("<I", data, 4)[0]
        for i in range(struct.unpack_from("<H", data, directory)[0]):
            entry = directory + 2 + 12 * i
            if struct.unpack_from("<H", data, entry)[0] in (256, 257):
                struct.pack_into("<HII", data, entry + 2, 4, 1, 30000)
        open(p, "wb").write(bytes(data))
        return p

    def png_text_2g(folder):
        """56 bytes: a PNG whose text chunk claims 2^31 bytes."""
        p = os.path.join(folder, "text.png")

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + \
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
        data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 64, 64, 8, 6, 0, 0, 0))
        data += struct.pack(">I", 1 << 31) + b"tEXt" + b"Comment\x00aaaaaaa"
        assert len(data) == 56
        open(p, "wb").write(data)
        return p

    # Claimed sizes: refused from the header, fast and in bounded memory.
    refused_case("tiff-claims-30000x30000", tiff_claiming_30000, says="claims", seconds=5)
    refused_case("png-text-chunk-claims-2g", png_text_2g, says="claims", seconds=5)
    # A file-size limit (SIGXFSZ): the write fails in one line, its temporary file removed.
    refused_case("file-size-limit", lambda f: by_name["png-rgba16"], "png",
                 ["--compression", "0"], limits=[(resource.RLIMIT_FSIZE, 16 * 1024)],
                 says="File too large")

    def missing_folder():
        folder = os.path.join(d, "hostile", "missing-output-folder")
        os.makedirs(folder)
        rc, _, err = run([telvix, "smooth", cel, os.path.join(folder, "nowhere", "o.png"),
                          "--quiet"], timeout=HOSTILE_TIMEOUT)
        if rc != 1 or not one_line(err):
            return f"exit {rc}, {len(err.splitlines())} stderr lines"
        if os.listdir(folder):
            return f"left {os.listdir(folder)}"
        return None
    cases.append(("missing-output-folder", missing_folder))

    def tiled_partial():
        folder = os.path.join(d, "hostile", "tiled-tiff-partial-tiles")
        os.makedirs(folder)
        src = os.path.join(folder, "tiled.tif")
        must(["oiiotool", "--nosoftwareattrib", cel, "--cut", "100x70+30+40", "--origin",
              "+0+0", "--fullpixels", "--tile", "64", "64", "-o", src])
        canon = os.path.join(folder, "canon.png")
        must(["oiiotool", "--nosoftwareattrib"] + straight_decode(src, 8) +
             ["--attrib", "oiio:UnassociatedAlpha", "1", "-o", canon])
        ref = os.path.join(folder, "ref.png")
        must([telvix, "smooth", canon, ref, "--quiet"])
        before = sha(src)
        out_folder = os.path.join(folder, "out")
        os.makedirs(out_folder)
        out = os.path.join(out_folder, "o.tif")
        rc, _, err = run([telvix, "smooth", src, out, "--quiet"], timeout=HOSTILE_TIMEOUT)
        if rc != 0:
            return f"exit {rc} {err.strip()[:100]}"
        if os.listdir(out_folder) != ["o.tif"]:
            return f"left {os.listdir(out_folder)}"
        if sha(src) != before:
            return "input changed"
        rc, dout, _ = run(["oiiotool"] + as_written(out, ref, associated(src)) +
                          ["--fail", repr(1.0 / 255 + 1e-6), "--diff"])
        return None if rc == 0 else "pixels differ from the reference"
    cases.append(("tiled-tiff-partial-tiles", tiled_partial))

    def tolerance_0255():
        folder = os.path.join(d, "hostile", "tolerance-0255")
        os.makedirs(folder)
        ref = os.path.join(folder, "t255.png")
        must([telvix, "smooth", cel, ref, "--quiet", "--tolerance", "255"])
        out_folder = os.path.join(folder, "out")
        os.makedirs(out_folder)
        out = os.path.join(out_folder, "t0255.png")
        rc, _, err = run([telvix, "smooth", cel, out, "--quiet", "--tolerance", "0255"],
                         timeout=HOSTILE_TIMEOUT)
        if rc == 2:  # a usage error is a right answer ...
            if not one_line(err):
                return f"stderr has {len(err.splitlines())} lines"
            return f"left {os.listdir(out_folder)}" if os.listdir(out_folder) else None
        if rc == 0:  # ... and so is reading it as decimal 255, never as octal
            return None if sha(out) == sha(ref) else "0255 is not taken as 255"
        return f"exit {rc}"
    cases.append(("tolerance-0255", tolerance_0255))

    # Sequences: a run long enough to be interrupted.
    def sequence(name, frames=24):
        folder = os.path.join(d, "hostile", name)
        plates = os.path.join(folder, "plates")
        out = os.path.join(folder, "out")
        os.makedirs(plates)
        os.makedirs(out)
        src = os.path.join(frames_dir, "h00_aliased.png")
        for i in range(1, frames + 1):
            shutil.copyfile(src, os.path.join(plates, f"shot.{i:04d}.png"))
        return plates, out, sha(src)

    def check_sequence(plates, out, digest):
        problems = []
        temps = [f for f in os.listdir(out) if not re.fullmatch(r"shot\.\d{4}\.png", f)]
        if temps:
            problems.append(f"left {sorted(temps)[:3]}")
        for f in sorted(os.listdir(out)):
            if f not in temps and info(os.path.join(out, f)) is None:
                problems.append(f"{f} is unreadable")
        if any(sha(os.path.join(plates, f)) != digest for f in os.listdir(plates)):
            problems.append("an input changed")
        return problems

    def interrupted(name, signals, codes):
        def body():
            plates, out, digest = sequence(name)
            p = subprocess.Popen([telvix, "smooth", os.path.join(plates, "shot.####.png"),
                                  os.path.join(out, "shot.####.png"), "--quiet"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
            deadline = time.time() + 10
            while time.time() < deadline and not any(
                    re.fullmatch(r"shot\.\d{4}\.png", f) for f in os.listdir(out)):
                time.sleep(0.01)
            for i, sig in enumerate(signals):
                if i:
                    time.sleep(0.02)
                p.send_signal(sig)
            try:
                _, err = p.communicate(timeout=HOSTILE_TIMEOUT)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
                return "hung after the signal"
            problems = check_sequence(plates, out, digest)
            if p.returncode not in codes:
                problems.append(f"exit {p.returncode}")
            if len(err.decode(errors="replace").splitlines()) > 1:
                problems.append("more than one line on stderr")
            done = len([f for f in os.listdir(out) if f.startswith("shot.")])
            if done >= 24:
                problems.append("the run was not interrupted (all frames done)")
            return "; ".join(problems) or None
        cases.append((name, body))

    interrupted("sigterm-sequence", [signal.SIGTERM], (130,))
    interrupted("sighup-sequence", [signal.SIGHUP], (130,))
    interrupted("double-sigint-sequence", [signal.SIGINT, signal.SIGINT], (130,))
    interrupted("sigint-then-sigterm-sequence", [signal.SIGINT, signal.SIGTERM], (130,))
    # A crash (stood in for by the signal): temporary files removed, death by the signal.
    interrupted("sigsegv-sequence", [signal.SIGSEGV], (-signal.SIGSEGV,))
    interrupted("sigabrt-sequence", [signal.SIGABRT], (-signal.SIGABRT,))

    def verbose_head():
        plates, out, digest = sequence("verbose-head-1", frames=8)
        p = subprocess.Popen([telvix, "smooth", os.path.join(plates, "shot.####.png"),
                              os.path.join(out, "shot.####.png"), "--verbose", "--jobs", "1"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        p.stdout.readline()
        p.stdout.close()  # `| head -1`
        try:
            err = p.stderr.read()
            p.wait(timeout=HOSTILE_TIMEOUT)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            return "hung after its stdout closed"
        problems = check_sequence(plates, out, digest)
        # As cat and other tools end on a closed pipe: by SIGPIPE, without a word.
        if p.returncode not in (141, -signal.SIGPIPE):
            problems.append(f"exit {p.returncode}")
        if err.strip():
            problems.append(f"stderr says {err.strip()[:100]!r}")
        return "; ".join(problems) or None
    cases.append(("verbose-head-1", verbose_head))

    def sigkill_orphans():
        """SIGKILL leaves temporary files; the next run into the folder removes them and
        nothing else."""
        plates, out, digest = sequence("sigkill-orphans")
        cmd = [telvix, "smooth", os.path.join(plates, "shot.####.png"),
               os.path.join(out, "shot.####.png"), "--quiet", "--jobs", "2"]
        orphans = []
        for _ in range(5):  # the kill must land while a frame is being written
            p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            deadline = time.time() + 10
            while time.time() < deadline and not temporaries(out):
                time.sleep(0.002)
            p.kill()
            p.wait()
            orphans = temporaries(out)
            if orphans:
                break
        if not orphans:
            return "no temporary file to orphan"
        # Files the next run must leave alone: another machine's, a live process's (this one's),
        # and hidden files of other naming.
        # and one whose process is gone but which another process holds locked (as a process
        # in another pid namespace would).
        gone = subprocess.Popen(["true"])
        gone.wait()
        locked = f".shot.0004.telvix-{host_tag()}-{gone.pid}-abcdef.png"
        keep = [f".shot.0001.telvix-elsewhere-{p.pid}-abcdef.png",
                f".shot.0002.telvix-{host_tag()}-{os.getpid()}-abcdef.png",
                ".shot.0003.telvix-notes.png", ".keep.txt", locked]
        for name in keep:
            open(os.path.join(out, name), "w").write("not the command's")
        with open(os.path.join(out, locked)) as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            # The rest of the sequence: about 20 frames, which under AddressSanitizer on a
            # loaded machine take over a minute.
            rc, _, err = run(cmd[:-2] + ["--skip-existing", "--jobs", "2"], timeout=240)
        problems = []
        if rc != 0:
            problems.append(f"exit {rc}: {err.strip()[:100]}")
        left = set(temporaries(out))
        if left & set(orphans):
            problems.append(f"orphans left: {sorted(left & set(orphans))}")
        if left != set(keep):
            problems.append(f"hidden files now {sorted(left)}")
        if any(sha(os.path.join(plates, f)) != digest for f in os.listdir(plates)):
            problems.append("an input changed")
        return "; ".join(problems) or None
    cases.append(("sigkill-orphans", sigkill_orphans))

    def big_noise(folder):
        """A frame that takes a while to read and to write: 2500 x 2500 of noise."""
        src = os.path.join(folder, "noise.png")
        must(["oiiotool", "--nosoftwareattrib", "--pattern", "noise", "2500x2500", "4",
              "-d", "uint8", "-o", src])
        return src

    def sigint_single(name, when):
        """SIGINT while one image is read or written: status 130, one line, no output and
        no temporary file, promptly."""
        def body():
            folder = os.path.join(d, "hostile", name)
            out = os.path.join(folder, "out")
            os.makedirs(out)
            src = big_noise(folder)
            digest = sha(src)
            p = subprocess.Popen([telvix, "smooth", src, os.path.join(out, "o.png"),
                                  "--compression", "9", "--threads", "1"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
            # The signal is meant for the read or the write, not the render between them.
            if when == "write":  # once its temporary file exists, after the render
                deadline = time.time() + 20 * SLOWDOWN
                while time.time() < deadline and not temporaries(out):
                    time.sleep(0.002)
            else:  # once it has the file open
                deadline = time.time() + 20
                fds = f"/proc/{p.pid}/fd"
                while time.time() < deadline and p.poll() is None:
                    try:
                        if any(os.readlink(os.path.join(fds, fd)) == src
                               for fd in os.listdir(fds)):
                            break
                    except OSError:
                        pass
                    time.sleep(0.002)
            signalled = time.time()
            p.send_signal(signal.SIGINT)
            try:
                _, err = p.communicate(timeout=HOSTILE_TIMEOUT)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
                return "hung after SIGINT"
            took = time.time() - signalled
            err = err.decode(errors="replace")
            problems = []
            if p.returncode != 130:
                problems.append(f"exit {p.returncode}")
            if not one_line(err):
                problems.append(f"stderr has {len(err.splitlines())} lines: {err[:200]!r}")
            left = os.listdir(out)
            if left and left != ["o.png"]:
                problems.append(f"left {left}")
            if left == ["o.png"] and info(os.path.join(out, "o.png")) is None:
                problems.append("o.png is not whole")
            if took > 2:
                problems.append(f"took {took:.1f} s to stop")
            if sha(src) != digest:
                problems.append("input changed")
            return "; ".join(problems) or None
        cases.append((name, body))

    sigint_single("sigint-single-image-read", "read")
    sigint_single("sigint-single-image-write", "write")

    def jpeg_full_disk():
        """JPEG into a full disk: libjpeg would end the process on the failed write."""
        folder = os.path.join(d, "hostile", "jpeg-full-disk")
        full = os.path.join(folder, "full")
        os.makedirs(full)
        src = big_noise(folder)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", full],
                          stderr=subprocess.DEVNULL).returncode != 0:
            print("corpus: hostile jpeg-full-disk: cannot mount a tmpfs here, skipped")
            return None
        try:
            # The write fails only after the whole render.
            rc, _, err, rss = run_measured([telvix, "smooth", src, os.path.join(full, "o.jpg"),
                                            "--quiet", "--drop-alpha"],
                                           timeout=HOSTILE_TIMEOUT * SLOWDOWN)
            problems = []
            if rc != 1:
                problems.append(f"exit {rc}")
            if not one_line(err) or "No space left on device" not in err:
                problems.append(f"stderr {err.strip()[:120]!r}")
            if os.listdir(full):
                problems.append(f"left {os.listdir(full)}")
            return "; ".join(problems) or None
        finally:
            subprocess.run(["umount", full])
    cases.append(("jpeg-full-disk", jpeg_full_disk))

    def flat_frames(name, count, size, channels=1):
        """`count` flat PNG frames of size x size (or size = (width, height)) with `channels`,
        grey by default: 65 kB each at 7000 x 7000."""
        width, height = size if isinstance(size, tuple) else (size, size)
        folder = os.path.join(d, "hostile", name)
        plates = os.path.join(folder, "plates")
        os.makedirs(plates)
        first = os.path.join(plates, "f.0001.png")
        must(["oiiotool", "--nosoftwareattrib", "--create", f"{width}x{height}", str(channels),
              "-d", "uint8", "-o", first])
        for i in range(2, count + 1):
            shutil.copyfile(first, os.path.join(plates, f"f.{i:04d}.png"))
        return folder, plates

    def memory_and_jobs():
        """Four 65 kB files of 7000 x 7000 at --jobs 4 with 1.6 GB of address space: the jobs
        are cut to what fits (a frame's render takes 0.6 GB), and the run succeeds."""
        folder, plates = flat_frames("memory-and-jobs", 4, 7000)
        out = os.path.join(folder, "out")
        rc, _, err, rss = run_measured(
            [telvix, "smooth", os.path.join(plates, "f.####.png"),
             os.path.join(out, "f.####.png"), "--jobs", "4"],
            timeout=120, limits=[(resource.RLIMIT_AS, 1600 << 20)])
        problems = []
        if rc != 0:
            problems.append(f"exit {rc}: {err.strip()[:160]}")
        elif "warning" not in err or "instead of 4" not in err:
            problems.append(f"no warning about the jobs: {err.strip()[:120]!r}")
        if rss > 1300:
            problems.append(f"used {rss:.0f} MB")
        if os.path.isdir(out) and (temporaries(out) or len(os.listdir(out)) != 4):
            problems.append(f"out holds {sorted(os.listdir(out))}")
        return "; ".join(problems) or None
    cases.append(("memory-and-jobs", memory_and_jobs))

    def memory_refused():
        """A frame whose render cannot fit at all is refused in one line before any work."""
        folder, plates = flat_frames("memory-refused", 2, 7000)
        out = os.path.join(folder, "out")
        rc, _, err, rss = run_measured(
            [telvix, "smooth", os.path.join(plates, "f.####.png"),
             os.path.join(out, "f.####.png"), "--quiet", "--depth", "16"],
            limits=[(resource.RLIMIT_AS, 1200 << 20)])
        problems = []
        if rc != 1 or not one_line(err) or "needs" not in err:
            problems.append(f"exit {rc}: {err.strip()[:160]!r}")
        if rss > MEMORY_LIMIT_MB:
            problems.append(f"used {rss:.0f} MB")
        if os.path.exists(out):
            problems.append(f"out holds {sorted(os.listdir(out))}")
        return "; ".join(problems) or None
    cases.append(("memory-refused", memory_refused))

    def address_space_levels():
        """A 4K frame alone and four at --jobs 8 under address-space limits from below what the
        libraries need to load up to enough: each run succeeds or ends with status 1 or 2 in
        telvix's own lines (one for the image), never by a signal or the loader's status."""
        folder, plates = flat_frames("address-space-levels", 4, (3840, 2160), 4)
        problems = []
        for mb in (200, 390, 410, 430, 470, 560, 700):
            for name, args in (("image", [os.path.join(plates, "f.0001.png"), "o.png"]),
                               ("jobs 8", [os.path.join(plates, "f.####.png"), "o.####.png",
                                           "--jobs", "8"])):
                out = os.path.join(folder, f"out-{mb}-{name[0]}")
                os.makedirs(out)
                rc, _, err, _ = run_measured(
                    [telvix, "smooth"] + args[:1] + [os.path.join(out, args[1])] + args[2:],
                    timeout=120, limits=[(resource.RLIMIT_AS, mb << 20)])
                lines = err.strip().splitlines()
                said = all(line.startswith("telvix: ") for line in lines)
                if rc not in (0, 1, 2) or not said or (rc != 0 and not lines) or \
                        (name == "image" and rc != 0 and not one_line(err)):
                    problems.append(f"{mb} MB {name}: exit {rc}: {err.strip()[-160:]!r}")
                if temporaries(out):
                    problems.append(f"{mb} MB {name}: left {temporaries(out)}")
        return "; ".join(problems) or None
    cases.append(("address-space-levels", address_space_levels))

    def cel_frames(name, numbers):
        """A hostile case's folder with plates/s.NNNN.png copies of the cel for `numbers`."""
        folder = os.path.join(d, "hostile", name)
        plates = os.path.join(folder, "plates")
        os.makedirs(plates)
        for n in numbers:
            shutil.copyfile(cel, os.path.join(plates, f"s.{n:04d}.png"))
        return folder, plates

    def stray_frame_number():
        """s.99999999.png beside five frames: a separate numbering, planned in no time."""
        folder, plates = cel_frames("stray-frame-number", (1, 2, 3, 4, 5, 99999999))
        out = os.path.join(folder, "out")
        started = time.time()
        rc, _, err, rss = run_measured([telvix, "smooth", os.path.join(plates, "s.####.png"),
                                        os.path.join(out, "s.####.png"), "--quiet"])
        problems = []
        if rc != 0:
            problems.append(f"exit {rc}: {err.strip()[:120]}")
        if time.time() - started > 5 * SLOWDOWN:
            problems.append(f"took {time.time() - started:.1f} s")
        if rss > 300:
            problems.append(f"used {rss:.0f} MB")
        if os.path.isdir(out) and len(os.listdir(out)) != 6:
            problems.append(f"out holds {sorted(os.listdir(out))}")
        return "; ".join(problems) or None
    cases.append(("stray-frame-number", stray_frame_number))

    def output_folder_per_frame():
        """A pattern whose frames land in folders that do not exist yet: all are created."""
        folder, plates = cel_frames("output-folder-per-frame", range(1, 5))
        out = os.path.join(folder, "out")
        rc, _, err = run([telvix, "smooth", os.path.join(plates, "s.%04d.png"),
                          os.path.join(out, "%04d", "shot", "f.png"), "--quiet"],
                         timeout=HOSTILE_TIMEOUT)
        if rc != 0:
            return f"exit {rc}: {err.strip()[:120]}"
        missing = [n for n in range(1, 5)
                   if info(os.path.join(out, f"{n:04d}", "shot", "f.png")) is None]
        return f"frames {missing} not written" if missing else None
    cases.append(("output-folder-per-frame", output_folder_per_frame))
    if SANITIZED:
        for name, _ in cases:
            if name in NOT_UNDER_SANITIZER:
                print(f"corpus: hostile {name}: skipped, {NOT_UNDER_SANITIZER[name]}")
        cases = [c for c in cases if c[0] not in NOT_UNDER_SANITIZER]
    return cases


# ---------------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("telvix")
    ap.add_argument("samples")
    ap.add_argument("frames")
    ap.add_argument("--keep", help="work in this folder and leave it")
    ap.add_argument("--hostile-only", action="store_true", help="skip the format matrix")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--sanitized", action="store_true",
                    help="TELVIX is a sanitizer build: slower, crash and memory cases skipped")
    ap.add_argument("--outputs-per-input", type=int, default=len(OUTPUTS),
                    help="each input into this many output formats, taken in turn")
    a = ap.parse_args()
    if a.sanitized:
        set_sanitized()
    telvix = os.path.abspath(a.telvix)

    missing = [t for t in ("oiiotool", "convert", "identify", "tiffinfo")
               if shutil.which(t) is None]
    if not missing and "ImageMagick" not in run(["convert", "-version"])[1]:
        missing.append("convert (ImageMagick)")
    if missing:
        print(f"corpus: skipped, missing {', '.join(missing)} "
              "(scripts/install-deps.sh installs them)")
        return 77

    started = time.time()
    if a.keep:
        shutil.rmtree(a.keep, ignore_errors=True)
        os.makedirs(a.keep)
        d = os.path.abspath(a.keep)
    else:
        d = tempfile.mkdtemp(prefix="telvix-corpus-")
    try:
        return run_all(telvix, a, d, started)
    finally:
        if not a.keep:
            shutil.rmtree(d, ignore_errors=True)


def matrix_cells(inputs, per_input):
    """The (input, output format) cells: every input into every format, or into per_input of
    them taken in turn, so that input k goes to formats k*per_input, k*per_input + 1, ... (mod
    the number of formats) and each format gets inputs from all through the corpus."""
    n = min(max(per_input, 1), len(OUTPUTS))
    if n == len(OUTPUTS):
        return [(i, f) for i in inputs for f in OUTPUTS]
    return [(inp, OUTPUTS[(k * n + j) % len(OUTPUTS)])
            for k, inp in enumerate(inputs) for j in range(n)]


def timed(case):
    t = time.time()
    problem = case[1]()
    print(f"corpus: hostile {case[0]}: {time.time() - t:.1f} s", flush=True)
    return problem


def run_all(telvix, a, d, started):
    corpus_dir = os.path.join(d, "corpus")
    os.makedirs(corpus_dir)
    corpus = make_corpus(a.samples, corpus_dir)
    digests = {p: sha(p) for _, p, _ in corpus}
    inputs = [] if a.hostile_only else [Input(*c) for c in corpus]
    with ThreadPoolExecutor(a.jobs) as pool:
        list(pool.map(lambda i: prepare(i, telvix, d), inputs))
        print(f"corpus: made and decoded in {time.time() - started:.0f} s", flush=True)
        cells = matrix_cells(inputs, a.outputs_per_input)
        results = list(pool.map(lambda c: check_cell(c[0], c[1], telvix, d), cells))
        print(f"corpus: matrix done at {time.time() - started:.0f} s", flush=True)
        hostile = hostile_cases(telvix, a.samples, a.frames, d, corpus)
        hostile_results = list(pool.map(timed, hostile))

    counts = {"ok": 0, "refused": 0, "lossy-ok": 0}
    passed = failed = 0
    gaps, gaps_passing = [], []
    for (inp, fmt), (expect, problem) in zip(cells, results):
        key = f"{inp.name} -> {fmt}"
        why = key_gap(key)
        if why:
            (gaps_passing if problem is None else gaps).append(
                (key, expect, problem or "passes now", why))
            continue
        if problem is None:
            passed += 1
            counts[expect] += 1
        else:
            failed += 1
            print(f"FAIL {key}: expected {expect}: {problem}")
    hostile_passed = 0
    for (name, _), problem in zip(hostile, hostile_results):
        key = f"hostile: {name}"
        why = key_gap(key)
        if why:
            (gaps_passing if problem is None else gaps).append(
                (key, "", problem or "passes now", why))
            continue
        if problem is None:
            passed += 1
            hostile_passed += 1
        else:
            failed += 1
            print(f"FAIL {key}: {problem}")
    for _, p, _ in corpus:
        if sha(p) != digests[p]:
            failed += 1
            print(f"FAIL corpus file {os.path.basename(p)} was changed")

    print("known gaps (reported, not failing):")
    for key, expect, problem, why in gaps:
        print(f"  GAP {key}" + (f" (expected {expect})" if expect else "") + f": {problem}")
    for key, expect, problem, why in gaps_passing:
        print(f"  GAP PASSES NOW {key}: move it to the enforced cells")
    n_out = min(max(a.outputs_per_input, 1), len(OUTPUTS))
    print(f"corpus: {len(inputs)} inputs x {n_out} outputs = {len(cells)} cells: "
          f"{counts['ok']} ok, {counts['refused']} refused as expected, "
          f"{counts['lossy-ok']} lossy-ok; {len(hostile)} hostile cases, {hostile_passed} "
          f"passed; {len(gaps) + len(gaps_passing)} known gaps "
          f"({len(gaps_passing)} of them pass now); {time.time() - started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
