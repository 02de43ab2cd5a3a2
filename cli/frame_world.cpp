#include "frame_world.h"

#include <cstddef>
#include <cstdint>
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

// Copies every pixel of `image` into `world`, from the file's RGBA order to the host's ARGB.
template <typename Pixel>
void fillWorld(const Image& image, PF_EffectWorld& world)
{
    const bool grey = image.channels <= 2;
    const auto opaque = toHost<Pixel>(image.bits == 8 ? 255 : 65535, image.bits);
    for (int y = 0; y < image.height; ++y) {
        Pixel* row = rowOf<Pixel>(world, y);
        for (int x = 0; x < image.width; ++x) {
            Pixel& p = row[x];
            p.red = toHost<Pixel>(image.at(x, y, 0), image.bits);
            p.green = grey ? p.red : toHost<Pixel>(image.at(x, y, 1), image.bits);
            p.blue = grey ? p.red : toHost<Pixel>(image.at(x, y, 2), image.bits);
            p.alpha = image.hasAlpha()
                          ? toHost<Pixel>(image.at(x, y, image.channels - 1), image.bits)
                          : opaque;
        }
    }
}

// Copies every pixel of `world` into `image`, which already has its size and channel count.
template <typename Pixel>
void readWorld(const PF_EffectWorld& world, Image& image)
{
    for (int y = 0; y < image.height; ++y) {
        const Pixel* row = rowOf<Pixel>(world, y);
        for (int x = 0; x < image.width; ++x) {
            const Pixel& p = row[x];
            const std::uint16_t red = toFile<Pixel>(p.red);
            const std::uint16_t green = toFile<Pixel>(p.green);
            const std::uint16_t blue = toFile<Pixel>(p.blue);
            // A grey input gives equal red, green and blue, and the engine blends every
            // channel alike, so the mean only matters for a keyed colour that is not grey.
            if (image.channels <= 2) {
                image.at(x, y, 0) =
                    static_cast<std::uint16_t>((std::uint32_t{red} + green + blue + 1u) / 3u);
            } else {
                image.at(x, y, 0) = red;
                image.at(x, y, 1) = green;
                image.at(x, y, 2) = blue;
            }
            if (image.hasAlpha()) image.at(x, y, image.channels - 1) = toFile<Pixel>(p.alpha);
        }
    }
}

}  // namespace

standin::World imageToWorld(const Image& image, int hostBits)
{
    standin::World world(image.width, image.height, hostBits == 16);
    if (hostBits == 16) {
        fillWorld<PF_Pixel16>(image, world.def());
    } else {
        fillWorld<PF_Pixel8>(image, world.def());
    }
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
    if (world.deep()) {
        readWorld<PF_Pixel16>(world.def(), image);
    } else {
        readWorld<PF_Pixel8>(world.def(), image);
    }
    return image;
}

}  // namespace telvix::cli
