// telvix smooth on damaged files and failing disks: every case ends with a "telvix: error:"
// line naming the file, exit status 1, no new or half-written file, and every input file left
// exactly as it was (bytes and modification time).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <random>

#include "cli_error.h"
#include "cli_tests_sequence_support.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

// Every file of a folder with its bytes and modification time, to show a run touched nothing.
std::map<std::string, std::string> stamped(const fs::path& folder)
{
    std::map<std::string, std::string> files = snapshot(folder);
    for (auto& [name, content] : files) {
        struct stat info {};
        if (lstat((folder / name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            content += fmt::format("|mtime {}.{}", info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
        }
    }
    return files;
}

// A literal's bytes, zeros included.
template <std::size_t N>
std::string bytesOf(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

void save(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::uint32_t crc32(const std::string& bytes, std::size_t from, std::size_t count)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < from + count; ++i) {
        crc ^= static_cast<std::uint8_t>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBigEndian(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// A valid PNG whose header claims width x height, with a correct checksum: only the pixel data
// that follows does not match.
std::string pngClaiming(const std::string& png, std::uint32_t width, std::uint32_t height)
{
    std::string bytes = png;
    // Signature (8), IHDR length (4), "IHDR" (4), width, height ... then the chunk's CRC at 29.
    putBigEndian(bytes, 16, width);
    putBigEndian(bytes, 20, height);
    putBigEndian(bytes, 29, crc32(bytes, 12, 17));
    return bytes;
}

// A little-endian TIFF's first directory rewritten to claim width x height.
std::string tiffClaiming(const std::string& tiff, std::uint32_t width, std::uint32_t height)
{
    std::string bytes = tiff;
    auto get = [&](std::size_t at, int size) {
        std::uint32_t v = 0;
        for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(bytes[at + i]);
        return v;
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    };
    EXPECT_EQ(bytes.substr(0, 2), "II");
    const std::uint32_t directory = get(4, 4);
    for (std::uint32_t i = 0, n = get(directory, 2); i < n; ++i) {
        const std::size_t entry = directory + 2 + 12 * i;
        const std::uint32_t tag = get(entry, 2);
        if (tag != 256 && tag != 257) continue;
        bytes[entry + 2] = 4;  // type LONG, one value
        bytes[entry + 3] = 0;
        put32(entry + 8, tag == 256 ? width : height);
    }
    return bytes;
}

// A frame of random RGBA: it does not compress, so its PNG is as big as its pixels.
Image noise(int width, int height)
{
    Image image;
    image.width = width;
    image.height = height;
    image.channels = 4;
    std::mt19937 random(7);
    for (int i = 0; i < width * height * 4; ++i) image.samples.push_back(random() & 0xFFu);
    return image;
}

// A tmpfs mounted on a folder of the scratch folder for the test's life; tests that need one
// skip themselves where mounting is not allowed.
class Mounted {
public:
    Mounted(const fs::path& folder, unsigned long flags, const char* options) : folder_(folder)
    {
        fs::create_directories(folder);
        mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", flags, options) == 0;
    }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    ~Mounted()
    {
        if (mounted_) umount(folder_.c_str());
    }
    bool ok() const { return mounted_; }

private:
    fs::path folder_;
    bool mounted_ = false;
};

class Robustness : public Command {
protected:
    // Runs `args` and checks the failure: status 1, stderr ending in the command's one error
    // line saying `says` (for a `sequence`, one line per failed frame and a summary); the folder
    // exactly as before, or for a sequence its files as before beside frames finished whole.
    void expectRefusal(const std::string& args, const std::string& says, bool sequence = false)
    {
        const auto before = stamped(dir);
        const RunResult run = telvix(args);
        EXPECT_EQ(run.status, 1) << args << ": " << run.err;
        // Image libraries may print their own diagnostics first; ours is the one line at the end.
        const auto ours = run.err.find("telvix: error: ");
        ASSERT_NE(ours, std::string::npos) << args << ": " << run.err;
        if (sequence) {
            for (auto line = ours; line < run.err.size(); line = run.err.find('\n', line) + 1) {
                EXPECT_EQ(run.err.compare(line, 15, "telvix: error: "), 0) << run.err;
            }
        } else {
            EXPECT_EQ(run.err.find('\n', ours), run.err.size() - 1) << args << ": " << run.err;
        }
        EXPECT_NE(run.err.find(says, ours), std::string::npos) << args << ": " << run.err;
        const auto after = stamped(dir);
        if (!sequence) {
            EXPECT_EQ(after, before) << args << " changed the folder";
        }
        for (const auto& [name, content] : before) {
            EXPECT_TRUE(after.count(name) && after.at(name) == content)
                << args << " touched " << name;
        }
        EXPECT_EQ(temporaryFiles(dir), 0) << args;
        ++tried;
    }

    std::string cel() const { return slurp(TELVIX_SAMPLES "/cel_small.png"); }

    int tried = 0;
};

TEST_F(Robustness, DamagedAndForeignFilesAreRefused)
{
    const std::string png = cel();
    for (std::size_t cut : {std::size_t{8}, std::size_t{20}, std::size_t{33}, std::size_t{60},
                            png.size() / 2, png.size() - 40}) {
        save(dir / fmt::format("cut{}.png", cut), png.substr(0, cut));
    }
    std::string flipped = png;
    for (std::size_t i = png.size() / 2; i < png.size() / 2 + 3; ++i) flipped[i] ^= 0x5A;
    save(dir / "flipped.png", flipped);
    save(dir / "empty.png", "");
    save(dir / "empty.tif", "");
    save(dir / "bogus.tif", bytesOf("II*\0\x08\0\0\0\xff\xff garbage"));
    save(dir / "text.png", "just some words\n");
    save(dir / "jpeg-named.tif", bytesOf("\xff\xd8\xff\xe0 not really"));
    save(dir / "png-named.tif", png);  // a PNG under a TIFF name is still read as what it is
    const auto inputs = stamped(dir);

    for (const auto& [name, content] : inputs) {
        if (name == "png-named.tif") continue;
        expectRefusal(fmt::format("smooth {} out.png", name), fmt::format("'{}'", name));
        expectRefusal(fmt::format("smooth {} out.png --depth 16", name), fmt::format("'{}'", name));
    }
    EXPECT_EQ(telvix("smooth png-named.tif out.png").status, 0);
    EXPECT_EQ(tried, 24);
}

TEST_F(Robustness, ImpossibleSizesAreRefusedFromTheHeader)
{
    writeWithOiio(dir / "small.tif", 4, OIIO::TypeDesc::UINT8);
    const std::string png = cel();
    const std::string tiff = slurp(dir / "small.tif");
    fs::remove(dir / "small.tif");
    const struct {
        const char* name;
        std::uint32_t width, height;
        const char* says;  // from our check (PNG), empty: any reason, as long as it is refused
    } sizes[] = {
        {"huge", 100000, 100000, "pixels"},
        {"max", 0x7FFFFFFF, 0x7FFFFFFF, ""},  // beyond what the PNG library itself reads
        {"wide", 300000, 4000, "pixels"},
        {"zero", 0, 0, ""},
        {"flat", 5000, 0, ""},
    };
    for (const auto& s : sizes) {
        save(dir / fmt::format("{}.png", s.name), pngClaiming(png, s.width, s.height));
        save(dir / fmt::format("{}.tif", s.name), tiffClaiming(tiff, s.width, s.height));
    }
    save(dir / "unsigned.tif", tiffClaiming(tiff, 0xFFFFFFFF, 0xFFFFFFFF));
    save(dir / "too-wide.tif", tiffClaiming(tiff, 300000000, 1));

    for (const auto& s : sizes) {
        for (const char* ext : {"png", "tif"}) {
            // Asked at 16 bits, a refused frame would have needed the most memory.
            // The TIFF reader has a size limit of its own that may refuse first.
            expectRefusal(fmt::format("smooth {}.{} out.png --depth 16", s.name, ext),
                          ext == std::string("png") ? s.says : s.name);
        }
    }
    expectRefusal("smooth unsigned.tif out.png", "unsigned.tif");
    expectRefusal("smooth too-wide.tif out.png", "pixels wide");
    // In a sequence the frame is named and the run stops cleanly.
    save(dir / "seq.0001.png", pngClaiming(png, 100000, 100000));
    fs::copy_file(TELVIX_SAMPLES "/cel_small.png", dir / "seq.0002.png");
    expectRefusal("smooth seq.####.png seq-out.####.png --jobs 1",
                  "frame 1: 'seq.0001.png' is 100000x100000 pixels", true);
}

TEST(FrameMemory, ThreeWorldsMustFitInTheMachine)
{
    constexpr std::uint64_t GB = std::uint64_t{1000} * 1000 * 1000;
    // 20000 x 20000: 3.2 GB per 16-bit world, 1.6 GB per 8-bit one; and 67 MB of buffers. A
    // 16-bit frame keeps its samples as read too (3.2 GB); 8 bits in an 8-bit world need not.
    EXPECT_THROW(checkFrameMemory("f.png", 20000, 20000, 16, 8 * GB), CliError);
    EXPECT_NO_THROW(checkFrameMemory("f.png", 20000, 20000, 16, 13 * GB));
    EXPECT_NO_THROW(checkFrameMemory("f.png", 20000, 20000, 8, 8 * GB));
    EXPECT_NO_THROW(checkFrameMemory("f.png", 20000, 20000, 16, 0));  // memory unknown
    try {
        checkFrameMemory("f.png", 20000, 20000, 16, 8 * GB);
    } catch (const CliError& e) {
        EXPECT_STREQ(e.what(),
                     "'f.png' is 20000x20000 pixels; rendering it at 16 bits needs 12.87 GB but "
                     "this machine has 8.00 GB of memory");
    }
}

TEST(FrameMemory, EveryPageIsHeldAndTwoMoreOfTheLargest)
{
    constexpr std::uint64_t GB = std::uint64_t{1000} * 1000 * 1000;
    const auto page = [](int width, int height, int bits) {
        Image image;
        image.width = width;
        image.height = height;
        image.channels = 4;
        image.bits = bits;
        return image;
    };
    // 10000 x 10000 at 16 bits: 0.8 GB a world and as much for its samples as read; 5000 x 5000:
    // 0.2 GB each.
    const std::vector<Image> pages{page(10000, 10000, 16), page(5000, 5000, 16),
                                   page(5000, 5000, 16)};
    EXPECT_EQ(pagesWorldBytes(pages, 0), 24 * GB / 10);
    EXPECT_EQ(pagesRenderBytes(pages, 0), 40 * GB / 10);
    // An explicit depth counts every page at that depth.
    EXPECT_EQ(pagesRenderBytes(pages, 8), 26 * GB / 10);
    // One page: its three worlds and its samples, as checkFrameMemory counts them.
    EXPECT_EQ(pagesRenderBytes({pages[0]}, 0), 32 * GB / 10);
    EXPECT_NO_THROW(checkPagesMemory("f.tif", pages, 0, 41 * GB / 10));
    EXPECT_NO_THROW(checkPagesMemory("f.tif", pages, 0, 0));  // memory unknown
    try {
        checkPagesMemory("f.tif", pages, 0, 2 * GB, 4);
        ADD_FAILURE() << "three pages needing 4.0 GB fit in 2 GB";
    } catch (const CliError& e) {
        EXPECT_STREQ(e.what(),
                     "'f.tif' has 3 pages of 150000000 pixels in all; rendering them needs 4.07 GB "
                     "but each of the 4 jobs has 2.00 GB of this machine's memory (fewer --jobs "
                     "give each more)");
    }
    try {
        checkPagesMemory("f.tif", {pages[0]}, 0, 2 * GB);
        ADD_FAILURE() << "a page needing 3.2 GB fits in 2 GB";
    } catch (const CliError& e) {
        EXPECT_STREQ(e.what(),
                     "'f.tif' is 10000x10000 pixels; rendering it at 16 bits needs 3.27 GB but "
                     "this machine has 2.00 GB of memory");
    }
}

TEST(FrameMemory, MessagesNameTheLimitWithFiguresThatAgree)
{
    constexpr std::uint64_t MB = std::uint64_t{1000} * 1000;
    // 166.64 MB needed, 166.60 MB left: rounded, the need must still read as more.
    const MemoryBudget left(166 * MB + 600'000, MemoryLimit::AddressSpace, 640 * MB);
    try {
        checkFrameMemory("f.png", 3840, 2160, 8, left);
        ADD_FAILURE() << "167 MB fit in 166 MB";
    } catch (const CliError& e) {
        EXPECT_STREQ(e.what(),
                     "'f.png' is 3840x2160 pixels; rendering it at 8 bits needs 167 MB but the "
                     "process's address-space limit (ulimit -v) leaves 166 MB");
    }
    EXPECT_EQ(describeMemory(MemoryBudget(900 * MB, MemoryLimit::ControlGroup, 900 * MB)),
              "the control group's memory limit is 900 MB");
    EXPECT_EQ(describeMemory(MemoryBudget(300 * MB, MemoryLimit::Data, 800 * MB)),
              "the process's data limit (ulimit -d) leaves 300 MB");
    EXPECT_EQ(describeMemory(MemoryBudget(800 * MB, MemoryLimit::AddressSpace, 1200 * MB), 4),
              "each of the 4 jobs has 800 MB of what the process's address-space limit "
              "(ulimit -v) leaves (fewer --jobs give each more)");
}

TEST_F(Robustness, UnwritableOutputsLeaveNothingBehind)
{
    fs::copy_file(TELVIX_SAMPLES "/cel_small.png", dir / "in.png");
    save(dir / "file", "a file where a folder is expected");
    ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0644), 0);

    expectRefusal("smooth in.png file/out.png", "file/out.png");
    expectRefusal("smooth in.png pipe.png", "not a regular file");
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.png"));

    // Read-only even for root, which the tests may run as.
    const Mounted readOnly(dir / "ro", MS_RDONLY, "size=64k");
    if (!readOnly.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
    expectRefusal("smooth in.png ro/out.png", "Read-only file system");
}

TEST_F(Robustness, AFullDiskLeavesNoPartialFile)
{
    writeImageReplacing(dir / "noise.png", noise(128, 128));  // about 64 kB as PNG
    const Mounted tiny(dir / "full", 0, "size=16k");
    if (!tiny.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
    expectRefusal("smooth noise.png full/out.png", "No space left on device");
    expectRefusal("smooth noise.png full/out.tif", "full/out.tif");
    expectRefusal("smooth noise.png full/out.png --depth 16", "No space left on device");
    EXPECT_TRUE(fs::is_empty(dir / "full"));

    // A sequence fills the disk part way: the frames before are whole, none is half-written.
    for (int f = 1; f <= 6; ++f) {
        writeImageReplacing(dir / fmt::format("seq.{:04}.png", f),
                            f % 2 ? stairFrame(f, 8) : noise(48, 48));  // 9 kB each when noisy
    }
    expectRefusal("smooth seq.####.png full/seq.####.png --jobs 2 --keep-going", "frames failed",
                  true);
    EXPECT_EQ(temporaryFiles(dir / "full"), 0);
    int whole = 0;
    for (const auto& entry : fs::directory_iterator(dir / "full")) {
        EXPECT_NO_THROW(readImage(entry.path())) << entry.path();
        ++whole;
    }
    EXPECT_GE(whole, 1);
    EXPECT_LT(whole, 6);
}

// Every frame after the disk is full would fail the same way: the run stops even when kept
// going, and says what it left.
TEST_F(Robustness, AFullDiskStopsARunThatKeepsGoing)
{
    for (int f = 1; f <= 12; ++f) {
        writeImageReplacing(dir / fmt::format("seq.{:04}.png", f), noise(48, 48));  // 9 kB
    }
    const Mounted tiny(dir / "full", 0, "size=16k");
    if (!tiny.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
    const RunResult run = telvix("smooth seq.####.png full/seq.####.png --jobs 1 --keep-going");
    EXPECT_EQ(run.status, 1) << run.err;
    // The frame that found the disk full, and at most the one read while it was written.
    int failed = 0;
    for (auto at = run.err.find("telvix: error: frame "); at != std::string::npos;
         at = run.err.find("telvix: error: frame ", at + 1)) {
        ++failed;
    }
    EXPECT_GE(failed, 1) << run.err;
    EXPECT_LE(failed, 2) << run.err;
    EXPECT_NE(run.err.find("the disk is full: stopped despite --keep-going, 1 written, the other"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(fmt::format("the other {} not attempted", 11 - failed)),
              std::string::npos)
        << run.err;
    EXPECT_EQ(temporaryFiles(dir / "full"), 0);
}

}  // namespace
}  // namespace telvix::cli::test
