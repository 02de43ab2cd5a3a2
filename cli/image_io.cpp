#include "image_io.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "cli_error.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// Library messages can span lines; errors are reported on one.
std::string oneLine(std::string text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            if (!out.empty() && out.back() != ' ') out += "; ";
        } else {
            out += c;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
    return out.empty() ? std::string("unknown error") : out;
}

// How a user names a layout of `channels` channels.
const char* layoutName(int channels)
{
    switch (channels) {
        case 1:
            return "grey";
        case 2:
            return "grey+alpha";
        case 3:
            return "RGB";
        default:
            return "RGBA";
    }
}

// Checks that the file's channels are one of the four layouts handled, with alpha last.
void checkLayout(const fs::path& path, const OIIO::ImageSpec& spec)
{
    if (spec.deep)
        throw CliError(fmt::format("'{}' is a deep image, which is not supported", path.string()));
    if (spec.nchannels < 1 || spec.nchannels > 4) {
        throw CliError(
            fmt::format("'{}' has {} channels; only grey, grey+alpha, RGB and RGBA "
                        "images are supported",
                        path.string(), spec.nchannels));
    }
    const bool alphaExpected = spec.nchannels == 2 || spec.nchannels == 4;
    const int expectedAlpha = alphaExpected ? spec.nchannels - 1 : -1;
    if (spec.alpha_channel != expectedAlpha) {
        throw CliError(
            fmt::format("'{}' has {} channels with alpha in channel {}; only grey, "
                        "grey+alpha, RGB and RGBA images are supported",
                        path.string(), spec.nchannels, spec.alpha_channel));
    }
    // The host's worlds address rows with 32-bit byte counts of up to 8 bytes per pixel.
    if (spec.width <= 0 || spec.height <= 0 || spec.width > INT_MAX / 8 || spec.depth > 1) {
        throw CliError(fmt::format("'{}' has an unsupported size {}x{}x{}", path.string(),
                                   spec.width, spec.height, spec.depth));
    }
}

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

// A file created beside the destination, removed again unless it is committed (renamed over
// the destination).
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& destination)
    {
        const fs::path folder =
            destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
        const std::string extension = destination.extension().string();
        std::string name =
            (folder / ("." + destination.stem().string() + ".telvix-XXXXXX" + extension)).string();
        const int fd = mkstemps(name.data(), static_cast<int>(extension.size()));
        if (fd < 0) {
            throw CliError(fmt::format("cannot write '{}': cannot create a file in '{}': {}",
                                       destination.string(), folder.string(),
                                       std::strerror(errno)));
        }
        // mkstemps creates the file private; give it the permissions a new file would get.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        close(fd);
        path_ = name;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (!committed_) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }

    const fs::path& path() const { return path_; }

    void commitAs(const fs::path& destination)
    {
        std::error_code ec;
        fs::rename(path_, destination, ec);
        if (ec) {
            throw CliError(
                fmt::format("cannot write '{}': {}", destination.string(), ec.message()));
        }
        committed_ = true;
    }

private:
    fs::path path_;
    bool committed_ = false;
};

// Metadata that describes the samples' layout or how they were read: the written file states
// its own, so carrying these over could contradict it.
bool isLayoutAttribute(const std::string& name)
{
    static const char* const kLayout[] = {
        "oiio:BitsPerSample", "oiio:UnassociatedAlpha",        "oiio:ColorSpace",
        "oiio:subimages",     "tiff:PhotometricInterpretation", "tiff:PlanarConfiguration",
        "oiio:ioproxy",
    };
    for (const char* layout : kLayout) {
        if (OIIO::Strutil::iequals(name, layout)) return true;
    }
    return false;
}

// Applies a --compression value to the spec of a file in `format`.
void applyCompression(OIIO::ImageSpec& spec, const std::string& format,
                      const std::string& compression)
{
    const bool number = compression.find_first_not_of("0123456789") == std::string::npos;
    if (number && format == "png") {
        spec.attribute("png:compressionLevel", std::stoi(compression));
    } else if (number) {
        // Other formats name a method; a bare level selects deflate ("zip") at that level.
        spec.attribute("compression", "zip:" + compression);
    } else {
        spec.attribute("compression", compression);
    }
}

}  // namespace

Image readImage(const fs::path& path, int otherFormatsAs)
{
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': no such file", path.string()));
    }
    if (fs::is_directory(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': it is a folder", path.string()));
    }

    // Without this OIIO premultiplies on read, which would lose the colour of transparent
    // pixels and change every semi-transparent one.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto input = OIIO::ImageInput::open(path.string(), &config);
    if (!input) {
        throw CliError(
            fmt::format("cannot read '{}': {}", path.string(), oneLine(OIIO::geterror())));
    }
    const OIIO::ImageSpec& spec = input->spec();
    checkLayout(path, spec);

    Image image;
    image.width = spec.width;
    image.height = spec.height;
    image.channels = spec.nchannels;
    image.colorSpace = spec.get_string_attribute("oiio:ColorSpace");
    for (const OIIO::ParamValue& value : spec.extra_attribs) {
        if (!isLayoutAttribute(value.name().string())) image.metadata.push_back(value);
    }
    image.bits = nativeBits(spec);
    if (image.bits == 0) {
        if (otherFormatsAs == 0) {
            throw CliError(
                fmt::format("'{}' has {} samples, which are not processed as they "
                            "are; use --depth 16 to process it as 16-bit",
                            path.string(), spec.format.c_str()));
        }
        image.bits = otherFormatsAs;
    }

    // Samples are kept as 16-bit values at both depths; 8-bit files go through a byte buffer.
    const std::size_t count = static_cast<std::size_t>(image.width) *
                              static_cast<std::size_t>(image.height) *
                              static_cast<std::size_t>(image.channels);
    bool ok = false;
    if (image.bits == 8) {
        std::vector<std::uint8_t> bytes(count);
        ok = input->read_image(0, 0, 0, image.channels, OIIO::TypeDesc::UINT8, bytes.data());
        image.samples.assign(bytes.begin(), bytes.end());
    } else {
        image.samples.resize(count);
        ok = input->read_image(0, 0, 0, image.channels, OIIO::TypeDesc::UINT16,
                               image.samples.data());
    }
    if (!ok) {
        throw CliError(
            fmt::format("cannot read '{}': {}", path.string(), oneLine(input->geterror())));
    }
    input->close();
    return image;
}

void writeImageReplacing(const fs::path& path, const Image& image, const WriteOptions& options)
{
    const OIIO::TypeDesc type = image.bits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    auto created = OIIO::ImageOutput::create(path.string());
    if (!created) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(OIIO::geterror())));
    }

    // Straight alpha is written as it is: without the hint OIIO would treat it as associated.
    OIIO::ImageSpec spec(image.width, image.height, image.channels, type);
    for (const OIIO::ParamValue& value : image.metadata) spec.extra_attribs.add_or_replace(value);
    spec.alpha_channel = image.hasAlpha() ? image.channels - 1 : -1;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!image.colorSpace.empty()) spec.attribute("oiio:ColorSpace", image.colorSpace);
    if (!options.compression.empty()) {
        applyCompression(spec, created->format_name(), options.compression);
    }

    TemporaryFile temporary(path);
    // Declared after the temporary file so that it is closed before a failure removes the file.
    const auto output = std::move(created);
    if (!output->open(temporary.path().string(), spec)) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(output->geterror())));
    }
    // A format that cannot hold this depth or layout would silently change the samples.
    if (output->spec().format != type || output->spec().nchannels != image.channels) {
        output->close();
        throw CliError(fmt::format(
            "cannot write '{}': the {} format cannot store {}-bit {} "
            "images",
            path.string(), output->format_name(), image.bits, layoutName(image.channels)));
    }

    bool ok = false;
    if (image.bits == 8) {
        const std::vector<std::uint8_t> bytes(image.samples.begin(), image.samples.end());
        ok = output->write_image(type, bytes.data());
    } else {
        ok = output->write_image(type, image.samples.data());
    }
    ok = ok && output->close();
    if (!ok) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(output->geterror())));
    }
    temporary.commitAs(path);
}

}  // namespace telvix::cli
