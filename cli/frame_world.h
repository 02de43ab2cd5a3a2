// Moving pixels between file images and the host's worlds.
#pragma once

#include <functional>

#include "image_io.h"
#include "standin_host.h"

namespace telvix::cli {

// A world of the image's size at `hostBits` (8 or 16) holding its pixels. Samples become host
// channels (16-bit file values with fileToHost16, 8-bit values widened with widen8To16 for a
// 16-bit world, 16-bit values narrowed for an 8-bit one); grey fills red, green and blue; an
// image without alpha becomes opaque.
standin::World imageToWorld(const Image& image, int hostBits);

// The world's pixels as an image of the world's depth with `channels` channels (1-4). Grey is
// the rounded mean of red, green and blue; alpha is dropped when `channels` has none.
Image worldToImage(const standin::World& world, int channels);

// A frame read from a file: the file's description (size, channels, bits, colour space,
// metadata; no samples) and its pixels in a host world.
struct Frame {
    Image description;
    standin::World world;
};

// Reads `path` straight into a world of `hostBits` (8 or 16; 0: the file's depth), a strip of
// rows at a time, so the whole decoded file never sits in memory beside the world.
// `otherFormatsAs` is readImage's. Throws CliError as readImage does, and when the render's
// three worlds could not fit in the machine's memory (checked before the world is made).
// `checkHeader`, when given, is called with the file's channels and the depth it will be
// processed at, after its header is read and before any pixel memory is taken. The three worlds
// must fit in `memoryBytes` (one of `jobs` jobs' share; 0: the run's whole budget,
// memoryBudgetBytes less kFrameOverheadBytes).
Frame readFrame(const std::filesystem::path& path, int hostBits, int otherFormatsAs,
                const std::function<void(int channels, int bits)>& checkHeader = {},
                std::uint64_t memoryBytes = 0, int jobs = 1);

// Writes the world's pixels to `path` with `description`'s channels (plus alpha when
// `options.keyed` and it has none; then as planOutputLayout decides), colour space and metadata,
// at the world's depth, a strip of rows at a time, replacing `path` only once the file is whole.
void writeFrameReplacing(const std::filesystem::path& path, const standin::World& world,
                         const Image& description, const WriteOptions& options);

}  // namespace telvix::cli
