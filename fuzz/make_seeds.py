#!/usr/bin/env python3
"""Writes the render fuzzer's seed inputs into fuzz/corpus/ (layout: see render_fuzzer.cpp)."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

INK = (255, 0, 0, 0)      # alpha, red, green, blue
PAPER = (255, 255, 255, 255)
RED = (255, 255, 0, 0)
HALF = (128, 255, 255, 255)


def pixels(rows, palette_chars):
    """Packs ASCII art, one palette index per character, 2 bits each, low bits first."""
    indices = [palette_chars.index(c) for row in rows for c in row]
    out = bytearray()
    for i in range(0, len(indices), 4):
        b = 0
        for k, v in enumerate(indices[i:i + 4]):
            b |= v << (2 * k)
        out.append(b)
    return bytes(out)


def seed(rows, palette, chars, deep=False, key=False, out_size=None, pads=(0, 0),
         tolerance=6, key_index=1, extent=(0, 255, 0, 255), fill=0xA5, threads=4,
         split_seed=0x2A17, faults=None):
    width, height = len(rows[0]), len(rows)
    flags = (1 if deep else 0) | (2 if key else 0) | (4 if out_size else 0) | (8 if faults else 0)
    ow, oh = out_size or (0, 0)
    data = bytearray([flags, width, height, ow, oh, pads[0], pads[1], tolerance, 0,
                      len(palette) - 1])
    for colour in palette:
        data += bytes(colour)
    data.append(key_index)
    # Extent: left, width, top, height; the fuzzer reduces each into what is left of the frame.
    data += bytes(extent)
    data.append(fill)
    # Host threads 1-16, then the split seed less one, little-endian.
    data += bytes([threads - 1, (split_seed - 1) & 0xFF, (split_seed - 1) >> 8])
    if faults:
        failures, suites, cancel = faults
        data.append(len(failures))
        for callback, at_call, code_choice in failures:
            data += bytes([callback, at_call - 1, code_choice])
        data += bytes([suites, cancel])
    data += pixels(rows, chars)
    return bytes(data)


STAIRS = ["........",
          ".#......",
          ".##.....",
          ".###....",
          ".####...",
          ".##..##.",
          "........"]
LINE = ["..........",
        "......####",
        "..######..",
        "####......",
        ".........."]
KEYED = ["r.r.",
         ".##.",
         "h##r",
         "...."]

SEEDS = {
    "stairs8": seed(STAIRS, [PAPER, INK], ".#", extent=(0, 8, 0, 7), threads=1),
    "stairs16_key": seed(STAIRS, [PAPER, INK], ".#", deep=True, key=True, key_index=0,
                         extent=(0, 8, 0, 7), threads=3, split_seed=0x91),
    "line8_padded_extent": seed(LINE, [PAPER, INK], ".#", pads=(3, 7), extent=(2, 3, 1, 1),
                                threads=2),
    "colours16_smaller_output": seed(KEYED, [PAPER, INK, RED, HALF], ".#rh", deep=True,
                                     out_size=(3, 2), tolerance=0, extent=(0, 3, 0, 2),
                                     threads=16, split_seed=0xFFFF),
    "colours8_larger_output": seed(KEYED, [PAPER, INK, RED, HALF], ".#rh", key=True,
                                   key_index=2, out_size=(9, 6), extent=(1, 2, 1, 2),
                                   threads=8, split_seed=1),
    "empty": seed([""], [PAPER], "."),
    # Faults: (callback index, call number, code choice); suites bits; interrupt after pixels.
    "faults_copy2_dispose": seed(STAIRS, [PAPER, INK], ".#", key=True,
                                 faults=([(0, 2, 6), (2, 1, 0)], 0, 255), extent=(0, 8, 0, 7),
                                 threads=5),
    "faults_refused16": seed(STAIRS, [PAPER, INK], ".#", deep=True,
                             faults=([], 0b000010, 255), extent=(0, 8, 0, 7)),
    "faults_interrupt": seed(LINE, [PAPER, INK], ".#", faults=([], 0, 17), extent=(0, 10, 0, 5),
                             threads=3, split_seed=0x777),
    "about_null_ansi": bytes([0x30, 0, 0b100000, 255]),
    "params_strcpy": bytes([0x70, 1, 4, 2, 0, 0, 255]),
}

if __name__ == "__main__":
    folder = os.path.join(HERE, "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
