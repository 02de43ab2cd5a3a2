// The built telvix command run as a user runs it: files in, files out, exit status and messages.
// Test images are written and read with the command's own image reading and writing, whose
// exactness the unit tests check.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "channel_convert.h"
#include "cli_tests_run.h"
#include "telvix_project_version.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

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
            writeImageReplacing(dir / "in.png", image);
            const RunResult run = telvix("smooth in.png out.png");
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            const Image out = readImage(dir / "out.png");
            EXPECT_EQ(out.bits, bits);
            EXPECT_EQ(out.channels, channels);
            EXPECT_EQ(out.samples, image.samples) << bits << "-bit, " << channels << " channels";
        }
    }
}

TEST_F(Command, DepthFollowsTheFileUnlessForced)
{
    writeImageReplacing(dir / "in8.png", artImage(kNothingToSmooth, 8));
    ASSERT_EQ(telvix("smooth in8.png wide.png --depth 16").status, 0);
    const Image wide = readImage(dir / "wide.png");
    EXPECT_EQ(wide.bits, 16);
    EXPECT_EQ(wide.at(0, 0, 0), 200 * 257);  // 'r' red, left alone: its exact 16-bit value

    writeImageReplacing(dir / "in16.png", artImage(kNothingToSmooth, 16));
    ASSERT_EQ(telvix("smooth in16.png narrow.png --depth 8").status, 0);
    const Image narrow = readImage(dir / "narrow.png");
    EXPECT_EQ(narrow.bits, 8);
    EXPECT_EQ(narrow.at(0, 0, 0), 200);                 // 'r' red, 25700 in host units
    EXPECT_EQ(narrow.at(0, 2, 3), narrow16To8(16385));  // 'h' alpha
}

// Every bad request gets one "telvix: error:" line, a status of 2 (usage) or 1 (anything
// else), and leaves the folder as it was: no new file, no existing file touched.
TEST_F(Command, BadRequestsFailCleanly)
{
    writeImageReplacing(dir / "in.png", artImage(kNothingToSmooth, 8));
    writeImageReplacing(dir / "in16.png", artImage(kNothingToSmooth, 16));
    std::ofstream(dir / "keep.jpg") << "an existing file";
    std::ofstream(dir / "text.png") << "not an image";
    writeWithOiio(dir / "hot.tif", 4, OIIO::TypeDesc::FLOAT, 1.5f);
    writeWithOiio(dir / "five.tif", 5, OIIO::TypeDesc::UINT8);
    fs::create_symlink("in.png", dir / "link.png");
    fs::create_hard_link(dir / "in.png", dir / "hard.png");
    const auto before = snapshot(dir);

    const struct {
        const char* args;
        int status;
        const char* says;
    } cases[] = {
        {"smooth missing.png out.png", 1, "no such file"},
        {"smooth . out.png", 1, "folder"},
        {"smooth text.png out.png", 1, "text.png"},
        {"smooth hot.tif out.png", 1, "64 samples outside 0-1"},
        {"smooth five.tif out.png", 1, "5 channels"},
        {"smooth in.png out.png --tolerance 256", 2, "--tolerance"},
        {"smooth in.png out.png --tolerance -1", 2, "--tolerance"},
        {"smooth in.png out.png --tolerance six", 2, "--tolerance"},
        {"smooth in.png out.png --key GG0000", 2, "--key"},
        {"smooth in.png out.png --key fff", 2, "--key"},
        {"smooth in.png out.png --extent 1,2,3", 2, "--extent"},
        {"smooth in.png out.png --extent 2,0,2,1", 2, "empty"},
        {"smooth in.png out.png --extent 0,0,9,5", 2, "outside"},
        {"smooth in.png out.png --depth 12", 2, "--depth"},
        {"smooth in.png out.png --threads 0", 2, "--threads"},
        {"smooth in.png out.png --threads -2", 2, "--threads"},
        {"smooth in.png out.png --threads 257", 2, "--threads"},
        {"smooth in.png out.png --threads two", 2, "--threads"},
        {"smooth in.png out.png --threads 1.5", 2, "--threads"},
        {"smooth in.png in.png", 2, "same file"},
        {"smooth in.png ./in.png", 2, "same file"},
        {"smooth in.png link.png", 2, "same file"},
        {"smooth in.png hard.png", 2, "same file"},
        {"smooth in.png no/out.png", 1, "no/out.png"},
        {"smooth in.png out.xyz", 1, "out.xyz"},
        {"smooth in16.png keep.jpg", 1, "keep.jpg"},
        {"smooth in.png out.png --plugin missing.so", 1, "missing.so"},
        {"smooth in.png out.png --plugin in.png", 1, "in.png"},
        {"smooth in.png out.png --plugin " TELVIX_FAILING_PLUGIN, 1,
         "plug-in render failed: PF_Err_INTERNAL_STRUCT_DAMAGED (512)"},
        {"smooth in.png", 2, "OUTPUT"},
        {"frobnicate in.png out.png", 2, "unknown command 'frobnicate'"},
        {"", 2, "subcommand"},
    };
    for (const auto& c : cases) {
        const RunResult run = telvix(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << ": " << run.err;
        EXPECT_EQ(run.err.rfind("telvix: error: ", 0), 0u) << c.args << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.args << ": " << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
        EXPECT_EQ(snapshot(dir), before) << c.args << " changed the folder";
    }
}

// Two identical ink staircases on paper, one on each side of the frame.
constexpr const char* kTwoStairs = R"(
    |..........................|
    |..........................|
    |..........####..........##|
    |......########......######|
    |..############..##########|
    |##########################|
    |##########################|)";

TEST_F(Command, ExtentLimitsWhereSmoothingStarts)
{
    for (int bits : {8, 16}) {
        const Image in = artImage(kTwoStairs, bits);
        writeImageReplacing(dir / "in.png", in);
        ASSERT_EQ(telvix("smooth in.png whole.png").status, 0);
        ASSERT_EQ(telvix("smooth in.png left.png --extent 0,0,13,7").status, 0);
        const Image whole = readImage(dir / "whole.png");
        const Image left = readImage(dir / "left.png");
        // The right staircase is smoothed only when the extent covers it.
        int changedRight = 0;
        for (int y = 0; y < in.height; ++y) {
            for (int x = 16; x < in.width; ++x) {
                for (int c = 0; c < 4; ++c) {
                    changedRight += whole.at(x, y, c) != in.at(x, y, c);
                    EXPECT_EQ(left.at(x, y, c), in.at(x, y, c)) << x << "," << y;
                }
            }
        }
        EXPECT_GT(changedRight, 0) << bits << "-bit: the staircase was not smoothed";
        EXPECT_NE(left.samples, in.samples) << bits << "-bit: the left staircase was not smoothed";
    }
}

TEST_F(Command, KeyMakesExactlyThatColourTransparent)
{
    for (int bits : {8, 16}) {
        // Red, paper and a half-transparent strip; the red is keyed out.
        const Image in = artImage(R"(
            |rrrrrrrr|
            |rrrrrrrr|
            |........|
            |hhhhhhhh|)",
                                  bits);
        writeImageReplacing(dir / "in.png", in);
        ASSERT_EQ(telvix("smooth in.png plain.png").status, 0);
        ASSERT_EQ(telvix("smooth in.png keyed.png --key C81E1F").status, 0);  // 'r'
        ASSERT_EQ(telvix("smooth in.png other.png --key C81E1E").status, 0);  // near 'r'
        EXPECT_EQ(readImage(dir / "plain.png").samples, in.samples);
        EXPECT_EQ(readImage(dir / "other.png").samples, in.samples);
        const Image keyed = readImage(dir / "keyed.png");
        const int alpha = 3;
        for (int x = 0; x < in.width; ++x) {
            EXPECT_EQ(keyed.at(x, 0, alpha), 0);
            for (int c = 0; c < 3; ++c) EXPECT_EQ(keyed.at(x, 0, c), in.at(x, 0, c));
            EXPECT_EQ(keyed.at(x, 2, alpha), in.at(x, 2, alpha));  // paper stays opaque
            EXPECT_EQ(keyed.at(x, 3, alpha), in.at(x, 3, alpha));  // and the strip as it was
        }
    }
}

TEST_F(Command, InformationCommandsDescribeTheEffect)
{
    const RunResult version = telvix("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "telvix " TELVIX_VERSION_TEXT "\n");

    const RunResult about = telvix("about");
    EXPECT_EQ(about.status, 0);
    EXPECT_EQ(about.out.rfind("Telvix v1.06\nSmooth line of cell animation.\n", 0), 0u)
        << about.out;

    const RunResult params = telvix("params");
    EXPECT_EQ(params.status, 0);
    std::istringstream lines(params.out);
    std::string line;
    for (const char* expected : {"1  Use Color Key    checkbox  default off",
                                 "2  Color Key        color     default FFFFFF, alpha 255",
                                 "3  Do Smooth Range  slider    default 6, range 0-255"}) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(line.rfind(expected, 0), 0u) << line;
    }

    const RunResult help = telvix("smooth --help");
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--tolerance N", "[0 - 255]=6", "--key RRGGBB=off",
                               "--extent L,T,R,B=whole frame", "--depth BITS"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option << " in\n" << help.out;
    }
}

TEST_F(Command, SmoothsTheShippedSample)
{
    const RunResult run = telvix("smooth '" TELVIX_SAMPLES "/cel_small.png' out.png");
    ASSERT_EQ(run.status, 0) << run.err;
    const Image out = readImage(dir / "out.png");
    EXPECT_EQ(out.width, 256);
    EXPECT_EQ(out.height, 256);
    EXPECT_EQ(out.channels, 4);
}

}  // namespace
}  // namespace telvix::cli::test
