#include "image_read.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>
#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "cli_error.h"
#include "dpx_row_end.h"
#include "header_checks.h"
#include "interrupt.h"
#include "sample_exchange.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// Depth in bits of the file's samples when they are 8 or 16-bit unsigned integers, else 0.
int nativeBits(const OIIO::ImageSpec& spec)
{
    for (int c = 0; c < spec.nchannels; ++c) {
        const OIIO::TypeDesc t = spec.channelformat(c);
        if (t != spec.format) return 0;  // mixed sample types are converted like other formats
    }
    if (spec.format == OIIO::TypeDesc::UINT8) return 8;
    if (spec.format == OIIO::TypeDesc::UINT16) return 16;
    return 0;
}

// Metadata that describes the samples' layout or how they were read: the written file states
// its own, so carrying these over could contradict it.
bool isLayoutAttribute(const std::string& name)
{
    static const char* const kLayout[] = {
        "oiio:BitsPerSample",       "oiio:UnassociatedAlpha", "tiff:UnassociatedAlpha",
        "oiio:ColorSpace",          "oiio:subimages",         "tiff:PhotometricInterpretation",
        "tiff:PlanarConfiguration", "oiio:ioproxy",
    };
    for (const char* layout : kLayout) {
        if (OIIO::Strutil::iequals(name, layout)) return true;
    }
    return false;
}

// How a page's samples are read: as 8 or 16-bit integers, as floating point to be checked and
// converted, or converted by OpenImageIO (other types, at an explicit depth).
enum class SampleKind { Integer, Floating, Other };

SampleKind sampleKind(const OIIO::ImageSpec& spec)
{
    if (nativeBits(spec) != 0) return SampleKind::Integer;
    for (int c = 0; c < spec.nchannels; ++c) {
        const OIIO::TypeDesc::BASETYPE t =
            static_cast<OIIO::TypeDesc::BASETYPE>(spec.channelformat(c).basetype);
        if (t != OIIO::TypeDesc::HALF && t != OIIO::TypeDesc::FLOAT && t != OIIO::TypeDesc::DOUBLE)
            return SampleKind::Other;
    }
    return SampleKind::Floating;
}

// True when a page read by `format`'s reader (asked to leave alpha unassociated) holds
// associated alpha: OpenEXR always does, TIFF unless its ExtraSamples tag says unassociated (the
// reader then notes oiio:UnassociatedAlpha). The other formats this reads hold straight alpha.
bool holdsAssociatedAlpha(const std::string& format, const OIIO::ImageSpec& spec)
{
    if (spec.nchannels != 2 && spec.nchannels != 4) return false;
    if (format == "openexr") return true;
    return format == "tiff" && spec.get_int_attribute("oiio:UnassociatedAlpha", 0) == 0;
}

// The page's description from its header: size, channels, depths, alpha, colour space, metadata.
Image describePage(const std::string& quoted, const std::string& format,
                   const OIIO::ImageSpec& spec, const ReadOptions& options)
{
    Image image;
    image.width = spec.width;
    image.height = spec.height;
    image.channels = spec.nchannels;
    image.associatedAlpha = holdsAssociatedAlpha(format, spec);
    image.colorSpace = spec.get_string_attribute("oiio:ColorSpace");
    for (const OIIO::ParamValue& value : spec.extra_attribs) {
        if (!isLayoutAttribute(value.name().string())) image.metadata.push_back(value);
    }
    switch (sampleKind(spec)) {
        case SampleKind::Integer: {
            image.bits = nativeBits(spec);
            image.storedBits = image.bits;
            image.storedType = image.bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
            const int stored = spec.get_int_attribute("oiio:BitsPerSample", image.bits);
            if (image.bits == 16 && (stored == 10 || stored == 12)) image.storedBits = stored;
            break;
        }
        case SampleKind::Floating: {
            image.bits = options.otherFormatsAs != 0 ? options.otherFormatsAs : 16;
            image.storedBits = 16;
            image.storedType = OIIO::TypeDesc::HALF;
            for (int c = 0; c < spec.nchannels; ++c) {
                if (spec.channelformat(c) != OIIO::TypeDesc::HALF)
                    image.storedType = OIIO::TypeDesc::FLOAT;
            }
            break;
        }
        case SampleKind::Other:
            if (options.otherFormatsAs == 0) {
                throw CliError(
                    fmt::format("{} has {} samples, which are not processed as they "
                                "are; use --depth 16 to process it as 16-bit",
                                quoted, spec.format.c_str()));
            }
            image.bits = options.otherFormatsAs;
            image.storedBits = image.bits;
            image.storedType = image.bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
            break;
    }
    return image;
}

// How many of `count` floating-point samples lie outside 0-1 (NaN and infinities too).
std::uint64_t countOutsideUnit(const float* samples, std::size_t count)
{
    std::uint64_t outside = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float v = samples[i];
        if (!(v >= 0.0f && v <= 1.0f)) ++outside;
    }
    return outside;
}

// A file opened for reading after every check that needs no pixel memory: every page's header
// read and checked, and described.
struct CheckedFile {
    std::unique_ptr<OIIO::ImageInput> input;  // positioned anywhere among the pages
    std::vector<OIIO::ImageSpec> specs;
    std::vector<Image> pages;  // without samples
};

// The reader's settings: without oiio:UnassociatedAlpha OIIO premultiplies on read, which would
// lose the colour of transparent pixels and change every semi-transparent one.
OIIO::ImageSpec readerConfig()
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    return config;
}

std::unique_ptr<OIIO::ImageInput> openInput(const fs::path& path)
{
    const OIIO::ImageSpec config = readerConfig();
    auto input = OIIO::ImageInput::open(path.string(), &config);
    if (!input) {
        throw CliError(fmt::format("cannot read '{}': {}", path.string(),
                                   oneLine(OIIO::geterror(), kNoReason)));
    }
    return input;
}

// Reads the pixels of page `subimage` (its header `spec`, described in `image`) from `input`,
// a strip of rows at a time, and hands them to `sink` as readPagesRows does; floating-point
// samples outside 0-1 are counted in `image.clipped`. False when the reader failed
// or noted an error (its error says why) and when `rowEnds`, given, could not be read;
// Interrupted on a stop request, before a strip.
bool readPageRows(OIIO::ImageInput& input, int subimage, const OIIO::ImageSpec& spec, Image& image,
                  DpxRowEnds* rowEnds, const RowSink& sink)
{
    const bool floating = sampleKind(spec) == SampleKind::Floating;
    // Samples are handed on as 16-bit values at both depths; 8-bit files go through bytes,
    // floating-point ones through floats. Tiled files are read a row of tiles at a time
    // (their scanline reads are not usable), so a strip is a whole number of tile rows.
    const bool tiled = spec.tile_width > 0 && spec.tile_height > 0;
    int strip = stripRows(image.width, image.channels, image.height);
    if (tiled) {
        strip = std::max(1, strip / spec.tile_height) * spec.tile_height;
        strip = std::min(strip, image.height);
    }
    const std::size_t stripSamples = static_cast<std::size_t>(strip) *
                                     static_cast<std::size_t>(image.width) *
                                     static_cast<std::size_t>(image.channels);
    std::vector<std::uint16_t> samples(floating ? 0 : stripSamples);
    std::vector<std::uint8_t> bytes(image.bits == 8 && !floating ? stripSamples : 0);
    std::vector<float> floats(floating ? stripSamples : 0);
    const OIIO::TypeDesc type = image.bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
    for (int first = 0; first < image.height; first += strip) {
        // A stop request ends even a long read promptly, a strip at a time.
        throwIfInterrupted();
        const int rows = std::min(strip, image.height - first);
        const std::size_t count = static_cast<std::size_t>(rows) * image.width * image.channels;
        // The data window may start anywhere; rows are counted from its top.
        const int y = spec.y + first;
        void* narrow = image.bits == 8 ? static_cast<void*>(bytes.data()) : samples.data();
        void* data = floating ? static_cast<void*>(floats.data()) : narrow;
        const OIIO::TypeDesc given = floating ? OIIO::TypeDesc::FLOAT : type;
        bool ok = false;
        if (tiled) {
            ok = input.read_tiles(subimage, 0, spec.x, spec.x + image.width, y, y + rows, spec.z,
                                  spec.z + 1, 0, image.channels, given, data);
        } else {
            ok = input.read_scanlines(subimage, 0, y, y + rows, 0, 0, image.channels, given, data);
        }
        // A damaged file can read "successfully" with an error noted on the way (a cut-off
        // strip left black); that frame is not to be trusted.
        if (!ok || input.has_error()) return false;
        if (floating) {
            // Handed on as stored: the conversion into the host's worlds clips and rounds them,
            // and keeps them to write back the samples the smoothing leaves alone.
            image.clipped += countOutsideUnit(floats.data(), count);
            sink(subimage, first, rows, ReadStrip{nullptr, floats.data()});
            continue;
        }
        if (image.bits == 8) std::copy_n(bytes.begin(), count, samples.begin());
        if (rowEnds != nullptr && !rowEnds->repair(first, rows, samples.data())) return false;
        sink(subimage, first, rows, ReadStrip{samples.data(), nullptr});
    }
    return true;
}

// Opens `path` and reads every page's header, after every check that needs no pixel memory.
CheckedFile openChecked(const fs::path& path, const ReadOptions& options)
{
    const std::uint64_t fileBytes = checkInputFile(path);
    checkPngChunks(path, fileBytes);

    CheckedFile file;
    file.input = openInput(path);
    // Every page's header is read and checked before any pixel memory is taken.
    file.specs.push_back(file.input->spec());
    while (file.input->seek_subimage(static_cast<int>(file.specs.size()), 0)) {
        throwIfInterrupted();
        file.specs.push_back(file.input->spec());
    }
    const std::vector<OIIO::ImageSpec>& specs = file.specs;
    for (std::size_t page = 0; page < specs.size(); ++page) {
        const std::string name = pageName(path, page, specs.size());
        checkLayout(name, specs[page]);
        file.pages.push_back(describePage(name, file.input->format_name(), specs[page], options));
        file.pages.back().pages = static_cast<int>(specs.size());
    }
    checkClaimedSizes(path, file.input->format_name(), specs, fileBytes);
    if (OIIO::Strutil::iequals(file.input->format_name(), "dpx")) checkDpxLength(path, specs[0]);
    return file;
}

}  // namespace

std::vector<Image> readPageHeaders(const fs::path& path, const ReadOptions& options)
{
    CheckedFile file = openChecked(path, options);
    file.input->close();
    return file.pages;
}

std::vector<Image> readPagesRows(const fs::path& path, const ReadOptions& options,
                                 const std::function<void(const std::vector<Image>&)>& begin,
                                 const RowSink& sink)
{
    CheckedFile file = openChecked(path, options);
    const std::vector<OIIO::ImageSpec>& specs = file.specs;
    std::vector<Image>& pages = file.pages;
    // Some readers (WebP) cannot go back once a seek has gone past the last page: the pixels
    // are read through the file opened anew.
    file.input->close();
    const auto input = openInput(path);
    const auto readFailure = [&] {
        return CliError(
            fmt::format("cannot read '{}': {}", path.string(),
                        oneLine(input->geterror(), "its image data is damaged or cut short")));
    };
    begin(pages);

    for (std::size_t page = 0; page < pages.size(); ++page) {
        Image& image = pages[page];
        const OIIO::ImageSpec& spec = specs[page];
        const int subimage = static_cast<int>(page);
        if (input->current_subimage() != subimage && !input->seek_subimage(subimage, 0)) {
            throw readFailure();
        }
        // The buffers are sized from the header read first: a file replaced in between is not
        // read into them.
        const OIIO::ImageSpec& now = input->spec();
        if (now.width != spec.width || now.height != spec.height || now.x != spec.x ||
            now.y != spec.y || now.nchannels != spec.nchannels || now.format != spec.format ||
            now.tile_width != spec.tile_width || now.tile_height != spec.tile_height) {
            throw CliError(
                fmt::format("cannot read '{}': the file changed while it was read", path.string()));
        }
        // OpenImageIO's DPX reader leaves the last sample of some rows unread (dpx_row_end.h).
        std::optional<DpxRowEnds> rowEnds =
            image.bits == 16 ? DpxRowEnds::find(path, input->format_name(), spec) : std::nullopt;
        if (!readPageRows(*input, subimage, spec, image, rowEnds ? &*rowEnds : nullptr, sink)) {
            throw readFailure();
        }
    }
    input->close();
    std::uint64_t outside = 0;
    for (const Image& page : pages) outside += page.clipped;
    if (outside > 0 && !options.clip) {
        throw CliError(
            fmt::format("'{}' has {} samples outside 0-1 (negative, above 1, NaN or "
                        "infinite); add --clip to clip them to 0-1",
                        path.string(), outside));
    }
    return pages;
}

bool isCompleteImage(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    try {
        readPagesRows(
            path, ReadOptions{16, true}, [](const std::vector<Image>&) {},
            [](int, int, int, const ReadStrip&) {});
        return true;
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

Image readImage(const fs::path& path, int otherFormatsAs, bool clip)
{
    Image image;
    const std::vector<Image> pages = readPagesRows(
        path, ReadOptions{otherFormatsAs, clip},
        [&](const std::vector<Image>& found) {
            image = found.front();
            image.samples.resize(static_cast<std::size_t>(image.width) * image.height *
                                 image.channels);
        },
        [&](int page, int first, int rows, const ReadStrip& strip) {
            if (page != 0) return;
            const std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
            std::uint16_t* to = image.samples.data() + first * row;
            const SampleRows<std::uint16_t> out{to, image.width, image.channels, image.bits};
            if (strip.floats != nullptr) {
                convertSamples(SampleRows<const float>{strip.floats, image.width, image.channels,
                                                       image.bits, image.associatedAlpha},
                               rows, out);
            } else if (image.associatedAlpha) {
                convertSamples(SampleRows<const std::uint16_t>{strip.ints, image.width,
                                                               image.channels, image.bits, true},
                               rows, out);
            } else {
                std::copy_n(strip.ints, rows * row, to);
            }
        });
    image.clipped = pages.front().clipped;
    return image;
}

}  // namespace telvix::cli
