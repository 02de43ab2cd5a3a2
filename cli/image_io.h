// Reading and writing image files with OpenImageIO, keeping samples exactly as stored.
#pragma once

#include <OpenImageIO/paramlist.h>
#include <OpenImageIO/typedesc.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace telvix::cli {

// An image as a file holds it: 1 (grey), 2 (grey + alpha), 3 (RGB) or 4 (RGBA) channels of
// 8 or 16 bits, row-major with channels interleaved. Alpha, when present, is the last channel
// and straight (colour not multiplied by it).
struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;
    int bits = 8;                        // 8 (samples 0-255) or 16 (samples 0-65535)
    std::vector<std::uint16_t> samples;  // width * height * channels values
    // How the file stores its samples, kept by an output whose format holds it: unsigned
    // integers of `storedBits` (8, 10, 12 or 16; 10 and 12-bit files are processed at 16), or
    // floating point when `storedType` is HALF or FLOAT (processed at 16, 0-1 as 0-65535).
    int storedBits = 8;
    OIIO::TypeDesc storedType = OIIO::TypeDesc::UINT8;
    // The file's pages (subimages): each is an image of its own, smoothed as a frame.
    int pages = 1;
    // Floating-point samples outside 0-1 (NaN and infinities too) clipped while reading.
    std::uint64_t clipped = 0;
    std::string colorSpace;  // the file's declared colour space, carried to output
    // The file's other metadata (resolution, colour profile, dates, format settings such as its
    // compression), written back with the image; layout-describing entries are left out.
    OIIO::ParamValueList metadata;

    bool hasAlpha() const { return channels == 2 || channels == 4; }
    bool floatingPoint() const
    {
        return storedType == OIIO::TypeDesc::HALF || storedType == OIIO::TypeDesc::FLOAT;
    }
    std::size_t index(int x, int y, int c) const
    {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)) *
                   static_cast<std::size_t>(channels) +
               static_cast<std::size_t>(c);
    }
    std::uint16_t& at(int x, int y, int c) { return samples[index(x, y, c)]; }
    std::uint16_t at(int x, int y, int c) const { return samples[index(x, y, c)]; }
};

// The largest frame accepted, in pixels (e.g. 32768 x 32768). A 16-bit host world of that size
// takes 8 GiB and a render needs three; anything larger is far beyond any animation frame and is
// more likely a damaged or hostile header than a picture.
inline constexpr std::uint64_t kMaxFramePixels = std::uint64_t{1} << 30;

// Checks, from a frame's size alone and before any pixel memory is taken, that the render's
// three host worlds (input, output and the effect's temporary one) of `hostBits` (8 or 16) fit
// in `memoryBytes`. Throws CliError naming `path` and the memory needed otherwise.
// `jobs` > 1: the memory is one job's share of a run of that many frames at once.
void checkFrameMemory(const std::filesystem::path& path, std::uint64_t width, std::uint64_t height,
                      int hostBits, std::uint64_t memoryBytes, int jobs = 1);

// The machine's physical memory in bytes (0 when the system does not say).
std::uint64_t physicalMemoryBytes();

// The memory a run may use: the machine's physical memory, or less where the process's control
// group or its resource limits (address space, data) allow less; 0 when nothing says.
std::uint64_t memoryBudgetBytes();

// Bytes of one host world of width x height at `hostBits` (8 or 16).
inline std::uint64_t worldBytes(std::uint64_t width, std::uint64_t height, int hostBits)
{
    return width * height * (hostBits == 16 ? 8 : 4);
}

// Memory a frame's render needs beside its worlds: strips of rows being read and written, the
// encoder's and decoder's buffers.
inline constexpr std::uint64_t kFrameOverheadBytes = std::uint64_t{64} << 20;

// Bytes of the worlds a file of `pages` takes while it renders: every page's world (at
// `hostBits`, or the page's own depth when it is 0) is held until the file is written, and a
// render adds two more of the largest page's size. For one page: its three worlds.
std::uint64_t pagesRenderBytes(const std::vector<Image>& pages, int hostBits);

// Bytes of every page's world of a file: what a frame waiting its turn holds.
std::uint64_t pagesWorldBytes(const std::vector<Image>& pages, int hostBits);

// Checks, from the pages' headers alone and before any pixel memory is taken, that rendering
// them (pagesRenderBytes) fits in `memoryBytes` (0: unknown, nothing is checked). One page is
// checked as checkFrameMemory checks it; several say how many pages and pixels they hold.
// `jobs` > 1: the memory is one job's share of a run of that many frames at once.
void checkPagesMemory(const std::filesystem::path& path, const std::vector<Image>& pages,
                      int hostBits, std::uint64_t memoryBytes, int jobs = 1);

// How files are read.
struct ReadOptions {
    // Floating-point samples are processed at this depth (8 or 16), at 16 when it is 0. Samples
    // of other types (32-bit integers, mixed types) are converted to it, and refused when it is 0.
    int otherFormatsAs = 0;
    // Floating-point samples outside 0-1 are clipped (and counted in Image::clipped) instead of
    // the file being refused.
    bool clip = false;
};

// Reads the headers of every page of `path` with every check readPagesRows makes before taking
// pixel memory, and describes the pages as readPagesRows would (no samples).
std::vector<Image> readPageHeaders(const std::filesystem::path& path,
                                   const ReadOptions& options = {});

// Removes the temporary files that runs on this machine killed outright (SIGKILL, a power cut)
// left in `folder`: files of the command's own temporary naming, from this machine, whose
// process is gone and which no process holds locked. Nothing else is touched. Returns how many
// were removed.
std::size_t removeOrphanedTemporaries(const std::filesystem::path& folder);

// Receives rows [first, first + rows) of page `page` of an image being read: width * channels
// samples per row, channels interleaved, at the page's bits.
using RowSink = std::function<void(int page, int first, int rows, const std::uint16_t* samples)>;

// Reads every page of `path` without premultiplying alpha, handing its pixels to `sink` a strip
// of rows at a time, page after page, instead of keeping them; returns the pages' descriptions
// (without samples). `begin` gets them all before any pixel is read, to check them and make room
// for the rows. 8 and 16-bit files keep their depth, 10 and 12-bit ones are read as 16-bit
// (c * 65535 / (2^bits - 1), as OpenImageIO widens them), floating point as `options` says.
// Throws CliError naming the file on a missing or unreadable file, a file that is not an image,
// a layout other than grey, grey + alpha, RGB and RGBA, a size beyond kMaxFramePixels or with
// rows of more than 2^31 - 1 bytes at 16 bits, and floating-point samples outside 0-1 (with
// their count) unless `options.clip`.
std::vector<Image> readPagesRows(const std::filesystem::path& path, const ReadOptions& options,
                                 const std::function<void(const std::vector<Image>&)>& begin,
                                 const RowSink& sink);

// True when `path` is an image that reads back whole: its header and every pixel of every page.
// An output cut short (a run killed while another tool wrote it, a full disk) is not complete.
bool isCompleteImage(const std::filesystem::path& path);

// The first page of `path` as readPagesRows reads it, with its samples.
Image readImage(const std::filesystem::path& path, int otherFormatsAs = 0, bool clip = false);

// How an image is encoded, beyond what the image itself says.
struct WriteOptions {
    // The format's compression: a number is PNG's compression level (0-9); any other text is
    // OpenImageIO's "compression" setting (TIFF "lzw", "zip", "none"; "rle" ...). Empty: the
    // input's setting, if any, else the format's default.
    std::string compression;
    // Alpha may be dropped where the output format cannot hold it (--drop-alpha); otherwise such
    // an output is refused.
    bool dropAlpha = false;
    // The colour key is on: an image without alpha is written with one, so that the keyed
    // pixels stay transparent.
    bool keyed = false;
};

// Checks a --compression value against the format `path`'s extension names (PNG level 0-9,
// TIFF none/lzw/zip/deflate/packbits or a zip level 1-9, JPEG quality 1-100, EXR method names,
// a method name for other formats). Throws UsageError naming what the format takes.
void checkCompression(const std::filesystem::path& path, const std::string& compression);

// What an output file will hold: its channels (1-4, alpha last when 2 or 4) and the type of its
// samples (8 or 16-bit integers, 10 or 12-bit ones stored in 16-bit values when `bitsPerSample`
// says so, or half or float).
struct OutputLayout {
    int channels = 0;
    OIIO::TypeDesc type;
    int bitsPerSample = 0;  // 10 or 12: the integers are written with that many bits
};

// Decides, from the output's format alone and before any work, how a page described by
// `description` (its channels as read, one more when `options.keyed` adds alpha; samples given
// at `bits`; the file's stored type and page count) is written to `path`: grey becomes RGB and
// grey + alpha RGBA where the format has no grey (+ alpha); 10 and 12-bit samples keep their
// bits where the format holds them (DPX, TIFF), else 16; half and float stay so where the
// format holds them (OpenEXR, TIFF), else 16 bits; in a floating-point-only format 8-bit becomes
// half and 16-bit float. Throws CliError, naming what would keep the image, where something
// would be lost: alpha the format cannot hold (unless `options.dropAlpha`), 16 bits in an
// 8-bit format, or pages in a format of single images.
OutputLayout planOutputLayout(const std::filesystem::path& path, const Image& description,
                              const WriteOptions& options);

// Writes `image` to `path` in the format its extension names, at the image's depth and channel
// count, alpha left unassociated. The data goes to a temporary file in the same folder that is
// renamed over `path` only once complete, so a failure leaves neither a partial file nor a
// changed `path`. Throws CliError when the format cannot hold the image exactly or on any I/O
// failure.
void writeImageReplacing(const std::filesystem::path& path, const Image& image,
                         const WriteOptions& options = {});

// Fills rows [first, first + rows) of an image being written (width * channels samples per
// row at its bits).
using RowSource = std::function<void(int first, int rows, std::uint16_t* samples)>;

// One page of a file being written: its description (size, channels, bits, stored type, colour
// space, metadata; its samples are not used) and the source of its rows.
struct PageSource {
    Image description;
    RowSource source;
};

// Writes as writeImageReplacing does the pages `pages` (several only into a format that holds
// pages: TIFF), whose rows their sources supply a strip at a time, so that no second copy of a
// whole image is needed. An existing `path` that is not a regular file (a folder, a device such
// as /dev/full, a pipe) is refused, never replaced.
void writePagesReplacing(const std::filesystem::path& path, const std::vector<PageSource>& pages,
                         const WriteOptions& options = {});

}  // namespace telvix::cli
