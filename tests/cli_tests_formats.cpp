// telvix smooth on the files a compositor has: what each output format can hold, files made at
// test time with oiiotool, read back with OpenImageIO and, for TIFF, with libtiff's tiffinfo.
#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
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

}  // namespace
}  // namespace telvix::cli::test
