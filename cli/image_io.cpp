#include "image_io.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <system_error>

#include "cli_error.h"
#include "dpx_row_end.h"
#include "interrupt.h"

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
    if (spec.width <= 0 || spec.height <= 0 || spec.depth > 1) {
        throw CliError(fmt::format("'{}' has an unsupported size {}x{}x{}", path.string(),
                                   spec.width, spec.height, spec.depth));
    }
    // The host's worlds address rows with 32-bit byte counts of up to 8 bytes per pixel.
    if (spec.width > INT_MAX / 8) {
        throw CliError(
            fmt::format("'{}' is {} pixels wide; frames wider than {} pixels are not "
                        "supported",
                        path.string(), spec.width, INT_MAX / 8));
    }
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.height);
    if (pixels > kMaxFramePixels) {
        throw CliError(
            fmt::format("'{}' is {}x{} pixels; frames of more than {} pixels "
                        "(e.g. 32768x32768) are not supported",
                        path.string(), spec.width, spec.height, kMaxFramePixels));
    }
}

// Rows per strip when an image is read or written a strip at a time: about 4 MiB of samples.
int stripRows(int width, int channels, int height)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels * 2;
    const std::size_t rows = std::max<std::size_t>(1, (std::size_t{4} << 20) / rowBytes);
    return static_cast<int>(std::min<std::size_t>(rows, static_cast<std::size_t>(height)));
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

// This machine's name as temporary file names carry it: letters and digits, at most 16.
const std::string& hostTag()
{
    static const std::string tag = [] {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        std::string kept;
        for (const char* c = host; *c != '\0' && kept.size() < 16; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) kept += *c;
        }
        return kept.empty() ? std::string("host") : kept;
    }();
    return tag;
}

// Six random letters and digits for a temporary name.
std::string randomSuffix()
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kAlphabet[random() % (sizeof kAlphabet - 1)];
    return suffix;
}

// ".<stem>.telvix-<host>-<pid>-<six random characters><extension>": hidden, named after the
// output, and naming the machine and the process that writes it, so that a later run can tell
// a file left by a killed run from one being written.
const std::regex& temporaryNamePattern()
{
    static const std::regex pattern(
        R"(\..+\.telvix-([A-Za-z0-9]+)-([0-9]{1,10})-[A-Za-z0-9]{6}(\.[^.]*)?)");
    return pattern;
}

// A file created beside the destination, removed again unless it is committed (renamed over
// the destination). It is registered with the signal handling, which removes it if the process
// is ended at once, and held locked (flock) while it lives, so that another run's orphan sweep
// leaves it alone.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& destination)
    {
        const fs::path folder =
            destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
        // The stem is shortened so that every legal output name gives a legal temporary one
        // (255 bytes at most), and an extension too long to keep is left off.
        std::string extension = destination.extension().string();
        if (extension.size() > 32) extension.clear();
        const std::string tag = fmt::format(".telvix-{}-{}-", hostTag(), getpid());
        std::string stem = destination.stem().string();
        const std::size_t room = 255 - 1 - tag.size() - 6 - extension.size();
        if (stem.size() > room) stem.resize(room);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name =
                (folder / ("." + stem + tag + randomSuffix() + extension)).string();
            int slot = -1;
            const int fd = createRegisteredFile(name, slot);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                if (errno == EINTR) throw Interrupted();
                throw CliError(fmt::format("cannot write '{}': cannot create a file in '{}': {}",
                                           destination.string(), folder.string(),
                                           std::strerror(errno)));
            }
            // A sweep that got to the new file first is removing it: take another name. File
            // systems without locks leave every file unlocked, and a sweep removes none there.
            struct stat info {};
            const bool sweeping = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            if (sweeping || (fstat(fd, &info) == 0 && info.st_nlink == 0)) {
                unregisterFile(slot);
                close(fd);
                continue;
            }
            lock_ = fd;
            slot_ = slot;
            path_ = name;
            return;
        }
        throw CliError(fmt::format("cannot write '{}': cannot create a temporary file in '{}'",
                                   destination.string(), folder.string()));
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (!committed_) unlink(path_.c_str());
        unregisterFile(slot_);
        close(lock_);
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
    int lock_ = -1;  // held open, and locked, until the file is renamed or removed
    int slot_ = -1;
    bool committed_ = false;
};

// Metadata that describes the samples' layout or how they were read: the written file states
// its own, so carrying these over could contradict it.
bool isLayoutAttribute(const std::string& name)
{
    static const char* const kLayout[] = {
        "oiio:BitsPerSample", "oiio:UnassociatedAlpha",         "oiio:ColorSpace",
        "oiio:subimages",     "tiff:PhotometricInterpretation", "tiff:PlanarConfiguration",
        "oiio:ioproxy",
    };
    for (const char* layout : kLayout) {
        if (OIIO::Strutil::iequals(name, layout)) return true;
    }
    return false;
}

// A decimal number of at most three digits in [low, high], else -1.
int smallNumber(const std::string& text, int low, int high)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int value = std::atoi(text.c_str());
    return value >= low && value <= high ? value : -1;
}

// Checks a --compression value against the output's format and applies it to its ImageSpec
// (when `spec` is given). Throws CliError naming what the format accepts.
void applyCompression(OIIO::ImageSpec* spec, const fs::path& path, const std::string& format,
                      const std::string& compression)
{
    const auto refuse = [&](const char* accepted) {
        throw UsageError(
            fmt::format("cannot write '{}': --compression '{}' does not suit the {} "
                        "format, which takes {}",
                        path.string(), compression, format, accepted));
    };
    const auto isOneOf = [&](std::initializer_list<const char*> names) {
        for (const char* name : names) {
            if (compression == name) return true;
        }
        return false;
    };
    if (format == "png") {
        const int level = smallNumber(compression, 0, 9);
        if (level < 0) refuse("a level 0-9");
        if (spec != nullptr) spec->attribute("png:compressionLevel", level);
    } else if (format == "tiff") {
        const int level = smallNumber(compression, 1, 9);
        if (level < 0 && !isOneOf({"none", "lzw", "zip", "deflate", "packbits"}))
            refuse("none, lzw, zip, deflate, packbits or a zip level 1-9");
        if (spec != nullptr) {
            spec->attribute("compression", level > 0 ? "zip:" + compression : compression);
        }
    } else if (format == "jpeg") {
        const int quality = smallNumber(compression, 1, 100);
        if (quality < 0) refuse("a quality 1-100");
        if (spec != nullptr) spec->attribute("compression", "jpeg:" + std::to_string(quality));
    } else if (format == "openexr") {
        if (!isOneOf({"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}))
            refuse("none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa or dwab");
        if (spec != nullptr) spec->attribute("compression", compression);
    } else {
        // Other formats get the value as their method name; a bare number is refused rather
        // than guessed at.
        if (compression.empty() || compression.size() > 32 ||
            compression.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789:_") !=
                std::string::npos ||
            compression.find_first_not_of("0123456789") == std::string::npos)
            refuse("a method name");
        if (spec != nullptr) spec->attribute("compression", compression);
    }
}

// An output file opened by us rather than by OpenImageIO, so that every failed write is seen:
// some format writers ignore short writes (a full disk), which would otherwise leave a
// truncated file that looks complete. stdio's error flag is sticky, so one check at the end
// catches any failure on the way.
class CheckedOutputFile {
public:
    explicit CheckedOutputFile(const fs::path& path) : file_(std::fopen(path.c_str(), "wb"))
    {
        if (file_ == nullptr) error_ = std::strerror(errno);
    }
    CheckedOutputFile(const CheckedOutputFile&) = delete;
    CheckedOutputFile& operator=(const CheckedOutputFile&) = delete;
    ~CheckedOutputFile()
    {
        if (file_ != nullptr) std::fclose(file_);
    }

    FILE* handle() const { return file_; }
    // Why the file could not be opened; empty when it is open.
    const std::string& openError() const { return error_; }

    // Flushes and closes the file; the system's reason when any write or the close failed.
    std::string finish()
    {
        const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
        const int flushErrno = errno;
        const bool closed = std::fclose(file_) == 0;
        const int closeErrno = errno;
        file_ = nullptr;
        if (!flushed) return std::strerror(flushErrno != 0 ? flushErrno : EIO);
        if (!closed) return std::strerror(closeErrno);
        return {};
    }

private:
    FILE* file_;
    std::string error_;
};

// The temporary file as a writer's I/O proxy, keeping the first failed write to itself: some
// writers end the process on a failed write (libjpeg exits on a full disk), so every write is
// reported done and the failure comes out after the writer has closed. It is a proxy of its
// own, not a file proxy, so that no writer reaches past it to the file.
class StickyFileProxy final : public OIIO::Filesystem::IOProxy {
public:
    StickyFileProxy(FILE* file, const std::string& name)
        : IOProxy(name, IOProxy::Write), fd_(fileno(file))
    {
    }
    const char* proxytype() const override { return "telvix"; }
    std::size_t write(const void* data, std::size_t size) override
    {
        pwrite(data, size, m_pos);
        m_pos += static_cast<std::int64_t>(size);
        return size;
    }
    std::size_t pwrite(const void* data, std::size_t size, std::int64_t offset) override
    {
        const auto* bytes = static_cast<const char*>(data);
        for (std::size_t done = 0; error_ == 0 && done < size;) {
            const ssize_t n = ::pwrite(fd_, bytes + done, size - done,
                                       static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) error_ = n < 0 ? errno : EIO;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        end_ = std::max(end_, offset + static_cast<std::int64_t>(size));
        return size;
    }
    std::size_t read(void*, std::size_t) override { return 0; }
    std::size_t pread(void*, std::size_t, std::int64_t) override { return 0; }
    std::size_t size() const override { return static_cast<std::size_t>(end_); }
    // The system's reason for the first failed write; empty when none failed.
    std::string failure() const { return error_ == 0 ? std::string() : std::strerror(error_); }

private:
    int fd_;
    std::int64_t end_ = 0;
    int error_ = 0;
};

// What a format's writer holds, for the formats whose limits are known: the channel counts
// (bit n set: n channels) and whether it takes 16-bit integers, or floating point only.
struct FormatLimits {
    const char* name;      // OpenImageIO's format name
    const char* userName;  // as a user names it
    unsigned channelCounts;
    bool sixteenBits;
    bool floatingPoint;
};

constexpr unsigned kAnyChannels = 0b11110;
constexpr FormatLimits kFormatLimits[] = {
    {"png", "PNG", kAnyChannels, true, false},
    {"tiff", "TIFF", kAnyChannels, true, false},
    {"jpeg", "JPEG", 0b01010, false, false},
    {"webp", "WebP", 0b11000, false, false},
    {"bmp", "BMP", 0b11000, false, false},
    {"targa", "TGA", 0b11010, false, false},
    {"dpx", "DPX", 0b11010, true, false},
    {"iff", "IFF", 0b11000, true, false},
    {"openexr", "OpenEXR", kAnyChannels, false, true},
};

const FormatLimits* limitsOf(const std::string& format)
{
    for (const FormatLimits& limits : kFormatLimits) {
        if (format == limits.name) return &limits;
    }
    return nullptr;
}

// Copies `pixels` pixels of `from` channels into `to` channels: grey repeated into red, green
// and blue, alpha kept last or left out, opaque alpha (`opaque`) added where none was.
void convertChannels(const std::uint16_t* in, int from, std::uint16_t* out, int to,
                     std::size_t pixels, std::uint16_t opaque)
{
    const bool alphaIn = from == 2 || from == 4;
    const bool alphaOut = to == 2 || to == 4;
    for (std::size_t i = 0; i < pixels; ++i, in += from, out += to) {
        const std::uint16_t alpha = alphaIn ? in[from - 1] : opaque;
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

}  // namespace

void checkCompression(const fs::path& path, const std::string& compression)
{
    if (compression.empty()) return;
    auto output = OIIO::ImageOutput::create(path.string());
    if (output) applyCompression(nullptr, path, output->format_name(), compression);
}

OutputLayout planOutputLayout(const fs::path& path, int channels, int bits,
                              const WriteOptions& options)
{
    const bool keyedAlpha = options.keyed && (channels == 1 || channels == 3);
    if (keyedAlpha) ++channels;
    auto output = OIIO::ImageOutput::create(path.string());
    if (!output) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(OIIO::geterror())));
    }
    if (!options.compression.empty()) {
        applyCompression(nullptr, path, output->format_name(), options.compression);
    }
    const FormatLimits* limits = limitsOf(output->format_name());
    OutputLayout layout{channels, bits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8};
    if (limits == nullptr) return layout;  // the writer's own check after opening decides

    const auto holds = [&](int n) { return (limits->channelCounts >> n & 1u) != 0; };
    const bool alpha = channels == 2 || channels == 4;
    const bool formatHasAlpha = holds(2) || holds(4);
    const bool losesAlpha = alpha && (!formatHasAlpha || output->supports("alpha") == 0);
    const bool losesBits = bits == 16 && !limits->sixteenBits && !limits->floatingPoint;
    if (losesAlpha && losesBits && !options.dropAlpha) {
        throw CliError(
            fmt::format("cannot write '{}': the {} format holds neither alpha nor 16 "
                        "bits per channel; write PNG or TIFF to keep both, or add "
                        "--depth 8 --drop-alpha",
                        path.string(), limits->userName));
    }
    if (losesAlpha) {
        if (!options.dropAlpha) {
            throw CliError(fmt::format(
                "cannot write '{}': the {} format cannot hold alpha{}; write PNG, TIFF or EXR "
                "to keep it, or add --drop-alpha to drop it",
                path.string(), limits->userName,
                keyedAlpha ? " (the colour key makes pixels transparent)" : ""));
        }
        --channels;
    }
    if (!holds(channels)) {
        if (channels <= 2 && holds(channels + 2)) {
            channels += 2;  // grey written as RGB: nothing is lost
        } else {
            throw CliError(fmt::format("cannot write '{}': the {} format cannot hold {} images",
                                       path.string(), limits->userName, layoutName(channels)));
        }
    }
    layout.channels = channels;
    if (limits->floatingPoint) {
        // Half holds every 8-bit value exactly, float every 16-bit one.
        layout.type = bits == 16 ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::HALF;
    } else if (losesBits) {
        throw CliError(
            fmt::format("cannot write '{}': the {} format holds 8 bits per channel "
                        "only; add --depth 8 to write 8 bits, or write PNG or TIFF "
                        "to keep 16",
                        path.string(), limits->userName));
    }
    return layout;
}

std::uint64_t physicalMemoryBytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

void checkFrameMemory(const fs::path& path, std::uint64_t width, std::uint64_t height, int hostBits,
                      std::uint64_t memoryBytes, int jobs)
{
    // Sizes reaching here are at most kMaxFramePixels, so the product cannot overflow.
    const std::uint64_t needed = 3 * width * height * (hostBits == 16 ? 8 : 4);
    if (memoryBytes != 0 && needed > memoryBytes) {
        const std::string has =
            jobs > 1
                ? fmt::format("each of the {} jobs has {:.1f} GB (fewer --jobs give each more)",
                              jobs, memoryBytes / 1e9)
                : fmt::format("this machine has {:.1f} GB of memory", memoryBytes / 1e9);
        throw CliError(
            fmt::format("'{}' is {}x{} pixels; rendering it at {} bits needs {:.1f} GB "
                        "but {}",
                        path.string(), width, height, hostBits, needed / 1e9, has));
    }
}

namespace {

// A number from the first line of a file (cgroup limits), or 0 when absent or "max".
std::uint64_t numberIn(const std::string& file)
{
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return 0;
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

// The memory limit of the process's control group (cgroup v2), or 0.
std::uint64_t cgroupLimitBytes()
{
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        if (line.rfind("0::", 0) == 0) {
            return numberIn("/sys/fs/cgroup" + line.substr(3) + "/memory.max");
        }
    }
    return 0;
}

// What is left of a resource limit on the process's memory after what it already maps
// (`used`), or 0 when there is no limit.
std::uint64_t leftOfLimit(int resource, std::uint64_t used)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    const std::uint64_t cap = limit.rlim_cur;
    return cap > used ? cap - used : 1;  // 1: nothing left, yet not "unknown"
}

}  // namespace

std::uint64_t memoryBudgetBytes()
{
    std::uint64_t budget = physicalMemoryBytes();
    const auto tighten = [&budget](std::uint64_t limit) {
        if (limit != 0 && (budget == 0 || limit < budget)) budget = limit;
    };
    tighten(cgroupLimitBytes());
    // The address space and data limits count mappings, not pages in use: what the process
    // maps already (libraries, thread stacks, allocator arenas) is taken off.
    std::uint64_t mapped = 0;
    std::uint64_t data = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, dataPages = 0;
        if (std::fscanf(statm, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text,
                        &lib, &dataPages) == 6) {
            const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
            mapped = size * page;
            data = dataPages * page;
        }
        std::fclose(statm);
    }
    tighten(leftOfLimit(RLIMIT_AS, mapped));
    tighten(leftOfLimit(RLIMIT_DATA, data));
    return budget;
}

namespace {

// Checks a PNG's chunk lengths against the file's size before any library reads it: a chunk
// claiming more bytes than the file holds (a 56-byte file whose text chunk claims 2 GB) would
// otherwise have the PNG library allocate all of them.
void checkPngChunks(const fs::path& path, std::uint64_t fileBytes)
{
    std::ifstream file(path, std::ios::binary);
    unsigned char header[8];
    if (!file.read(reinterpret_cast<char*>(header), 8)) return;
    static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (std::memcmp(header, kSignature, 8) != 0) return;
    std::uint64_t at = 8;
    while (at + 8 <= fileBytes) {
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(header), 8)) return;
        const std::uint64_t length = std::uint64_t{header[0]} << 24 |
                                     std::uint64_t{header[1]} << 16 |
                                     std::uint64_t{header[2]} << 8 | header[3];
        const std::string type(reinterpret_cast<const char*>(header + 4), 4);
        // Length, type, data and checksum.
        if (at + 12 + length > fileBytes) {
            throw CliError(fmt::format(
                "cannot read '{}': its {} chunk claims {} bytes but the file ends {} bytes on",
                path.string(), oneLine(type), length, fileBytes - std::min(fileBytes, at + 8)));
        }
        if (type == "IEND") return;
        at += 12 + length;
    }
}

// How many times its pixels' size a format can shrink them at the most, for the formats where
// that is known (deflate reaches about 1032:1, LZW about 1400:1, run lengths of 128 pixels a few
// hundred to one), with room to spare; 0 where it is not known.
std::uint64_t maxCompression(const std::string& format, const OIIO::ImageSpec& spec)
{
    if (format == "png" || format == "jpeg") return 2048;
    if (format == "targa") return 512;
    if (format == "dpx") return 2;
    if (format == "tiff") {
        const std::string method = OIIO::Strutil::lower(spec.get_string_attribute("compression"));
        if (method.empty() || method == "none") return 2;
        if (method == "packbits") return 256;
        if (method == "lzw") return 4096;
        if (method == "zip" || method == "deflate" || method == "adobe_deflate" ||
            method == "jpeg") {
            return 2048;
        }
    }
    return 0;
}

// A header can claim any size; the pixels a file can hold are bounded by its size and how far
// its format compresses. A larger claim is a damaged or hostile header (a 9 kB TIFF claiming
// 30000x30000 pixels), refused before any pixel memory is taken.
void checkClaimedSize(const fs::path& path, const std::string& format, const OIIO::ImageSpec& spec,
                      std::uint64_t fileBytes)
{
    const std::uint64_t ratio = maxCompression(format, spec);
    if (ratio == 0) return;
    const int bits = std::max(
        1, spec.get_int_attribute("oiio:BitsPerSample", static_cast<int>(spec.format.size()) * 8));
    const std::uint64_t pixelBytes =
        static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.height) *
        static_cast<std::uint64_t>(spec.nchannels) * static_cast<std::uint64_t>(bits) / 8;
    // A megabyte of room for headers and the smallest files.
    if (pixelBytes > fileBytes * ratio + (std::uint64_t{1} << 20)) {
        throw CliError(
            fmt::format("cannot read '{}': its header claims {}x{} pixels ({:.1f} GB), more than "
                        "its {} bytes can hold; the file is damaged",
                        path.string(), spec.width, spec.height, pixelBytes / 1e9, fileBytes));
    }
}

// Opens `path` for reading after every check that needs no pixel memory, and describes it in
// `image` (no samples).
std::unique_ptr<OIIO::ImageInput> openChecked(const fs::path& path, int otherFormatsAs,
                                              Image& image)
{
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': no such file", path.string()));
    }
    if (fs::is_directory(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': it is a folder", path.string()));
    }
    // Only regular files (after following links) are read: a pipe, a socket or a device such as
    // /dev/zero would block or never end.
    if (!fs::is_regular_file(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': it is not a regular file", path.string()));
    }
    const std::uint64_t fileBytes = fs::file_size(path, ec);
    if (ec || fileBytes == 0) {
        throw CliError(fmt::format("cannot read '{}': the file is empty", path.string()));
    }
    checkPngChunks(path, fileBytes);

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
    // The size is checked from the header, before any pixel memory is taken.
    checkLayout(path, spec);
    checkClaimedSize(path, input->format_name(), spec, fileBytes);

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
    return input;
}

}  // namespace

Image readImageHeader(const fs::path& path, int otherFormatsAs)
{
    Image image;
    openChecked(path, otherFormatsAs, image)->close();
    return image;
}

Image readImageRows(const fs::path& path, int otherFormatsAs,
                    const std::function<void(const Image&)>& begin, const RowSink& sink)
{
    Image image;
    const auto input = openChecked(path, otherFormatsAs, image);
    const OIIO::ImageSpec& spec = input->spec();
    begin(image);

    // Samples are handed on as 16-bit values at both depths; 8-bit files go through bytes.
    // Tiled files are read a row of tiles at a time (their scanline reads are not usable), so
    // a strip is a whole number of tile rows.
    const bool tiled = spec.tile_width > 0 && spec.tile_height > 0;
    int strip = stripRows(image.width, image.channels, image.height);
    if (tiled) {
        strip = std::max(1, strip / spec.tile_height) * spec.tile_height;
        strip = std::min(strip, image.height);
    }
    const std::size_t stripSamples = static_cast<std::size_t>(strip) *
                                     static_cast<std::size_t>(image.width) *
                                     static_cast<std::size_t>(image.channels);
    std::vector<std::uint16_t> samples(stripSamples);
    std::vector<std::uint8_t> bytes(image.bits == 8 ? stripSamples : 0);
    // OpenImageIO's DPX reader leaves the last sample of some rows unread (dpx_row_end.h).
    const std::optional<DpxRowEnds> rowEnds =
        image.bits == 16 ? DpxRowEnds::find(path, input->format_name(), spec) : std::nullopt;
    for (int first = 0; first < image.height; first += strip) {
        // A stop request ends even a long read promptly, a strip at a time.
        throwIfInterrupted();
        const int rows = std::min(strip, image.height - first);
        const std::size_t count = static_cast<std::size_t>(rows) * image.width * image.channels;
        // The data window may start anywhere; rows are counted from its top.
        const int y = spec.y + first;
        const OIIO::TypeDesc type =
            image.bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
        void* data = image.bits == 8 ? static_cast<void*>(bytes.data()) : samples.data();
        bool ok = false;
        if (tiled) {
            ok = input->read_tiles(0, 0, spec.x, spec.x + image.width, y, y + rows, spec.z,
                                   spec.z + 1, 0, image.channels, type, data);
        } else {
            ok = input->read_scanlines(0, 0, y, y + rows, 0, 0, image.channels, type, data);
        }
        if (image.bits == 8) std::copy_n(bytes.begin(), count, samples.begin());
        // A damaged file can read "successfully" with an error noted on the way (a cut-off
        // strip left black); that frame is not to be trusted.
        if (!ok || input->has_error()) {
            throw CliError(
                fmt::format("cannot read '{}': {}", path.string(), oneLine(input->geterror())));
        }
        if (rowEnds && !rowEnds->repair(first, rows, samples.data())) {
            throw CliError(fmt::format("cannot read '{}': the file ends early", path.string()));
        }
        sink(first, rows, samples.data());
    }
    input->close();
    return image;
}

bool isCompleteImage(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    try {
        readImageRows(
            path, 16, [](const Image&) {}, [](int, int, const std::uint16_t*) {});
        return true;
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

Image readImage(const fs::path& path, int otherFormatsAs)
{
    Image image;
    readImageRows(
        path, otherFormatsAs,
        [&](const Image& found) {
            image = found;
            image.samples.resize(static_cast<std::size_t>(found.width) * found.height *
                                 found.channels);
        },
        [&](int first, int rows, const std::uint16_t* samples) {
            const std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
            std::copy_n(samples, rows * row, image.samples.begin() + first * row);
        });
    return image;
}

void writeImageRowsReplacing(const fs::path& path, const Image& description,
                             const RowSource& source, const WriteOptions& options)
{
    // Renaming over a device or a pipe would replace it (as root even /dev/null) with a file.
    std::error_code ec;
    if (fs::exists(path, ec) && !fs::is_regular_file(path, ec)) {
        throw CliError(
            fmt::format("cannot write '{}': it exists and is not a regular file", path.string()));
    }
    const OutputLayout layout =
        planOutputLayout(path, description.channels, description.bits, options);
    const int channels = layout.channels;
    const OIIO::TypeDesc type = layout.type;
    const bool floating = type == OIIO::TypeDesc::HALF || type == OIIO::TypeDesc::FLOAT;
    auto created = OIIO::ImageOutput::create(path.string());
    if (!created) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(OIIO::geterror())));
    }

    // Straight alpha is written as it is: without the hint OIIO would treat it as associated.
    OIIO::ImageSpec spec(description.width, description.height, channels, type);
    for (const OIIO::ParamValue& value : description.metadata) {
        spec.extra_attribs.add_or_replace(value);
    }
    spec.alpha_channel = channels == 2 || channels == 4 ? channels - 1 : -1;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!description.colorSpace.empty()) spec.attribute("oiio:ColorSpace", description.colorSpace);
    if (!options.compression.empty()) {
        applyCompression(&spec, path, created->format_name(), options.compression);
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
    if (!output->open(temporary.path().string(), spec)) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(output->geterror())));
    }
    // A format that cannot hold this depth or layout would silently change the samples.
    if (output->spec().format != type || output->spec().nchannels != channels) {
        output->close();
        throw CliError(fmt::format(
            "cannot write '{}': the {} format cannot store {}-bit {} "
            "images",
            path.string(), output->format_name(), description.bits, layoutName(channels)));
    }

    // A format that writes tiles (IFF) takes whole rows of tiles: a strip is a multiple of them.
    const int tileHeight = output->spec().tile_width > 0 ? output->spec().tile_height : 0;
    const int widest = std::max(channels, description.channels);
    int strip = stripRows(description.width, widest, description.height);
    if (tileHeight > 0) {
        strip = std::min(std::max(1, strip / tileHeight) * tileHeight, description.height);
    }
    const std::size_t stripPixels = static_cast<std::size_t>(strip) * description.width;
    std::vector<std::uint16_t> samples(stripPixels * static_cast<std::size_t>(widest));
    std::vector<std::uint16_t> converted(channels != description.channels ? samples.size() : 0);
    std::vector<std::uint8_t> bytes(description.bits == 8 && !floating ? samples.size() : 0);
    std::vector<float> floats(floating ? samples.size() : 0);
    const std::uint16_t opaque = description.bits == 16 ? 65535 : 255;
    const float scale = 1.0f / static_cast<float>(opaque);
    bool ok = true;
    for (int first = 0; ok && first < description.height; first += strip) {
        const int rows = std::min(strip, description.height - first);
        source(first, rows, samples.data());
        const std::size_t pixels = static_cast<std::size_t>(rows) * description.width;
        const std::uint16_t* written = samples.data();
        if (channels != description.channels) {
            convertChannels(samples.data(), description.channels, converted.data(), channels,
                            pixels, opaque);
            written = converted.data();
        }
        const std::size_t count = pixels * static_cast<std::size_t>(channels);
        const void* data = written;
        if (floating) {
            std::transform(written, written + count, floats.begin(),
                           [scale](std::uint16_t v) { return static_cast<float>(v) * scale; });
            data = floats.data();
        } else if (description.bits == 8) {
            std::transform(written, written + count, bytes.begin(),
                           [](std::uint16_t v) { return std::uint8_t(v); });
            data = bytes.data();
        }
        const OIIO::TypeDesc given = floating ? OIIO::TypeDesc::FLOAT : type;
        if (tileHeight > 0) {
            ok = output->write_tiles(0, description.width, first, first + rows, 0, 1, given, data);
        } else {
            ok = output->write_scanlines(first, first + rows, 0, given, data);
        }
        // A stop request abandons the file: the temporary one is removed, nothing replaced.
        // Asked after a strip is written, as some writers complain when closed with none.
        throwIfInterrupted();
    }
    ok = ok && output->close();
    if (!proxy.failure().empty()) {
        throw CliError(fmt::format("cannot write '{}': {}", path.string(), proxy.failure()));
    }
    if (!ok) {
        throw CliError(
            fmt::format("cannot write '{}': {}", path.string(), oneLine(output->geterror())));
    }
    const std::string failure = file.finish();
    if (!failure.empty()) {
        throw CliError(fmt::format("cannot write '{}': {}", path.string(), failure));
    }
    if (!throughProxy) {
        // The writer used its own file, whose failures it may not have reported: read the
        // result back before it replaces anything.
        readImageRows(
            temporary.path(), description.bits, [](const Image&) {},
            [](int, int, const std::uint16_t*) {});
    }
    // Interrupted on the way: nothing replaces the output.
    throwIfInterrupted();
    temporary.commitAs(path);
}

void writeImageReplacing(const fs::path& path, const Image& image, const WriteOptions& options)
{
    const std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
    writeImageRowsReplacing(
        path, image,
        [&](int first, int rows, std::uint16_t* samples) {
            std::copy_n(image.samples.begin() + first * row, rows * row, samples);
        },
        options);
}

std::size_t removeOrphanedTemporaries(const fs::path& folder)
{
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] != '.' || name.find(".telvix-") == std::string::npos) continue;
        std::smatch parts;
        if (!std::regex_match(name, parts, temporaryNamePattern())) continue;
        // Only this machine's files: a process elsewhere cannot be asked whether it lives.
        if (parts[1].str() != hostTag()) continue;
        const long long pid = std::stoll(parts[2].str());
        if (pid <= 0 || pid > INT_MAX || pid == getpid()) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string file = entry.path().string();
        const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened {};
        struct stat named {};
        // Removed only when it is a regular file that no process holds locked, still under
        // the name looked at.
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(file.c_str(), &named) == 0 &&
            named.st_ino == opened.st_ino && named.st_dev == opened.st_dev &&
            unlink(file.c_str()) == 0) {
            ++removed;
        }
        close(fd);
    }
    return removed;
}

}  // namespace telvix::cli
