// telvix smooth on the files a compositor has: what each output format can hold, files made at
// test time with oiiotool, read back with OpenImageIO and, for TIFF, with libtiff's tiffinfo.
#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <string>

#include "cli_tests_run.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

class Formats : public Command {
protected:
    // Runs a shell command inside the scratch folder; its exit status, output discarded.
    int shell(const std::string& command)
    {
        const std::string line = fmt::format("cd '{}' && {} >/dev/null 2>&1", dir.string(), command);
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

}  // namespace
}  // namespace telvix::cli::test
