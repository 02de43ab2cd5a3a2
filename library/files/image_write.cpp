#include "image_write.h"

#include <OpenImageIO/imageio.h>
#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "channel_convert.h"
#include "checked_output_file.h"
#include "cli_error.h"
#include "image_read.h"
#include "interrupt.h"
#include "sample_exchange.h"
#include "temporary_file.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// A writer's message with the hidden temporary file it wrote named as the file the user asked
// for: the temporary name means nothing to them and is gone once the command ends.
std::string naming(std::string message, const fs::path& temporary, const fs::path& destination)
{
    for (const std::string& hidden : {temporary.string(), temporary.filename().string()}) {
        if (hidden.empty()) continue;
        const std::string shown =
            hidden == temporary.string() ? destination.string() : destination.filename().string();
        for (std::size_t at = message.find(hidden); at != std::string::npos;
             at = message.find(hidden, at + shown.size())) {
            message.replace(at, hidden.size(), shown);
        }
    }
    return message;
}

// Copies `pixels` pixels of `from` channels into `to` channels: grey repeated into red, green
// and blue, alpha kept last or left out, opaque alpha (`opaque`) added where none was.
template <typename Sample>
void convertChannels(const Sample* in, int from, Sample* out, int to, std::size_t pixels,
                     Sample opaque)
{
    const bool alphaIn = from == 2 || from == 4;
    const bool alphaOut = to == 2 || to == 4;
    for (std::size_t i = 0; i < pixels; ++i, in += from, out += to) {
        const Sample alpha = alphaIn ? in[from - 1] : opaque;
        if (to <= 2) {
            out[0] = in[0];  // grey from grey only: RGB never becomes grey here
        } else {
            const bool grey = from <= 2;
            out[0] = in[0];
            out[1] = grey ? in[0] : in[1];
            out[2] = grey ? in[0] : in[2];
        }
        if (alphaOut) out[to - 1] = alpha;
    }
}

// The 16-bit file value that a writer of `bits`-bit integers (10 or 12) stores as the code
// nearest to `v`: the code repeated into 16 bits, which both the writers' narrowing by a shift
// and by scaling take back to that code. A value read from a file of that depth maps back to its
// own code, so unchanged pixels keep their exact values.
std::uint16_t quantised(std::uint16_t v, int bits)
{
    const std::uint32_t top = (1u << bits) - 1u;
    const std::uint32_t code = (std::uint32_t{v} * top + kFileMax16 / 2) / kFileMax16;
    return static_cast<std::uint16_t>((code << (16 - bits)) | (code >> (2 * bits - 16)));
}

// The header a page is written with (its ImageSpec): its layout, metadata, alpha convention,
// colour space and the --compression asked for (`format`: the writer's format name).
OIIO::ImageSpec writtenHeader(const Image& description, const OutputLayout& layout,
                              const fs::path& path, const std::string& format,
                              const WriteOptions& options)
{
    // Samples are written as they are: without the hint a writer of straight alpha (PNG) would
    // divide colour by alpha, and TIFF's ExtraSamples tag says which of the two the file holds.
    OIIO::ImageSpec spec(description.width, description.height, layout.channels, layout.type);
    for (const OIIO::ParamValue& value : description.metadata) {
        spec.extra_attribs.add_or_replace(value);
    }
    spec.alpha_channel = layout.channels == 2 || layout.channels == 4 ? layout.channels - 1 : -1;
    spec.attribute("oiio:UnassociatedAlpha", layout.associated ? 0 : 1);
    if (layout.bitsPerSample != 0) spec.attribute("oiio:BitsPerSample", layout.bitsPerSample);
    if (!description.colorSpace.empty()) {
        spec.attribute("oiio:ColorSpace", description.colorSpace);
    }
    if (!options.compression.empty()) applyCompression(&spec, path, format, options.compression);
    return spec;
}

// Writes the rows of `page`, opened in `output` with `layout`, a strip at a time: its source's
// samples converted to the layout's channels and sample type. False when the writer failed (its
// error says why); Interrupted on a stop request, after a strip.
bool writePageRows(OIIO::ImageOutput& output, const PageSource& page, const OutputLayout& layout)
{
    const Image& description = page.description;
    const int channels = layout.channels;
    const OIIO::TypeDesc type = layout.type;
    const bool floating = type == OIIO::TypeDesc::HALF || type == OIIO::TypeDesc::FLOAT;

    // A format that writes tiles (IFF) takes whole rows of tiles: a strip is a multiple of
    // them.
    const int tileHeight = output.spec().tile_width > 0 ? output.spec().tile_height : 0;
    const int widest = std::max(channels, description.channels);
    int strip = stripRows(description.width, widest, description.height);
    if (tileHeight > 0) {
        strip = std::min(std::max(1, strip / tileHeight) * tileHeight, description.height);
    }
    const std::size_t stripSamples =
        static_cast<std::size_t>(strip) * description.width * static_cast<std::size_t>(widest);
    const bool reshaped = channels != description.channels;
    std::vector<std::uint16_t> samples(floating ? 0 : stripSamples);
    std::vector<std::uint16_t> converted(!floating && reshaped ? stripSamples : 0);
    std::vector<std::uint8_t> bytes(description.bits == 8 && !floating ? stripSamples : 0);
    std::vector<float> floats(floating ? stripSamples : 0);
    std::vector<float> convertedFloats(floating && reshaped ? stripSamples : 0);
    const std::uint16_t opaque = description.bits == 16 ? kFileMax16 : kMax8;
    bool ok = true;
    for (int first = 0; ok && first < description.height; first += strip) {
        const int rows = std::min(strip, description.height - first);
        page.source(first, rows,
                    WriteStrip{floating ? nullptr : samples.data(),
                               floating ? floats.data() : nullptr, layout.associated});
        const std::size_t pixels = static_cast<std::size_t>(rows) * description.width;
        const std::size_t values = pixels * static_cast<std::size_t>(channels);
        const void* data = floats.data();
        std::uint16_t* written = samples.data();
        if (floating && reshaped) {
            convertChannels(floats.data(), description.channels, convertedFloats.data(), channels,
                            pixels, 1.0f);
            data = convertedFloats.data();
        } else if (reshaped) {
            convertChannels(samples.data(), description.channels, converted.data(), channels,
                            pixels, opaque);
            written = converted.data();
        }
        if (floating) {
            // The source gave floats in the output's convention.
        } else if (description.bits == 8) {
            std::transform(written, written + values, bytes.begin(),
                           [](std::uint16_t v) { return std::uint8_t(v); });
            data = bytes.data();
        } else {
            if (layout.bitsPerSample != 0) {
                const int bits = layout.bitsPerSample;
                std::transform(written, written + values, written,
                               [bits](std::uint16_t v) { return quantised(v, bits); });
            }
            data = written;
        }
        const OIIO::TypeDesc given = floating ? OIIO::TypeDesc::FLOAT : type;
        if (tileHeight > 0) {
            ok = output.write_tiles(0, description.width, first, first + rows, 0, 1, given, data);
        } else {
            ok = output.write_scanlines(first, first + rows, 0, given, data);
        }
        // A stop request abandons the file: the temporary one is removed, nothing replaced.
        // Asked after a strip is written, as some writers complain when closed with none.
        throwIfInterrupted();
    }
    return ok;
}

}  // namespace

void writePagesReplacing(const fs::path& path, const std::vector<PageSource>& pages,
                         const WriteOptions& options)
{
    // Renaming over a device or a pipe would replace it (as root even /dev/null) with a file.
    std::error_code ec;
    if (fs::exists(path, ec) && !fs::is_regular_file(path, ec)) {
        throw CliError(
            fmt::format("cannot write '{}': it exists and is not a regular file", path.string()));
    }
    if (pages.empty()) {
        throw CliError(fmt::format("cannot write '{}': there is no image", path.string()));
    }
    std::vector<OutputLayout> layouts;
    for (const PageSource& page : pages) {
        Image planned = page.description;
        planned.pages = static_cast<int>(pages.size());
        layouts.push_back(planOutputLayout(path, planned, options));
    }
    auto created = OIIO::ImageOutput::create(path.string());
    if (!created) {
        throw CliError(fmt::format("cannot write '{}': {}", path.string(),
                                   oneLine(OIIO::geterror(), kNoReason)));
    }

    std::vector<OIIO::ImageSpec> specs;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        specs.push_back(
            writtenHeader(pages[i].description, layouts[i], path, created->format_name(), options));
    }

    TemporaryFile temporary(path);
    CheckedOutputFile file(temporary.path());
    if (file.handle() == nullptr) {
        throw CliError(fmt::format("cannot write '{}': {}", path.string(), file.openError()));
    }
    StickyFileProxy proxy(file.handle(), temporary.path().string());
    // libtiff reads its directories back while writing them (the Exif directory that a colour
    // space adds, for one), which a write-only proxy cannot serve, and the IFF writer fails on a
    // proxy: these write their own file.
    const std::string formatName = created->format_name();
    const bool throughProxy =
        created->supports("ioproxy") != 0 && formatName != "tiff" && formatName != "iff";
    if (throughProxy) created->set_ioproxy(&proxy);
    // Declared after the temporary file so that it is closed before a failure removes the file.
    const auto output = std::move(created);
    // A write the proxy saw fail is the reason, whatever the writer says after it.
    const auto failed = [&](const std::string& message) {
        if (!proxy.failure().empty()) {
            return CliError(fmt::format("cannot write '{}': {}", path.string(), proxy.failure()));
        }
        return CliError(fmt::format("cannot write '{}': {}", path.string(),
                                    naming(oneLine(message, kNoReason), temporary.path(), path)));
    };
    const int count = static_cast<int>(pages.size());
    if (!(count == 1 ? output->open(temporary.path().string(), specs[0])
                     : output->open(temporary.path().string(), count, specs.data()))) {
        throw failed(output->geterror());
    }
    for (int i = 0; i < count; ++i) {
        const Image& description = pages[i].description;
        const OutputLayout& layout = layouts[i];
        const int channels = layout.channels;
        const OIIO::TypeDesc type = layout.type;
        if (i > 0 &&
            !output->open(temporary.path().string(), specs[i], OIIO::ImageOutput::AppendSubimage)) {
            throw failed(output->geterror());
        }
        // A format that cannot hold this depth or layout would silently change the samples.
        const int bitsKept = output->spec().get_int_attribute("oiio:BitsPerSample", 0);
        if (output->spec().format != type || output->spec().nchannels != channels ||
            (layout.bitsPerSample != 0 && bitsKept != layout.bitsPerSample)) {
            output->close();
            const bool floats = type == OIIO::TypeDesc::HALF || type == OIIO::TypeDesc::FLOAT;
            throw CliError(fmt::format(
                "cannot write '{}': the {} format cannot store {} {} images", path.string(),
                output->format_name(),
                floats ? std::string(type == OIIO::TypeDesc::HALF ? "half" : "float")
                       : fmt::format("{}-bit", layout.bitsPerSample != 0 ? layout.bitsPerSample
                                                                         : description.bits),
                layoutName(channels)));
        }
        if (!writePageRows(*output, pages[i], layout)) throw failed(output->geterror());
    }
    if (!output->close() || !proxy.failure().empty()) throw failed(output->geterror());
    const std::string failure = file.finish();
    if (!failure.empty()) {
        throw CliError(fmt::format("cannot write '{}': {}", path.string(), failure));
    }
    if (!throughProxy) {
        // The writer used its own file, whose failures it may not have reported: read the
        // result back before it replaces anything.
        try {
            readPagesRows(
                temporary.path(), ReadOptions{16, true}, [](const std::vector<Image>&) {},
                [](int, int, int, const ReadStrip&) {});
        } catch (const CliError& e) {
            throw failed(fmt::format("it does not read back: {}", e.what()));
        }
    }
    // Interrupted on the way: nothing replaces the output.
    throwIfInterrupted();
    temporary.commitAs(path);
}

void writeImageReplacing(const fs::path& path, const Image& image, const WriteOptions& options)
{
    const std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
    const auto source = [&](int first, int rows, const WriteStrip& strip) {
        const SampleRows<const std::uint16_t> in{image.samples.data() + first * row, image.width,
                                                 image.channels, image.bits};
        if (strip.floats != nullptr) {
            convertSamples(in, rows,
                           SampleRows<float>{strip.floats, image.width, image.channels, image.bits,
                                             strip.associated});
        } else if (strip.associated) {
            convertSamples(in, rows,
                           SampleRows<std::uint16_t>{strip.ints, image.width, image.channels,
                                                     image.bits, true});
        } else {
            std::copy_n(in.data, rows * row, strip.ints);
        }
    };
    writePagesReplacing(path, {PageSource{image, source}}, options);
}

}  // namespace telvix::cli
