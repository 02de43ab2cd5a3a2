#include "frame_world.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "channel_convert.h"

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

// Rows of file samples as laid out in an Image: `width` pixels of `channels` per row.
struct Rows {
    const std::uint16_t* samples;
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
template <typename Pixel>
void fillRows(const Rows& in, int first, int rows, PF_EffectWorld& world)
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
template <typename Pixel>
void readRows(const PF_EffectWorld& world, int first, int rows, int channels, std::uint16_t* out)
{
    const bool alpha = channels == 2 || channels == 4;
    for (int y = 0; y < rows; ++y) {
        const Pixel* row = rowOf<Pixel>(world, first + y);
        for (int x = 0; x < world.width; ++x) {
            const Pixel& p = row[x];
            const std::uint16_t red = toFile<Pixel>(p.red);
            const std::uint16_t green = toFile<Pixel>(p.green);
            const std::uint16_t blue = toFile<Pixel>(p.blue);
            // A grey input gives equal red, green and blue, and the engine blends every
            // channel alike, so the mean only matters for a keyed colour that is not grey.
            if (channels <= 2) {
                *out++ = static_cast<std::uint16_t>((std::uint32_t{red} + green + blue + 1u) / 3u);
            } else {
                *out++ = red;
                *out++ = green;
                *out++ = blue;
            }
            if (alpha) *out++ = toFile<Pixel>(p.alpha);
        }
    }
}

void fillRows(const Rows& in, int first, int rows, standin::World& world)
{
    if (world.deep()) {
        fillRows<PF_Pixel16>(in, first, rows, world.def());
    } else {
        fillRows<PF_Pixel8>(in, first, rows, world.def());
    }
}

void readRows(const standin::World& world, int first, int rows, int channels, std::uint16_t* out)
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
    fillRows(Rows{image.samples.data(), image.width, image.channels, image.bits}, 0, image.height,
             world);
    return world;
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

Frame readFrame(const std::filesystem::path& path, int hostBits, int otherFormatsAs,
                const std::function<void(int channels, int bits)>& checkHeader,
                std::uint64_t memoryBytes, int jobs)
{
    if (memoryBytes == 0) {
        const std::uint64_t budget = memoryBudgetBytes();
        memoryBytes = budget > kFrameOverheadBytes ? budget - kFrameOverheadBytes
                                                   : std::min<std::uint64_t>(budget, 1);
    }
    std::optional<standin::World> world;
    Rows layout{nullptr, 0, 0, 8};
    Image description = readImageRows(
        path, otherFormatsAs,
        [&](const Image& found) {
            const int bits = hostBits != 0 ? hostBits : found.bits;
            if (checkHeader) checkHeader(found.channels, bits);
            checkFrameMemory(path, static_cast<std::uint64_t>(found.width),
                             static_cast<std::uint64_t>(found.height), bits, memoryBytes, jobs);
            layout = Rows{nullptr, found.width, found.channels, found.bits};
            world.emplace(found.width, found.height, bits == 16);
        },
        [&](int first, int rows, const std::uint16_t* samples) {
            Rows in = layout;
            in.samples = samples;
            fillRows(in, first, rows, *world);
        });
    return Frame{std::move(description), std::move(*world)};
}

void writeFrameReplacing(const std::filesystem::path& path, const standin::World& world,
                         const Image& description, const WriteOptions& options)
{
    Image written;
    written.width = world.width();
    written.height = world.height();
    // A keyed image keeps its transparency: the world's alpha is written too.
    written.channels = description.channels;
    if (options.keyed && !description.hasAlpha()) ++written.channels;
    written.bits = world.deep() ? 16 : 8;
    written.colorSpace = description.colorSpace;
    written.metadata = description.metadata;
    writeImageRowsReplacing(
        path, written,
        [&](int first, int rows, std::uint16_t* samples) {
            readRows(world, first, rows, written.channels, samples);
        },
        options);
}

}  // namespace telvix::cli
