// telvix smooth on the files a compositor has: what each output format can hold, files made at
// test time with oiiotool, read back with OpenImageIO and, for TIFF, with libtiff's tiffinfo.
#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cli_tests_run.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

class Formats : public Command {
protected:
    // Runs a shell command inside the scratch folder; its exit status, output discarded.
    int shell(const std::string& command)
    {
        const std::string line =
            fmt::format("cd '{}' && {} >/dev/null 2>&1", dir.string(), command);
        const int status = std::system(line.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The header of a file as OpenImageIO reads it; nchannels 0 when it cannot be opened.
    OIIO::ImageSpec header(const std::string& name)
    {
        auto input = OIIO::ImageInput::open((dir / name).string());
        if (!input) return {};
        return input->spec();
    }
    static bool have(const char* tool)
    {
        return std::system(fmt::format("command -v {} >/dev/null 2>&1", tool).c_str()) == 0;
    }
};

// A TIFF written from an input that declares a colour space (its Exif directory) is complete:
// libtiff reads its first directory without error and OpenImageIO reads its pixels.
TEST_F(Formats, TiffFromAnInputWithAColourSpaceIsReadable)
{
    const RunResult run = telvix(fmt::format("smooth '{}/cel_small.png' out.tif", TELVIX_SAMPLES));
    ASSERT_EQ(run.status, 0) << run.err;
    if (have("tiffinfo")) {
        EXPECT_EQ(shell("tiffinfo out.tif | grep -q 'Image Length'"), 0);
        EXPECT_EQ(shell("tiffinfo out.tif 2>&1 | grep -q -i 'missing\\|error'"), 1);
    }
    const Image image = readImage(dir / "out.tif");
    const Image input = readImage(fs::path(TELVIX_SAMPLES) / "cel_small.png");
    EXPECT_EQ(image.width, input.width);
    EXPECT_EQ(image.height, input.height);
    EXPECT_EQ(image.channels, input.channels);
}

// Tiled files (TIFF at 8 and 16 bits, IFF) and planar TIFF read as the same pixels as a
// plain file: the smoothed outputs are identical.
TEST_F(Formats, TiledAndPlanarFilesReadAsPlainOnes)
{
    const std::string sample = fmt::format("'{}/cel_small.png'", TELVIX_SAMPLES);
    ASSERT_EQ(shell("oiiotool " + sample + " -o plain.tif"), 0);
    ASSERT_EQ(shell("oiiotool " + sample + " --tile 64 64 -o tiled8.tif"), 0);
    ASSERT_EQ(shell("oiiotool " + sample + " --planarconfig separate -o planar.tif"), 0);
    ASSERT_EQ(shell("oiiotool " + sample + " -o in.iff"), 0);
    ASSERT_EQ(shell("oiiotool " + sample + " -d uint16 -o plain16.tif"), 0);
    ASSERT_EQ(shell("oiiotool " + sample + " -d uint16 --tile 32 16 -o tiled16.tif"), 0);
    for (const char* name : {"plain", "tiled8", "planar", "plain16", "tiled16"}) {
        const RunResult run = telvix(fmt::format("smooth {0}.tif {0}.png", name));
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    }
    const auto pixels = [&](const char* name) { return readImage(dir / name).samples; };
    EXPECT_EQ(pixels("tiled8.png"), pixels("plain.png"));
    EXPECT_EQ(pixels("planar.png"), pixels("plain.png"));
    EXPECT_EQ(pixels("tiled16.png"), pixels("plain16.png"));
    EXPECT_EQ(readImage(dir / "tiled16.png").bits, 16);
    // IFF is tiled on both sides.
    const RunResult iff = telvix("smooth in.iff out.iff");
    ASSERT_EQ(iff.status, 0) << iff.err;
    EXPECT_EQ(header("out.iff").width, 256);
}

// A file whose compressed strips are garbage fails that frame in one line: never exit 0 with
// black pixels.
TEST_F(Formats, GarbageStripsFailTheFrame)
{
    ASSERT_EQ(shell(fmt::format("oiiotool '{}/cel_small.png' --compression lzw -o good.tif",
                                TELVIX_SAMPLES)),
              0);
    std::string bytes = slurp(dir / "good.tif");
    for (std::size_t i = 200; i < bytes.size() / 2; ++i) bytes[i] = static_cast<char>(i * 7);
    std::ofstream(dir / "bad.tif", std::ios::binary) << bytes;
    const RunResult run = telvix("smooth bad.tif out.png");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot read 'bad.tif'"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

// A 10-bit DPX whose rows hold 3n + 1 samples (RGBA, 4 pixels wide) reads its last sample of
// each row from the file, as the same 10-bit value reads anywhere else in the row: the reader
// below ours reads such rows a word short and leaves that sample to whatever its buffer held.
TEST_F(Formats, TenBitDpxReadsTheLastSampleOfEachRow)
{
    constexpr std::size_t kWidth = 4;
    constexpr std::size_t kHeight = 2;
    constexpr std::size_t kChannels = 4;
    std::vector<std::uint16_t> written(kWidth * kHeight * kChannels, 0);
    written[0] = 0x5555;                   // row 0, first sample
    written[kWidth * kChannels] = 0xAAAA;  // row 1, first sample
    {
        OIIO::ImageSpec spec(static_cast<int>(kWidth), static_cast<int>(kHeight),
                             static_cast<int>(kChannels), OIIO::TypeDesc::UINT16);
        spec.attribute("oiio:BitsPerSample", 10);
        auto output = OIIO::ImageOutput::create("dpx");
        ASSERT_TRUE(output && output->open((dir / "in.dpx").string(), spec));
        ASSERT_TRUE(output->write_image(OIIO::TypeDesc::UINT16, written.data()));
        output->close();
    }
    // Each row's last word (one sample in it) gets a copy of the row's first word, whose top
    // sample is the row's first.
    std::string bytes = slurp(dir / "in.dpx");
    ASSERT_GT(bytes.size(), 8U);
    const bool big = bytes.compare(0, 4, "SDPX") == 0;
    ASSERT_TRUE(big || bytes.compare(0, 4, "XPDS") == 0);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[4 + i]);
        offset |= std::size_t{byte} << (big ? 8 * (3 - i) : 8 * i);
    }
    constexpr std::size_t kRowWords = (kWidth * kChannels + 2) / 3;
    ASSERT_EQ(bytes.size(), offset + kHeight * kRowWords * 4);
    for (std::size_t row = 0; row < kHeight; ++row) {
        const std::size_t start = offset + row * kRowWords * 4;
        bytes.replace(start + (kRowWords - 1) * 4, 4, bytes.substr(start, 4));
    }
    std::ofstream(dir / "in.dpx", std::ios::binary) << bytes;

    const Image image = readImage(dir / "in.dpx");
    ASSERT_EQ(image.bits, 16);
    ASSERT_EQ(image.samples.size(), written.size());
    for (std::size_t row = 0; row < kHeight; ++row) {
        const std::size_t first = row * kWidth * kChannels;
        EXPECT_NE(image.samples[first], 0) << "row " << row;
        EXPECT_EQ(image.samples[first + kWidth * kChannels - 1], image.samples[first])
            << "row " << row;
    }
}

// Alpha that the output format cannot hold is refused in one line before anything is written,
// naming what keeps it; --drop-alpha accepts the loss. Grey + alpha never becomes false colour.
TEST_F(Formats, AlphaTheFormatCannotHoldIsRefusedOrDropped)
{
    ASSERT_EQ(shell(fmt::format("oiiotool '{}/cel_small.png' --ch R,A -o ga.png", TELVIX_SAMPLES)),
              0);
    RunResult run = telvix("smooth ga.png out.jpg");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot hold alpha"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--drop-alpha"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));

    run = telvix("smooth ga.png out.jpg --drop-alpha");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(header("out.jpg").nchannels, 1);  // grey stays grey

    // Formats without grey + alpha get RGBA, nothing lost; none of them aborts.
    for (const char* name : {"out.webp", "out.dpx", "out.tga"}) {
        run = telvix(fmt::format("smooth ga.png {}", name));
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_EQ(header(name).nchannels, 4) << name;
    }
}

// 16-bit RGBA into JPEG: one line naming both losses and how to accept them.
TEST_F(Formats, SixteenBitsIntoAnEightBitFormatGetAHint)
{
    ASSERT_EQ(
        shell(fmt::format("oiiotool '{}/cel_small.png' -d uint16 -o c16.png", TELVIX_SAMPLES)), 0);
    RunResult run = telvix("smooth c16.png out.jpg");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--depth 8 --drop-alpha"), std::string::npos) << run.err;
    run = telvix("smooth c16.png out.jpg --depth 8 --drop-alpha");
    EXPECT_EQ(run.status, 0) << run.err;
}

// EXR holds floating point only: 8 bits are written as half and 16 as float, premultiplied, and
// read back (unpremultiplied before they are rounded) as the same integer samples.
TEST_F(Formats, IntegerSamplesIntoExrAreKeptExactly)
{
    ASSERT_EQ(
        shell(fmt::format("oiiotool '{}/cel_small.png' -d uint16 -o c16.png", TELVIX_SAMPLES)), 0);
    for (const auto& [input, bits] : {std::pair<std::string, int>{"c16.png", 16},
                                      {std::string(TELVIX_SAMPLES) + "/cel_small.png", 8}}) {
        const std::string exr = fmt::format("out{}.exr", bits);
        const std::string png = fmt::format("out{}.png", bits);
        ASSERT_EQ(telvix(fmt::format("smooth '{}' {}", input, exr)).status, 0);
        ASSERT_EQ(telvix(fmt::format("smooth '{}' {}", input, png)).status, 0);
        EXPECT_EQ(header(exr).format, bits == 8 ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
        ASSERT_EQ(shell(fmt::format("oiiotool {} --unpremult -d uint{} -o back.png", exr, bits)),
                  0);
        EXPECT_EQ(readImage(dir / "back.png").samples, readImage(dir / png).samples) << exr;
    }
}

// --key on an image without alpha writes alpha, so the keyed pixels stay transparent.
TEST_F(Formats, KeyOnAnImageWithoutAlphaWritesAlpha)
{
    ASSERT_EQ(
        shell(fmt::format("oiiotool '{}/cel_small.png' --ch R,G,B -o rgb.png", TELVIX_SAMPLES)), 0);
    const RunResult run = telvix("smooth rgb.png out.png --key FFFFFF");
    ASSERT_EQ(run.status, 0) << run.err;
    const Image image = readImage(dir / "out.png");
    ASSERT_EQ(image.channels, 4);
    const Image input = readImage(dir / "rgb.png");
    // Keyed pixels are transparent, but for those the smoothing blends along lines.
    int keyed = 0;
    int transparent = 0;
    for (int y = 0; y < input.height; ++y) {
        for (int x = 0; x < input.width; ++x) {
            if (input.at(x, y, 0) == 255 && input.at(x, y, 1) == 255 && input.at(x, y, 2) == 255) {
                ++keyed;
                if (image.at(x, y, 3) == 0) ++transparent;
            }
        }
    }
    EXPECT_GT(keyed, 1000);
    EXPECT_GT(transparent, keyed * 3 / 4);
    // Without the key an RGB image stays RGB.
    ASSERT_EQ(telvix("smooth rgb.png plain.png").status, 0);
    EXPECT_EQ(header("plain.png").nchannels, 3);
}

// Only regular files are read: a pipe, a device or a link to one fails in one line, at once.
TEST_F(Formats, OnlyRegularFilesAreRead)
{
    ASSERT_EQ(shell("mkfifo pipe.png && ln -s /dev/zero zero.png"), 0);
    for (const char* input : {"pipe.png", "zero.png", "/dev/urandom"}) {
        const RunResult run = telvix(fmt::format("smooth {} out.png", input));
        EXPECT_EQ(run.status, 1) << input;
        EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

// --compression is checked against the output's format before any work: a usage error in one
// line, never a crash on a huge number.
TEST_F(Formats, CompressionIsCheckedAgainstTheFormat)
{
    const std::string in = fmt::format("'{}/cel_small.png'", TELVIX_SAMPLES);
    for (const char* bad : {"out.png --compression 99999999999", "out.png --compression 10",
                            "out.png --compression lzw", "out.tif --compression bogus",
                            "out.jpg --drop-alpha --compression 0", "out.exr --compression lzw"}) {
        const RunResult run = telvix(fmt::format("smooth {} {}", in, bad));
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_NE(run.err.find("--compression"), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    for (const char* good :
         {"out.png --compression 09", "out.tif --compression packbits", "out.tif --compression 6",
          "out.jpg --drop-alpha --compression 90", "out.exr --compression piz"}) {
        const RunResult run = telvix(fmt::format("smooth {} {}", in, good));
        EXPECT_EQ(run.status, 0) << good << ": " << run.err;
    }
    EXPECT_EQ(header("out.tif").get_string_attribute("compression"), "zip");
    EXPECT_EQ(header("out.exr").get_string_attribute("compression"), "piz");
}

// The temporary file never makes a legal output name fail: a 249-character name is written,
// with the permissions the umask gives a new file, and no temporary file is left.
TEST_F(Formats, LongOutputNamesAndTheUmaskAreHonoured)
{
    const std::string name = std::string(245, 'a') + ".png";
    const RunResult run = telvix(
        fmt::format("smooth '{}/cel_small.png' {} && umask 027 && '{}' smooth '{}/cel_small.png' "
                    "masked.png",
                    TELVIX_SAMPLES, name, TELVIX_COMMAND, TELVIX_SAMPLES));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir / name));
    EXPECT_EQ(fs::status(dir / "masked.png").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename().string().find(".telvix-"), std::string::npos)
            << entry.path();
    }
}

// --skip-existing skips only outputs that read back whole; a cut-off one is written again and
// counted.
TEST_F(Formats, SkipExistingRedoesIncompleteOutputs)
{
    for (int f = 1; f <= 3; ++f) {
        fs::copy_file(fs::path(TELVIX_SAMPLES) / "cel_small.png",
                      dir / fmt::format("in.{:04}.png", f));
    }
    ASSERT_EQ(telvix("smooth in.####.png out.####.png").status, 0);
    const std::string whole = slurp(dir / "out.0002.png");
    std::ofstream(dir / "out.0002.png", std::ios::binary | std::ios::trunc)
        << whole.substr(0, whole.size() / 2);
    const RunResult run = telvix("smooth in.####.png out.####.png --skip-existing");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("1 existing output was incomplete and written again"), std::string::npos)
        << run.err;
    EXPECT_EQ(slurp(dir / "out.0002.png"), whole);
}

// 10 and 12-bit files keep their depth, and every code the effect leaves alone (tolerance 255:
// no edges) comes back as the same code, through OpenImageIO's TIFF reader (which widens codes
// to 16 bits by truncating) and its TIFF and DPX writers.
TEST_F(Formats, TenAndTwelveBitCodesComeBackUnchanged)
{
    for (const int bits : {10, 12}) {
        const int codes = 1 << bits;
        std::vector<std::uint16_t> samples;
        for (int y = 0; y < 2; ++y) {
            for (int c = 0; c < codes; ++c) {
                const auto wide =
                    static_cast<std::uint16_t>((c << (16 - bits)) | (c >> (2 * bits - 16)));
                samples.insert(samples.end(), {wide, wide, wide});
            }
        }
        OIIO::ImageSpec spec(codes, 2, 3, OIIO::TypeDesc::UINT16);
        spec.attribute("oiio:BitsPerSample", bits);
        auto out = OIIO::ImageOutput::create("in.tif");
        ASSERT_TRUE(out && out->open((dir / "in.tif").string(), spec));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT16, samples.data()) && out->close());
        for (const char* name : {"out.tif", "out.dpx"}) {
            const RunResult run = telvix(fmt::format("smooth in.tif {} --tolerance 255", name));
            ASSERT_EQ(run.status, 0) << run.err;
            auto in = OIIO::ImageInput::open((dir / name).string());
            ASSERT_TRUE(in);
            EXPECT_EQ(in->spec().get_int_attribute("oiio:BitsPerSample"), bits) << name;
            std::vector<std::uint16_t> back(samples.size());
            ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT16, back.data()));
            int wrong = 0;
            for (std::size_t i = 0; i < back.size(); ++i) {
                const int code = static_cast<int>((back[i] * (codes - 1u) + 32767u) / 65535u);
                wrong += code != static_cast<int>(i / 3 % static_cast<std::size_t>(codes));
            }
            EXPECT_EQ(wrong, 0) << bits << "-bit " << name;
        }
    }
}

}  // namespace
}  // namespace telvix::cli::test
