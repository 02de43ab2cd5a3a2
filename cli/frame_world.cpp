#include "frame_world.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include "channel_convert.h"
#include "cli_error.h"
#include "image_write.h"
#include "memory_budget.h"

namespace telvix::cli {
namespace {

// The first pixel of row y. Rows are `rowbytes` apart and may be padded, so the address is
// worked out in bytes, in pointer-sized arithmetic so that large frames cannot overflow.
template <typename Pixel>
Pixel* rowOf(PF_EffectWorld& world, int y)
{
    auto* base = reinterpret_cast<std::uint8_t*>(world.data);
    return reinterpret_cast<Pixel*>(base + std::ptrdiff_t(y) * world.rowbytes);
}

template <typename Pixel>
const Pixel* rowOf(const PF_EffectWorld& world, int y)
{
    const auto* base = reinterpret_cast<const std::uint8_t*>(world.data);
    return reinterpret_cast<const Pixel*>(base + std::ptrdiff_t(y) * world.rowbytes);
}

// One file sample of `fileBits` as a channel of the world's depth.
template <typename Pixel>
auto toHost(std::uint16_t sample, int fileBits)
{
    if constexpr (std::is_same_v<Pixel, PF_Pixel8>) {
        return fileBits == 8 ? static_cast<std::uint8_t>(sample)
                             : narrow16To8(fileToHost16(sample));
    } else {
        return fileBits == 8 ? widen8To16(static_cast<std::uint8_t>(sample)) : fileToHost16(sample);
    }
}

// One host channel as a file sample of the world's depth.
template <typename Pixel>
std::uint16_t toFile(decltype(Pixel::red) channel)
{
    if constexpr (std::is_same_v<Pixel, PF_Pixel8>) {
        return channel;
    } else {
        return hostToFile16(channel);
    }
}

// Rows of file samples as laid out in an Image: `width` pixels of `channels` per row, samples
// of `bits` (8 or 16) held as Sample (an Image's uint16_t, or a caller's uint8_t for 8 bits).
template <typename Sample>
struct Rows {
    const Sample* samples;
    int width;
    int channels;
    int bits;
    std::uint16_t at(int x, int y, int c) const
    {
        return samples[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                        static_cast<std::size_t>(x)) *
                           static_cast<std::size_t>(channels) +
                       static_cast<std::size_t>(c)];
    }
};

// Copies `rows` rows of samples into the world from row `first` on, from the file's RGBA order
// to the host's ARGB.
template <typename Pixel, typename Sample>
void fillRows(const Rows<Sample>& in, int first, int rows, PF_EffectWorld& world)
{
    const bool grey = in.channels <= 2;
    const bool alpha = in.channels == 2 || in.channels == 4;
    const auto opaque = toHost<Pixel>(in.bits == 8 ? 255 : 65535, in.bits);
    for (int y = 0; y < rows; ++y) {
        Pixel* row = rowOf<Pixel>(world, first + y);
        for (int x = 0; x < in.width; ++x) {
            Pixel& p = row[x];
            p.red = toHost<Pixel>(in.at(x, y, 0), in.bits);
            p.green = grey ? p.red : toHost<Pixel>(in.at(x, y, 1), in.bits);
            p.blue = grey ? p.red : toHost<Pixel>(in.at(x, y, 2), in.bits);
            p.alpha = alpha ? toHost<Pixel>(in.at(x, y, in.channels - 1), in.bits) : opaque;
        }
    }
}

// Copies `rows` rows of the world from row `first` on into `out` samples of `channels`.
template <typename Pixel, typename Sample>
void readRows(const PF_EffectWorld& world, int first, int rows, int channels, Sample* out)
{
    const bool alpha = channels == 2 || channels == 4;
    for (int y = 0; y < rows; ++y) {
        const Pixel* row = rowOf<Pixel>(world, first + y);
        for (int x = 0; x < world.width; ++x) {
            const Pixel& p = row[x];
            const Sample red = static_cast<Sample>(toFile<Pixel>(p.red));
            const Sample green = static_cast<Sample>(toFile<Pixel>(p.green));
            const Sample blue = static_cast<Sample>(toFile<Pixel>(p.blue));
            // A grey input gives equal red, green and blue, and the engine blends every
            // channel alike, so the mean only matters for a keyed colour that is not grey.
            if (channels <= 2) {
                *out++ = static_cast<Sample>((std::uint32_t{red} + green + blue + 1u) / 3u);
            } else {
                *out++ = red;
                *out++ = green;
                *out++ = blue;
            }
            if (alpha) *out++ = static_cast<Sample>(toFile<Pixel>(p.alpha));
        }
    }
}

template <typename Sample>
void fillRows(const Rows<Sample>& in, int first, int rows, standin::World& world)
{
    if (world.deep()) {
        fillRows<PF_Pixel16>(in, first, rows, world.def());
    } else {
        fillRows<PF_Pixel8>(in, first, rows, world.def());
    }
}

template <typename Sample>
void readRows(const standin::World& world, int first, int rows, int channels, Sample* out)
{
    if (world.deep()) {
        readRows<PF_Pixel16>(world.def(), first, rows, channels, out);
    } else {
        readRows<PF_Pixel8>(world.def(), first, rows, channels, out);
    }
}

}  // namespace

standin::World imageToWorld(const Image& image, int hostBits)
{
    standin::World world(image.width, image.height, hostBits == 16);
    fillRows(Rows<std::uint16_t>{image.samples.data(), image.width, image.channels, image.bits}, 0,
             image.height, world);
    return world;
}

standin::World samplesToWorld(const std::uint8_t* samples, int width, int height, int channels,
                              int hostBits)
{
    standin::World world(width, height, hostBits == 16);
    fillRows(Rows<std::uint8_t>{samples, width, channels, 8}, 0, height, world);
    return world;
}

standin::World samplesToWorld(const std::uint16_t* samples, int width, int height, int channels,
                              int hostBits)
{
    standin::World world(width, height, hostBits == 16);
    fillRows(Rows<std::uint16_t>{samples, width, channels, 16}, 0, height, world);
    return world;
}

void worldToSamples(const standin::World& world, int channels, std::uint8_t* samples)
{
    if (world.deep()) throw std::logic_error("worldToSamples: a 16-bit world into 8-bit samples");
    readRows(world, 0, world.height(), channels, samples);
}

void worldToSamples(const standin::World& world, int channels, std::uint16_t* samples)
{
    if (!world.deep()) throw std::logic_error("worldToSamples: an 8-bit world into 16-bit samples");
    readRows(world, 0, world.height(), channels, samples);
}

Image worldToImage(const standin::World& world, int channels)
{
    Image image;
    image.width = world.width();
    image.height = world.height();
    image.channels = channels;
    image.bits = world.deep() ? 16 : 8;
    image.samples.resize(static_cast<std::size_t>(image.width) *
                         static_cast<std::size_t>(image.height) *
                         static_cast<std::size_t>(channels));
    readRows(world, 0, image.height, channels, image.samples.data());
    return image;
}

std::vector<Frame> readFrames(const std::filesystem::path& path, int hostBits,
                              const ReadOptions& options,
                              const std::function<void(const Image& page)>& checkHeader,
                              const MemoryBudget& memory, int jobs)
{
    const MemoryBudget budget = memory.bytes != 0 ? memory : memoryBudget();
    std::vector<Frame> frames;
    std::vector<Rows<std::uint16_t>> layouts;
    const std::vector<Image> pages = readPagesRows(
        path, options,
        [&](const std::vector<Image>& found) {
            // Every page's world is held until the file is written; a render adds two more of
            // the largest page's size.
            checkPagesMemory(path, found, hostBits, budget, jobs);
            for (const Image& page : found) {
                Image planned = page;
                planned.bits = hostBits != 0 ? hostBits : page.bits;
                if (hostBits != 0) {
                    // An explicit depth is the depth written.
                    planned.storedBits = hostBits;
                    planned.storedType =
                        hostBits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
                }
                if (checkHeader) checkHeader(planned);
                layouts.push_back(
                    Rows<std::uint16_t>{nullptr, page.width, page.channels, page.bits});
                planned.bits = page.bits;
                frames.push_back(
                    Frame{planned, standin::World(page.width, page.height,
                                                  (hostBits != 0 ? hostBits : page.bits) == 16)});
            }
        },
        [&](int page, int first, int rows, const std::uint16_t* samples) {
            Rows<std::uint16_t> in = layouts[static_cast<std::size_t>(page)];
            in.samples = samples;
            fillRows(in, first, rows, frames[static_cast<std::size_t>(page)].world);
        });
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i].description.clipped = pages[i].clipped;
    return frames;
}

void writeFramesReplacing(const std::filesystem::path& path, const std::vector<Frame>& pages,
                          const WriteOptions& options)
{
    std::vector<PageSource> sources;
    for (const Frame& page : pages) {
        const standin::World& world = page.world;
        Image written = page.description;
        written.samples.clear();
        written.width = world.width();
        written.height = world.height();
        // A keyed image keeps its transparency: the world's alpha is written too.
        if (options.keyed && !page.description.hasAlpha()) ++written.channels;
        written.bits = world.deep() ? 16 : 8;
        const int channels = written.channels;
        sources.push_back(
            PageSource{written, [&world, channels](int first, int rows, std::uint16_t* samples) {
                           readRows(world, first, rows, channels, samples);
                       }});
    }
    writePagesReplacing(path, sources, options);
}

std::string clippedNote(const std::filesystem::path& path, const std::vector<Frame>& pages)
{
    std::uint64_t clipped = 0;
    for (const Frame& page : pages) clipped += page.description.clipped;
    if (clipped == 0) return {};
    return fmt::format("telvix: note: {}: {} {} outside 0-1 clipped", path.string(), clipped,
                       clipped == 1 ? "sample" : "samples");
}

}  // namespace telvix::cli
