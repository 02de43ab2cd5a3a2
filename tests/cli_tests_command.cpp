// The built telvix command run as a user runs it: files in, files out, exit status and messages.
#include "channel_convert.h"
#include "cli_tests_support.h"

#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every file of a folder with its content, to show that a run changed nothing.
std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files[entry.path().filename().string()] =
            entry.is_regular_file() ? slurp(entry.path()) : std::string("<folder>");
    }
    return files;
}

// Files are written and read with OpenImageIO directly, not through the command's own code.
void writeFile(const fs::path& file, const Image& image)
{
    const auto type = image.bits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    OIIO::ImageSpec spec(image.width, image.height, image.channels, type);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    const std::vector<std::uint8_t> bytes(image.samples.begin(), image.samples.end());
    auto out = OIIO::ImageOutput::create(file.string());
    ASSERT_TRUE(out && out->open(file.string(), spec));
    ASSERT_TRUE(out->write_image(type, image.bits == 16 ? static_cast<const void*>(image.samples.data())
                                                        : static_cast<const void*>(bytes.data())));
    ASSERT_TRUE(out->close());
}

Image readFile(const fs::path& file)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(file.string(), &config);
    Image image;
    if (!in) {
        ADD_FAILURE() << "cannot read " << file;
        return image;
    }
    const OIIO::ImageSpec& spec = in->spec();
    image.width = spec.width;
    image.height = spec.height;
    image.channels = spec.nchannels;
    image.bits = spec.format == OIIO::TypeDesc::UINT16 ? 16 : 8;
    image.samples.resize(static_cast<std::size_t>(spec.width * spec.height * spec.nchannels));
    EXPECT_TRUE(in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::UINT16,
                               image.samples.data()));
    if (image.bits == 8) {
        for (auto& s : image.samples) s = static_cast<std::uint16_t>(s / 257);
    }
    return image;
}

class Command : public ScratchFolder {
protected:
    // Runs telvix with `args` inside the scratch folder.
    RunResult telvix(const std::string& args)
    {
        const fs::path out = dir.string() + ".out";
        const fs::path err = dir.string() + ".err";
        const std::string line = fmt::format("cd '{}' && '{}' {} >'{}' 2>'{}'", dir.string(),
                                             TELVIX_COMMAND, args, out.string(), err.string());
        const int status = std::system(line.c_str());
        RunResult run;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = slurp(out);
        run.err = slurp(err);
        fs::remove(out);
        fs::remove(err);
        return run;
    }
};

// Flat colour regions meeting in straight edges, some of them semi-transparent or transparent.
constexpr const char* kNothingToSmooth = R"(
    |rrrrrrrr|
    |rrrrrrrr|
    |hhhh....|
    |hhhh....|
    |    ....|)";

TEST_F(Command, FramesWithNothingToSmoothRoundTripBitForBit)
{
    for (int bits : {8, 16}) {
        for (int channels : {3, 4}) {
            const Image image = artImage(kNothingToSmooth, bits, channels);
            writeFile(dir / "in.png", image);
            const RunResult run = telvix("smooth in.png out.png");
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            const Image out = readFile(dir / "out.png");
            EXPECT_EQ(out.bits, bits);
            EXPECT_EQ(out.channels, channels);
            EXPECT_EQ(out.samples, image.samples) << bits << "-bit, " << channels << " channels";
        }
    }
}

}  // namespace
}  // namespace telvix::cli::test
