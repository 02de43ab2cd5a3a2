// Moving pixels between file images and the host's worlds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_memory.h"
#include "image.h"
#include "image_read.h"
#include "output_format.h"
#include "standin_host.h"

namespace telvix::cli {

// A world of the image's size at `hostBits` (8 or 16) holding its pixels, converted as
// sample_exchange.h says: grey fills red, green and blue; an image without alpha becomes opaque.
standin::World imageToWorld(const Image& image, int hostBits);

// The world's pixels as an image of the world's depth with `channels` channels (1-4). Grey is
// the rounded mean of red, green and blue; alpha is dropped when `channels` has none.
Image worldToImage(const standin::World& world, int channels);

// The same conversions for pixels a caller holds in its own buffer, laid out as an Image's
// samples (rows of width * channels, channels interleaved, straight alpha): 8-bit samples
// (0-255) or 16-bit ones (0-65535) into a world of `hostBits`, and a world's pixels out into
// samples of its own depth (std::logic_error for the other depth). With `original`, the samples
// the world was made from, every sample the render left unchanged is written back as it was.
standin::World samplesToWorld(const std::uint8_t* samples, int width, int height, int channels,
                              int hostBits);
standin::World samplesToWorld(const std::uint16_t* samples, int width, int height, int channels,
                              int hostBits);
void worldToSamples(const standin::World& world, int channels, std::uint8_t* samples,
                    const std::uint8_t* original = nullptr);
void worldToSamples(const standin::World& world, int channels, std::uint16_t* samples,
                    const std::uint16_t* original = nullptr);

// A page's samples as its file holds them (associated alpha and values outside 0-1 included),
// kept beside its world until it is written, so that every sample the render leaves unchanged is
// written back exactly. Empty where the world holds them exactly already (keepsOriginal).
struct PageSamples {
    std::vector<std::uint16_t> ints;  // integer pages, at `bits`
    std::vector<float> floats;        // floating-point pages (processed at `bits`)
    int bits = 8;
    bool associated = false;
};

// A frame read from a file, or one page of it: the page's description (size, channels, bits,
// stored type, alpha, colour space, metadata; no samples), its pixels in a host world, and its
// samples as read.
struct Frame {
    Image description;
    standin::World world;
    PageSamples original;
};

// Reads every page of `path` straight into worlds of `hostBits` (8 or 16; 0: the file's depth,
// 16 for 10 and 12-bit and floating-point files), a strip of rows at a time, so the whole
// decoded file never sits in memory beside the worlds. With `hostBits` given, the pages are
// written back at that depth (their descriptions say so). Throws CliError as readPagesRows does,
// and when the worlds, a render's two more and its buffers (checkPagesMemory) could not fit in
// `memory` (one of `jobs` jobs' share; bytes 0: the run's whole budget, memoryBudget()),
// checked before any world is made. `checkHeader`, when given, is called with each page's
// description as it will be written (bits: the world's depth) after the headers are read and
// before any pixel memory is taken.
std::vector<Frame> readFrames(const std::filesystem::path& path, int hostBits,
                              const ReadOptions& options,
                              const std::function<void(const Image& page)>& checkHeader = {},
                              const MemoryBudget& memory = {}, int jobs = 1);

// Writes the pages' worlds to `path` with their descriptions' channels (plus alpha when
// `options.keyed` and they have none; then as planOutputLayout decides), stored type, colour
// space and metadata, at the worlds' depth, a strip of rows at a time, replacing `path` only
// once the file is whole.
void writeFramesReplacing(const std::filesystem::path& path, const std::vector<Frame>& pages,
                          const WriteOptions& options);

// "telvix: note: FILE: N samples outside 0-1 clipped" for a file whose pages had samples
// clipped on reading (--clip), else empty.
std::string clippedNote(const std::filesystem::path& path, const std::vector<Frame>& pages);

}  // namespace telvix::cli
