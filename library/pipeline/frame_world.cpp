#include "frame_world.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "cli_error.h"
#include "frame_memory.h"
#include "image_write.h"
#include "sample_exchange.h"

namespace telvix::cli {
namespace {

// An Image's samples as rows of the conversion layer (straight, as Image samples are).
SampleRows<const std::uint16_t> rowsOf(const Image& image, int first = 0)
{
    const std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
    return {image.samples.data() + static_cast<std::size_t>(first) * row, image.width,
            image.channels, image.bits, false};
}

std::size_t rowStart(int first, int width, int channels)
{
    return static_cast<std::size_t>(first) * static_cast<std::size_t>(width) *
           static_cast<std::size_t>(channels);
}

// Writes rows [first, first + rows) of `page`'s world into `strip` as the page's description
// says (its channels; one more for a keyed image without alpha), every sample the render left
// unchanged taken from the page's original samples.
void pageRows(const Frame& page, int channels, int first, int rows, const WriteStrip& strip)
{
    const standin::World& world = page.world;
    const PageSamples& original = page.original;
    const int width = static_cast<int>(world.width());
    const int bits = world.deep() ? 16 : 8;
    const int inChannels = page.description.channels;
    const auto write = [&](const auto* in) {
        if (strip.floats != nullptr) {
            worldIntoSamples(
                world.def(), in, first, rows,
                SampleRows<float>{strip.floats, width, channels, bits, strip.associated});
        } else {
            worldIntoSamples(
                world.def(), in, first, rows,
                SampleRows<std::uint16_t>{strip.ints, width, channels, bits, strip.associated});
        }
    };
    if (!original.floats.empty()) {
        const SampleRows<const float> in{
            original.floats.data() + rowStart(first, width, inChannels), width, inChannels,
            original.bits, original.associated};
        write(&in);
    } else if (!original.ints.empty()) {
        const SampleRows<const std::uint16_t> in{
            original.ints.data() + rowStart(first, width, inChannels), width, inChannels,
            original.bits, original.associated};
        write(&in);
    } else {
        write(static_cast<const SampleRows<const std::uint16_t>*>(nullptr));
    }
}

}  // namespace

standin::World imageToWorld(const Image& image, int hostBits)
{
    standin::World world(image.width, image.height, hostBits == 16);
    samplesIntoWorld(rowsOf(image), 0, image.height, world.def());
    return world;
}

standin::World samplesToWorld(const std::uint8_t* samples, int width, int height, int channels,
                              int hostBits)
{
    standin::World world(width, height, hostBits == 16);
    samplesIntoWorld(SampleRows<const std::uint8_t>{samples, width, channels, 8}, 0, height,
                     world.def());
    return world;
}

standin::World samplesToWorld(const std::uint16_t* samples, int width, int height, int channels,
                              int hostBits)
{
    standin::World world(width, height, hostBits == 16);
    samplesIntoWorld(SampleRows<const std::uint16_t>{samples, width, channels, 16}, 0, height,
                     world.def());
    return world;
}

void worldToSamples(const standin::World& world, int channels, std::uint8_t* samples,
                    const std::uint8_t* original)
{
    if (world.deep()) throw std::logic_error("worldToSamples: a 16-bit world into 8-bit samples");
    const int width = static_cast<int>(world.width());
    const SampleRows<const std::uint8_t> in{original, width, channels, 8};
    worldIntoSamples(world.def(), original != nullptr ? &in : nullptr, 0,
                     static_cast<int>(world.height()),
                     SampleRows<std::uint8_t>{samples, width, channels, 8});
}

void worldToSamples(const standin::World& world, int channels, std::uint16_t* samples,
                    const std::uint16_t* original)
{
    if (!world.deep()) throw std::logic_error("worldToSamples: an 8-bit world into 16-bit samples");
    const int width = static_cast<int>(world.width());
    const SampleRows<const std::uint16_t> in{original, width, channels, 16};
    worldIntoSamples(world.def(), original != nullptr ? &in : nullptr, 0,
                     static_cast<int>(world.height()),
                     SampleRows<std::uint16_t>{samples, width, channels, 16});
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
    worldIntoSamples(
        world.def(), static_cast<const SampleRows<const std::uint16_t>*>(nullptr), 0, image.height,
        SampleRows<std::uint16_t>{image.samples.data(), image.width, channels, image.bits});
    return image;
}

std::vector<Frame> readFrames(const std::filesystem::path& path, int hostBits,
                              const ReadOptions& options,
                              const std::function<void(const Image& page)>& checkHeader,
                              const MemoryBudget& memory, int jobs)
{
    const MemoryBudget budget = memory.bytes != 0 ? memory : memoryBudget();
    std::vector<Frame> frames;
    const std::vector<Image> pages = readPagesRows(
        path, options,
        [&](const std::vector<Image>& found) {
            // Every page's world and original samples are held until the file is written; a
            // render adds two more worlds of the largest page's size.
            checkPagesMemory(path, found, hostBits, budget, jobs);
            for (const Image& page : found) {
                Image planned = page;
                const int worldBits = hostBits != 0 ? hostBits : page.bits;
                planned.bits = worldBits;
                if (hostBits != 0) {
                    // An explicit depth is the depth written.
                    planned.storedBits = hostBits;
                    planned.storedType =
                        hostBits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
                }
                if (checkHeader) checkHeader(planned);
                planned.bits = page.bits;
                PageSamples original{{}, {}, page.bits, page.associatedAlpha};
                const std::size_t samples = static_cast<std::size_t>(page.width) *
                                            static_cast<std::size_t>(page.height) *
                                            static_cast<std::size_t>(page.channels);
                if (page.floatingPoint()) {
                    original.floats.resize(samples);
                } else if (keepsOriginal(page, worldBits)) {
                    original.ints.resize(samples);
                }
                frames.push_back(Frame{planned,
                                       standin::World(page.width, page.height, worldBits == 16),
                                       std::move(original)});
            }
        },
        [&](int page, int first, int rows, const ReadStrip& strip) {
            Frame& frame = frames[static_cast<std::size_t>(page)];
            const Image& d = frame.description;
            PageSamples& original = frame.original;
            const std::size_t at = rowStart(first, d.width, d.channels);
            const std::size_t count = rowStart(rows, d.width, d.channels);
            if (strip.floats != nullptr) {
                std::copy_n(strip.floats, count, original.floats.data() + at);
                samplesIntoWorld(SampleRows<const float>{strip.floats, d.width, d.channels,
                                                         original.bits, original.associated},
                                 first, rows, frame.world.def());
            } else {
                if (!original.ints.empty()) {
                    std::copy_n(strip.ints, count, original.ints.data() + at);
                }
                samplesIntoWorld(
                    SampleRows<const std::uint16_t>{strip.ints, d.width, d.channels, original.bits,
                                                    original.associated},
                    first, rows, frame.world.def());
            }
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
            PageSource{written, [&page, channels](int first, int rows, const WriteStrip& strip) {
                           pageRows(page, channels, first, rows, strip);
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
