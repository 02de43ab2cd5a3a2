// The telvix command's building blocks: value conversions, command-line parsing, moving pixels
// between files and host worlds, image files, and ended runs' temporary files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "channel_convert.h"
#include "cli_error.h"
#include "cli_tests_support.h"
#include "frame_world.h"
#include "option_table.h"
#include "options.h"
#include "temporary_file.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

// 65536 file values cannot all fit the host's 32769: every host value survives a trip through a
// file, and every file value comes back within one step.
TEST(ChannelConversion, SixteenBitValuesSurviveTheTripThroughTheHostRange)
{
    for (std::uint32_t h = 0; h <= 32768; ++h) {
        const std::uint16_t p = hostToFile16(static_cast<std::uint16_t>(h));
        ASSERT_EQ(fileToHost16(p), h) << "host value " << h << " via file value " << p;
    }
    for (std::uint32_t p = 0; p <= 65535; ++p) {
        const std::uint16_t h = fileToHost16(static_cast<std::uint16_t>(p));
        ASSERT_LE(h, 32768u) << "file value " << p;
        const int back = hostToFile16(h);
        ASSERT_LE(std::abs(back - static_cast<int>(p)), 1) << "file value " << p;
    }
    EXPECT_EQ(fileToHost16(65535), 32768);
    EXPECT_EQ(fileToHost16(1), 1);          // rounded up
    EXPECT_EQ(hostToFile16(1), 2);          // rounded to nearest: 1.99997
    EXPECT_EQ(hostToFile16(40000), 65535);  // beyond the host's range counts as full
}

TEST(ChannelConversion, EveryEightBitValueWidensAndNarrowsBack)
{
    for (std::uint32_t c = 0; c <= 255; ++c) {
        const std::uint16_t h = widen8To16(static_cast<std::uint8_t>(c));
        ASSERT_EQ(narrow16To8(h), c) << "8-bit value " << c << " via host value " << h;
    }
    EXPECT_EQ(widen8To16(255), 32768);
    EXPECT_EQ(widen8To16(128), 16448);  // the host's (c * 32768 + 128) / 255
    EXPECT_EQ(narrow16To8(65535), 255);
}

CommandLine parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "telvix");
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const auto& arg : args) argv.push_back(arg.c_str());
    CommandLineParser parser;
    return parser.parse(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineParsing, SmoothDefaultsAreTheEffectDefaults)
{
    const CommandLine cl = parse({"smooth", "in.png", "out.png"});
    EXPECT_EQ(cl.command, Command::Smooth);
    EXPECT_EQ(cl.input, "in.png");
    EXPECT_EQ(cl.output, "out.png");
    EXPECT_EQ(cl.tolerance, 6);
    EXPECT_FALSE(cl.key);
    EXPECT_FALSE(cl.extent);
    EXPECT_FALSE(cl.depth);
    EXPECT_TRUE(cl.plugin.empty());
}

TEST(CommandLineParsing, SmoothOptionsAreCarriedOver)
{
    const CommandLine cl =
        parse({"smooth", "a.png", "b.png", "--tolerance", "255", "--key", "00ff7F", "--extent",
               "1,2,30,40", "--depth", "16", "--plugin", "x.so"});
    EXPECT_EQ(cl.tolerance, 255);
    EXPECT_EQ(cl.key, (KeyColour{0x00, 0xFF, 0x7F}));
    EXPECT_EQ(cl.extent, (Extent{1, 2, 30, 40}));
    EXPECT_EQ(cl.depth, 16);
    EXPECT_EQ(cl.plugin, "x.so");
    EXPECT_EQ(parse({"smooth", "a", "b", "--tolerance", "0"}).tolerance, 0);
    EXPECT_EQ(parse({"about", "--plugin", "p.so"}).command, Command::About);
    EXPECT_EQ(parse({"params"}).command, Command::Params);
}

TEST(CommandLineParsing, MalformedValuesAreRefused)
{
    for (const char* tolerance : {"256", "-1", "abc", "6.5"}) {
        EXPECT_THROW(parse({"smooth", "a", "b", "--tolerance", tolerance}), CLI::ParseError)
            << tolerance;
    }
    EXPECT_THROW(parse({"smooth", "a", "b", "--depth", "12"}), CLI::ParseError);
    EXPECT_THROW(parse({"smooth", "a"}), CLI::ParseError);
    EXPECT_THROW(parse({}), CLI::ParseError);
    for (const char* key : {"fff", "GG0000", "12345", "1234567", "", "#12 456"}) {
        EXPECT_THROW(parse({"smooth", "a", "b", "--key", key}), UsageError) << key;
    }
    for (const char* extent :
         {"1,2,3", "1,2,3,4,5", "a,b,c,d", "1, 2,3,4", "4,0,4,9", "0,5,9,5", "1,2,3,4,"}) {
        EXPECT_THROW(parse({"smooth", "a", "b", "--extent", extent}), UsageError) << extent;
    }
}

// The manual's option table is the one made from the declarations: a changed option shows up
// there, or this fails with the table to paste (TELVIX_UPDATE_DOCS=1 writes it in place).
TEST(CommandLineParsing, TheManualListsEveryOptionAsDeclared)
{
    const std::string begin = "<!-- options: made from library/pipeline/option_table.h -->\n";
    const std::string end = "<!-- end of options -->";
    std::ifstream in(TELVIX_COMMAND_MANUAL);
    std::stringstream text;
    text << in.rdbuf();
    std::string manual = text.str();
    const std::size_t from = manual.find(begin);
    const std::size_t to = manual.find(end, from);
    ASSERT_NE(from, std::string::npos) << "no option table in " << TELVIX_COMMAND_MANUAL;
    ASSERT_NE(to, std::string::npos);
    const std::string expected = optionTableMarkdown();
    const std::size_t start = from + begin.size();
    if (std::getenv("TELVIX_UPDATE_DOCS") != nullptr) {
        manual.replace(start, to - start, expected);
        std::ofstream(TELVIX_COMMAND_MANUAL) << manual;
    }
    EXPECT_EQ(manual.substr(start, to - start), expected);
    EXPECT_THROW(option("no-such-option"), std::out_of_range);
    EXPECT_EQ(pythonName(option("drop_alpha")), "drop_alpha");
}

TEST(CommandLineParsing, ThreadsAreWholeNumbersFromOneTo256)
{
    EXPECT_EQ(parse({"smooth", "a", "b"}).threads, 0);  // chosen at run time
    EXPECT_EQ(parse({"smooth", "a", "b", "--threads", "1"}).threads, 1);
    EXPECT_EQ(parse({"smooth", "a", "b", "--threads", "256"}).threads, 256);
    for (const char* threads : {"0", "-3", "257", "100000", "four", "2.5", ""}) {
        EXPECT_THROW(parse({"smooth", "a", "b", "--threads", threads}), CLI::ParseError) << threads;
    }
}

// Leading zeros never make a number octal, nor "0x" hexadecimal.
TEST(CommandLineParsing, NumbersAreDecimal)
{
    EXPECT_EQ(parse({"smooth", "a", "b", "--tolerance", "0255"}).tolerance, 255);
    EXPECT_EQ(parse({"smooth", "a", "b", "--tolerance", "010"}).tolerance, 10);
    EXPECT_EQ(parse({"smooth", "a", "b", "--tolerance", "000"}).tolerance, 0);
    EXPECT_EQ(parse({"smooth", "a", "b", "--depth", "016"}).depth, 16);
    EXPECT_EQ(parse({"smooth", "a", "b", "--jobs", "010"}).jobs, 10);
    EXPECT_THROW(parse({"smooth", "a", "b", "--depth", "020"}), CLI::ParseError);
    EXPECT_THROW(parse({"smooth", "a", "b", "--depth", "010"}), CLI::ParseError);
    EXPECT_THROW(parse({"smooth", "a", "b", "--jobs", "0x2"}), CLI::ParseError);
    EXPECT_THROW(parse({"smooth", "a", "b", "--threads", "0b11"}), CLI::ParseError);
}

// Jobs take the frames one per core; each frame's host gets the cores the jobs leave.
TEST(CommandLineParsing, JobsAndThreadsShareTheCores)
{
    const CommandLine automatic = parse({"smooth", "a", "b"});
    struct Case {
        std::size_t frames;
        int cores;
        Parallelism expected;
    };
    for (const Case& c : std::vector<Case>{{1, 8, {1, 8}},
                                           {0, 8, {1, 8}},
                                           {3, 8, {3, 2}},
                                           {5, 8, {5, 1}},
                                           {100, 8, {8, 1}},
                                           {100, 2, {2, 1}},
                                           {1, 2, {1, 2}},
                                           {1, 1, {1, 1}},
                                           {7, 0, {1, 1}}}) {
        EXPECT_EQ(chooseParallelism(automatic, c.frames, c.cores), c.expected)
            << c.frames << " frames on " << c.cores << " cores";
    }
    const CommandLine jobs = parse({"smooth", "a", "b", "--jobs", "4"});
    EXPECT_EQ(chooseParallelism(jobs, 100, 8), (Parallelism{4, 2}));
    EXPECT_EQ(chooseParallelism(jobs, 1, 8), (Parallelism{4, 2}));
    EXPECT_EQ(chooseParallelism(jobs, 100, 2), (Parallelism{4, 1}));
    const CommandLine threads = parse({"smooth", "a", "b", "--threads", "3"});
    EXPECT_EQ(chooseParallelism(threads, 1, 8), (Parallelism{1, 3}));
    EXPECT_EQ(chooseParallelism(threads, 100, 8), (Parallelism{8, 3}));
    const CommandLine both = parse({"smooth", "a", "b", "-j", "2", "--threads", "16"});
    EXPECT_EQ(chooseParallelism(both, 100, 8), (Parallelism{2, 16}));
}

TEST(CommandLineParsing, ExtentMustLieInsideTheFrame)
{
    EXPECT_NO_THROW(checkExtentInFrame(Extent{0, 0, 8, 6}, 8, 6));
    EXPECT_NO_THROW(checkExtentInFrame(Extent{7, 5, 8, 6}, 8, 6));
    EXPECT_THROW(checkExtentInFrame(Extent{-1, 0, 8, 6}, 8, 6), UsageError);
    EXPECT_THROW(checkExtentInFrame(Extent{0, 0, 9, 6}, 8, 6), UsageError);
    EXPECT_THROW(checkExtentInFrame(Extent{0, 0, 8, 7}, 8, 6), UsageError);
}

TEST(CommandLineParsing, HelpAndVersionEndWithStatusZero)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"--help"}, {"smooth", "--help"}, {"params", "--help"}}) {
        try {
            parse(args);
            ADD_FAILURE() << args.back() << " did not stop the parse";
        } catch (const CLI::ParseError& e) {
            EXPECT_EQ(e.get_exit_code(), 0) << args.back();
        }
    }
}

TEST(FrameConversion, FileChannelsBecomeHostChannelsInAlphaRedGreenBlueOrder)
{
    Image image = artImage("|h|", 16);
    const standin::World deep = imageToWorld(image, 16);
    const auto* p16 = static_cast<const PF_Pixel16*>(static_cast<const void*>(deep.def().data));
    EXPECT_EQ(p16->alpha, 16385);
    EXPECT_EQ(p16->red, 20);
    EXPECT_EQ(p16->green, 10000);
    EXPECT_EQ(p16->blue, 27160);

    const standin::World narrow = imageToWorld(image, 8);
    const auto* p8 = static_cast<const PF_Pixel8*>(static_cast<const void*>(narrow.def().data));
    EXPECT_EQ(p8->alpha, 128);  // (16385 * 255 + 16384) / 32768
    EXPECT_EQ(p8->blue, 211);   // (27160 * 255 + 16384) / 32768

    image = artImage("|h|", 8, 3);  // no alpha: opaque
    const standin::World widened = imageToWorld(image, 16);
    const auto* w16 = static_cast<const PF_Pixel16*>(static_cast<const void*>(widened.def().data));
    EXPECT_EQ(w16->alpha, 32768);
    EXPECT_EQ(w16->red, widen8To16(40));
}

TEST(FrameConversion, EveryLayoutRoundTripsThroughAWorldOfItsDepth)
{
    for (int bits : {8, 16}) {
        for (int channels = 1; channels <= 4; ++channels) {
            const Image image = artImage(R"(
                |#.rh |
                | hr.#|)",
                                         bits, channels);
            const Image back = worldToImage(imageToWorld(image, bits), channels);
            EXPECT_EQ(back.bits, bits);
            EXPECT_EQ(back.samples, image.samples) << bits << "-bit, " << channels << " channels";
        }
    }
}

using ImageFiles = ScratchFolder;

TEST_F(ImageFiles, PngKeepsEveryLayoutAndStraightAlphaExactly)
{
    for (int bits : {8, 16}) {
        for (int channels = 1; channels <= 4; ++channels) {
            const Image image = artImage(R"(
                |##..rr|
                |hh  ..|)",
                                         bits, channels);
            const fs::path file = dir / "image.png";
            writeImageReplacing(file, image);
            const Image back = readImage(file);
            EXPECT_EQ(back.bits, bits);
            EXPECT_EQ(back.channels, channels);
            EXPECT_EQ(back.samples, image.samples) << bits << "-bit, " << channels << " channels";
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "temporary files were left behind";
}

// Floating point is processed at 16 bits; values outside 0-1 are refused, counted, unless
// clipping is asked for.
TEST_F(ImageFiles, FloatSamplesOutside0To1AreRefusedUnlessClipped)
{
    const fs::path file = dir / "float.tif";
    writeWithOiio(file, 4, OIIO::TypeDesc::FLOAT);
    const Image image = readImage(file);
    EXPECT_EQ(image.bits, 16);
    EXPECT_EQ(image.storedType, OIIO::TypeDesc::FLOAT);
    // The TIFF's alpha is associated: colour 0.5 at alpha 0.5 is straight 1.
    EXPECT_EQ(image.at(0, 0, 3), 32768);  // 0.5 of 65535, rounded
    EXPECT_EQ(image.at(0, 0, 0), 65535);

    const fs::path hot = dir / "hot.exr";
    writeWithOiio(hot, 3, OIIO::TypeDesc::HALF, 1.5f);
    try {
        readImage(hot);
        ADD_FAILURE() << "samples above 1 were read without clipping";
    } catch (const CliError& e) {
        EXPECT_NE(std::string(e.what()).find("48 samples outside 0-1"), std::string::npos)
            << e.what();
    }
    const Image clipped = readImage(hot, 0, true);
    EXPECT_EQ(clipped.clipped, 48u);
    EXPECT_EQ(clipped.at(3, 3, 2), 65535);
}

// A killed run's temporary files are swept once its process has ended, also while it waits,
// a zombie, for a parent or an init that may never reap it.
TEST(TemporaryFiles, AnEndedProcessIsGoneBeforeItIsReaped)
{
    EXPECT_FALSE(processIsGone(getpid()));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    // The child has exited once its state reads as a zombie; give it a few seconds to get there.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = processIsGone(child);
        if (!gone) usleep(10'000);
    }
    EXPECT_TRUE(gone) << "an exited, unreaped child still counts as running";
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(processIsGone(child));
    EXPECT_FALSE(processIsGone(0));
}

}  // namespace
}  // namespace telvix::cli::test
