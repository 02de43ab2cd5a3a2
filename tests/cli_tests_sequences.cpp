// telvix smooth on frame sequences and folders: patterns, frame lists, gaps, formats, metadata,
// resuming, and refusing to write over the input.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include "cli_error.h"
#include "cli_tests_sequence_support.h"
#include "frame_sequence.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

TEST(FramePatterns, BothStylesNameTheSameFiles)
{
    const auto hashes = FramePattern::parse("shots/a.####.png");
    const auto printf = FramePattern::parse("shots/a.%04d.png");
    ASSERT_TRUE(hashes && printf);
    for (long frame : {0L, 7L, 1001L, 123456L}) {
        EXPECT_EQ(hashes->pathOf(frame), printf->pathOf(frame));
    }
    EXPECT_EQ(hashes->pathOf(7), fs::path("shots/a.0007.png"));
    EXPECT_EQ(hashes->pathOf(123456), fs::path("shots/a.123456.png"));  // wider than the padding
    EXPECT_EQ(FramePattern::parse("a.%d.png")->pathOf(7), fs::path("a.7.png"));
    EXPECT_EQ(FramePattern::parse("a.png"), std::nullopt);

    // A file belongs to the pattern only in the spelling the pattern writes.
    EXPECT_EQ(hashes->frameOf("a.1001.png"), 1001);
    EXPECT_EQ(hashes->frameOf("a.001.png"), std::nullopt);
    EXPECT_EQ(hashes->frameOf("a.01001.png"), std::nullopt);
    EXPECT_EQ(hashes->frameOf("a.1001.tif"), std::nullopt);
    EXPECT_EQ(hashes->frameOf("a.10x1.png"), std::nullopt);
    EXPECT_EQ(hashes->frameOf("a.-0012.png"), -12);  // found, so that a plan can refuse it
    EXPECT_EQ(hashes->frameOf("a.-012.png"), std::nullopt);

    for (const char* bad : {"a.%4d.png", "a.%04x.png", "a.#.%d.png", "a.##.##.png", "a.@.%d.png",
                            "a.#@.png", "a.%099999999999d.png", "a.%019d.png"}) {
        EXPECT_THROW(FramePattern::parse(bad), UsageError) << bad;
    }
    // '@' is one digit each, as '#'.
    EXPECT_EQ(FramePattern::parse("a.@@@@.png")->pathOf(7), fs::path("a.0007.png"));
    EXPECT_EQ(FramePattern::parse("a.@.png")->pathOf(12), fs::path("a.12.png"));
}

TEST(FrameLists, RangesAndSinglesInTheOrderGiven)
{
    EXPECT_EQ(parseFrameList("1001-1003"), (std::vector<long>{1001, 1002, 1003}));
    EXPECT_EQ(parseFrameList("1-3,20,30-31"), (std::vector<long>{1, 2, 3, 20, 30, 31}));
    EXPECT_EQ(parseFrameList("5,3-6"), (std::vector<long>{5, 3, 4, 6}));  // no repeats
    for (const char* bad : {"", "5-3", "1-", "1,,2", "a-b", "1-3 ", "-4"}) {
        EXPECT_THROW(parseFrameList(bad), UsageError) << bad;
    }
    EXPECT_EQ(describeFrames({1, 2, 3, 7, 9, 10}), "1-3, 7, 9-10");
}

TEST(FrameLists, StepsAndBounds)
{
    EXPECT_EQ(parseFrameList("1-9x4"), (std::vector<long>{1, 5, 9}));
    EXPECT_EQ(parseFrameList("10-13x2,11"), (std::vector<long>{10, 12, 11}));
    for (const char* bad : {"1-9x0", "1-9x", "1x2", "1-9x-1"}) {
        EXPECT_THROW(parseFrameList(bad), UsageError) << bad;
    }
    // At most a million frames in a plan, and frame numbers at the end of long's range do not
    // overflow.
    EXPECT_THROW(parseFrameList("1-10000001"), UsageError);
    EXPECT_THROW(parseFrameList("0-500000,600000-1200000"), UsageError);
    EXPECT_EQ(parseFrameList("0-999999").size(), 1'000'000u);
    EXPECT_EQ(parseFrameList("9223372036854775806-9223372036854775807"),
              (std::vector<long>{9223372036854775806, 9223372036854775807}));
    EXPECT_EQ(parseFrameList("9223372036854775800-9223372036854775807x5"),
              (std::vector<long>{9223372036854775800, 9223372036854775805}));
}

class Sequence : public Command {
protected:
    // A usage error before any work: status 2, one line saying each of `says`, nothing written.
    void expectRefusedBeforeWork(const std::string& args, const std::vector<std::string>& says)
    {
        const auto before = snapshot(dir);
        const RunResult run = telvix(args);
        EXPECT_EQ(run.status, 2) << args << ": " << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << args << ": " << run.err;
        for (const std::string& text : says) {
            EXPECT_NE(run.err.find(text), std::string::npos) << args << ": " << run.err;
        }
        EXPECT_EQ(snapshot(dir), before) << args;
    }
};

TEST_F(Sequence, BothPatternStylesGiveWhatSingleImagesGive)
{
    writeShot(dir, "in.{:04}.png", 1, 4);
    ASSERT_EQ(telvix("smooth in.####.png out.%04d.png").status, 0);
    ASSERT_EQ(telvix("smooth in.%04d.png again.####.png").status, 0);
    for (long f = 1; f <= 4; ++f) {
        const std::string in = fmt::format("in.{:04}.png", f);
        ASSERT_EQ(telvix(fmt::format("smooth {} single.png", in)).status, 0);
        const std::string single = slurp(dir / "single.png");
        EXPECT_EQ(slurp(dir / fmt::format("out.{:04}.png", f)), single) << f;
        EXPECT_EQ(slurp(dir / fmt::format("again.{:04}.png", f)), single) << f;
        EXPECT_NE(readImage(dir / "single.png").samples, readImage(dir / in).samples)
            << "frame " << f << " was not smoothed";
    }
}

TEST_F(Sequence, ExplicitFramesAreExactlyThoseProcessed)
{
    writeShot(dir, "in.{:04}.png", 1, 12);
    const RunResult run = telvix("smooth in.####.png out.####.png --frames 2-4,9");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");  // stderr is not a terminal: only errors
    for (long f = 1; f <= 12; ++f) {
        const bool asked = (f >= 2 && f <= 4) || f == 9;
        EXPECT_EQ(fs::exists(dir / fmt::format("out.{:04}.png", f)), asked) << f;
    }
}

TEST_F(Sequence, DiscoveredFramesWithGapsAreReported)
{
    writeShot(dir, "in.{:04}.png", 1001, 1003);
    writeShot(dir, "in.{:04}.png", 1006, 1006);
    writeShot(dir, "in.{:03}.png", 7, 7);  // another spelling: not part of the shot
    const RunResult run = telvix("smooth in.####.png out.####.png");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("warning: frames 1004-1005 of 'in.####.png' are missing"),
              std::string::npos)
        << run.err;
    for (long f : {1001, 1002, 1003, 1006}) {
        EXPECT_TRUE(fs::exists(dir / fmt::format("out.{:04}.png", f))) << f;
    }
    EXPECT_FALSE(fs::exists(dir / "out.0007.png"));
    EXPECT_EQ(telvix("smooth in.####.png q.####.png --quiet").err, "");
    EXPECT_EQ(telvix("smooth none.####.png out.####.png").status, 1);
}

// A stray far-off number beside a shot is planned as the one file it is, not as a range of
// 10^8 frames.
TEST_F(Sequence, AStrayFarOffFrameDoesNotExpandTheRange)
{
    writeShot(dir, "s.{:04}.png", 1, 5);
    fs::copy_file(dir / "s.0001.png", dir / "s.99999999.png");
    const RunResult run = telvix("smooth s.####.png out.####.png");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("missing"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(dir / "out.99999999.png"));
    EXPECT_TRUE(fs::exists(dir / "out.0005.png"));
    const RunResult many = telvix("smooth s.####.png out.####.png --frames 1-10000001");
    EXPECT_EQ(many.status, 2);
    EXPECT_NE(many.err.find("more than 1000000 frames"), std::string::npos) << many.err;
}

TEST_F(Sequence, MissingFramesInAnExplicitRangeStopTheRunBeforeItStarts)
{
    writeShot(dir, "in.{:04}.png", 1, 3);
    writeShot(dir, "in.{:04}.png", 6, 6);
    const auto before = snapshot(dir);
    const RunResult run = telvix("smooth in.####.png out.####.png --frames 1-6");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("frames 4-5 of 'in.####.png' are missing"), std::string::npos)
        << run.err;
    EXPECT_EQ(snapshot(dir), before);

    // Kept going: everything that exists is done, and the missing frames are listed.
    const RunResult kept = telvix("smooth in.####.png out.####.png --frames 1-6 --keep-going");
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("frame 4: cannot read 'in.0004.png': no such file"), std::string::npos)
        << kept.err;
    EXPECT_NE(kept.err.find("2 of 6 frames failed"), std::string::npos) << kept.err;
    for (long f : {1, 2, 3, 6}) EXPECT_TRUE(fs::exists(dir / fmt::format("out.{:04}.png", f)));
}

TEST_F(Sequence, FolderModeKeepsNamesFormatsDepthsAndLayouts)
{
    fs::create_directory(dir / "in");
    struct Case {
        const char* name;
        const char* format;
        int bits;
        int channels;
    };
    // TGA stores 8 bits per channel only.
    const Case cases[] = {
        {"a.png", "png", 8, 3},   {"b.png", "png", 8, 4},    {"c.png", "png", 16, 3},
        {"d.png", "png", 16, 4},  {"e.tif", "tiff", 8, 3},   {"f.tif", "tiff", 8, 4},
        {"g.tif", "tiff", 16, 3}, {"h.tiff", "tiff", 16, 4}, {"i.tga", "targa", 8, 3},
        {"j.tga", "targa", 8, 4},
    };
    for (const Case& c : cases)
        writeImageReplacing(dir / "in" / c.name, stairFrame(0, c.bits, c.channels));
    std::ofstream(dir / "in" / "notes.txt") << "not an image";
    writeImageReplacing(dir / "in" / ".hidden.png", stairFrame(0, 8));

    const RunResult run = telvix("smooth in out");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(snapshot(dir / "out").size(), std::size(cases));
    for (const Case& c : cases) {
        const fs::path out = dir / "out" / c.name;
        auto file = OIIO::ImageInput::open(out.string());
        ASSERT_TRUE(file) << c.name;
        EXPECT_STREQ(file->format_name(), c.format) << c.name;
        const Image image = readImage(out);
        EXPECT_EQ(image.bits, c.bits) << c.name;
        EXPECT_EQ(image.channels, c.channels) << c.name;
        EXPECT_NE(image.samples, readImage(dir / "in" / c.name).samples) << c.name;
    }
}

TEST_F(Sequence, MetadataIsKept)
{
    Image image = stairFrame(0, 16);
    image.metadata.attribute("XResolution", 300.0f);
    image.metadata.attribute("YResolution", 300.0f);
    image.metadata.attribute("ResolutionUnit", "inch");
    image.metadata.attribute("Artist", "ink and paint");
    image.colorSpace = "Linear";
    for (const char* ext : {"tif", "png"}) {
        writeImageReplacing(dir / fmt::format("in.0001.{}", ext), image);
        ASSERT_EQ(telvix(fmt::format("smooth in.####.{0} out.####.{0}", ext)).status, 0);
        auto in = OIIO::ImageInput::open((dir / fmt::format("in.0001.{}", ext)).string());
        auto out = OIIO::ImageInput::open((dir / fmt::format("out.0001.{}", ext)).string());
        ASSERT_TRUE(in && out);
        // Whatever the format stored (PNG keeps resolution per metre, TIFF keeps more) comes
        // back the same from the output.
        for (const char* name : {"XResolution", "YResolution", "ResolutionUnit", "Artist",
                                 "oiio:ColorSpace", "compression"}) {
            const OIIO::ParamValue* stored = in->spec().find_attribute(name);
            const OIIO::ParamValue* kept = out->spec().find_attribute(name);
            ASSERT_EQ(stored == nullptr, kept == nullptr) << ext << " " << name;
            if (stored) {
                EXPECT_EQ(stored->get_string(), kept->get_string()) << ext << " " << name;
            }
        }
        EXPECT_NEAR(out->spec().get_float_attribute("XResolution"), 300.0f, 0.02f) << ext;
        EXPECT_NEAR(out->spec().get_float_attribute("YResolution"), 300.0f, 0.02f) << ext;
    }
}

TEST_F(Sequence, CompressionChangesTheFileNotThePixels)
{
    writeShot(dir, "in.{:04}.png", 1, 1, 8, 8);
    writeImageReplacing(dir / "in.0001.tif", stairFrame(1, 8, 4, 8));
    ASSERT_EQ(telvix("smooth in.####.png none.####.png --compression 0").status, 0);
    ASSERT_EQ(telvix("smooth in.####.png best.####.png --compression 9").status, 0);
    ASSERT_EQ(telvix("smooth in.####.tif raw.####.tif --compression none").status, 0);
    ASSERT_EQ(telvix("smooth in.####.tif lzw.####.tif --compression lzw").status, 0);
    EXPECT_GT(fs::file_size(dir / "none.0001.png"), fs::file_size(dir / "best.0001.png"));
    EXPECT_GT(fs::file_size(dir / "raw.0001.tif"), fs::file_size(dir / "lzw.0001.tif"));
    EXPECT_EQ(readImage(dir / "none.0001.png").samples, readImage(dir / "best.0001.png").samples);
    EXPECT_EQ(readImage(dir / "raw.0001.tif").samples, readImage(dir / "lzw.0001.tif").samples);
}

TEST_F(Sequence, FloatFramesKeepTheirTypeAndAreClippedOnlyWhenAsked)
{
    writeWithOiio(dir / "in.0001.tif", 4, OIIO::TypeDesc::FLOAT);
    writeWithOiio(dir / "in.0002.tif", 4, OIIO::TypeDesc::FLOAT, -0.25f);
    const RunResult run = telvix("smooth in.####.tif out.####.tif --jobs 1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("frame 2: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--clip"), std::string::npos) << run.err;
    const RunResult clipped = telvix("smooth in.####.tif out.####.tif --clip");
    ASSERT_EQ(clipped.status, 0) << clipped.err;
    EXPECT_EQ(clipped.err, "telvix: note: in.0002.tif: 64 samples outside 0-1 clipped\n");
    auto out = OIIO::ImageInput::open((dir / "out.0001.tif").string());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->spec().format, OIIO::TypeDesc::FLOAT);
    ASSERT_EQ(telvix("smooth in.####.tif out.####.png --depth 16 --clip --quiet").status, 0);
    EXPECT_EQ(readImage(dir / "out.0001.png").bits, 16);
}

TEST_F(Sequence, SkipExistingLeavesFinishedFramesAlone)
{
    writeShot(dir, "in.{:04}.png", 1, 5);
    // A finished frame is one that reads back whole (an incomplete one is written again).
    fs::copy_file(dir / "in.0001.png", dir / "out.0003.png");
    const std::string earlier = slurp(dir / "out.0003.png");
    const RunResult run = telvix("smooth in.####.png out.####.png --skip-existing --verbose");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(slurp(dir / "out.0003.png"), earlier);
    EXPECT_NE(run.out.find("frame 3: skipped"), std::string::npos) << run.out;
    for (long f : {1, 2, 4, 5}) EXPECT_NO_THROW(readImage(dir / fmt::format("out.{:04}.png", f)));
}

TEST_F(Sequence, OutputThatWouldWriteOverAnInputIsRefusedBeforeAnythingRuns)
{
    writeShot(dir, "in.{:04}.png", 1, 3);
    fs::create_directory(dir / "sub");
    fs::create_directory_symlink(".", dir / "here");
    fs::create_hard_link(dir / "in.0002.png", dir / "other.0002.png");
    const auto before = snapshot(dir);
    for (const char* args : {
             "smooth in.####.png in.####.png",
             "smooth in.####.png ./in.%04d.png",
             "smooth in.####.png sub/../in.%04d.png",
             "smooth in.####.png here/in.####.png",
             "smooth in.####.png other.####.png",  // a hard link to frame 2
             "smooth in.####.png .",
             "smooth . here",
         }) {
        const RunResult run = telvix(args);
        EXPECT_EQ(run.status, 2) << args << ": " << run.err;
        EXPECT_NE(run.err.find("would write over the input"), std::string::npos) << args << run.err;
        EXPECT_EQ(snapshot(dir), before) << args;
    }
}

TEST_F(Sequence, NoTwoFramesAreWrittenToOneFile)
{
    writeShot(dir, "in.{:04}.png", 1001, 1002);
    // A frame's folder that is a link to the next one's, made or still to be made.
    fs::create_directories(dir / "o" / "1002");
    fs::create_directory_symlink("1002", dir / "o" / "1001");
    fs::create_directory(dir / "p");
    fs::create_directory_symlink("1002", dir / "p" / "1001");
    // Outputs there already, two names of one file.
    fs::copy_file(dir / "in.1001.png", dir / "out.1001.png");
    fs::create_hard_link(dir / "out.1001.png", dir / "out.1002.png");
    for (const char* args : {"smooth in.####.png o/####/f.png", "smooth in.####.png p/####/f.png",
                             "smooth in.####.png out.####.png --frames 1001-1002"}) {
        expectRefusedBeforeWork(args,
                                {"two frames to one file", "frame 1001 to '", "frame 1002 to '"});
    }
    EXPECT_TRUE(fs::is_empty(dir / "o" / "1002"));
    EXPECT_FALSE(fs::exists(dir / "p" / "1002"));
}

// The guard covers the whole shot on disk, so a chunk of it (--frames, as a farm or the
// cluster runs it) is refused as the whole shot is.
TEST_F(Sequence, ANarrowedRunMayNotWriteOverAnyFrameOnDisk)
{
    writeShot(dir, "x.{:04}.png", 1, 3);
    writeShot(dir, "x.{:04}.png", 1001, 1001);
    for (const char* args :
         {"smooth x.####.png x.1###.png", "smooth x.####.png x.1###.png --frames 1-3",
          "smooth x.####.png x.1###.png --frames 1,3 --keep-going"}) {
        expectRefusedBeforeWork(args, {"would write over the input file 'x.1001.png' (frame 1001)",
                                       "frame 1 goes to 'x.1001.png'"});
    }
}

TEST_F(Sequence, ExistingFilesWithPlaceholderCharactersAreOneImage)
{
    writeShot(dir, "in.{:04}.png", 1, 1);
    ASSERT_EQ(telvix("smooth in.0001.png plain.png").status, 0);
    for (const char* name : {"take#2.png", "icon@2x.png", "50%_done.png", "a.#.png"}) {
        fs::copy_file(dir / "in.0001.png", dir / name);
        const RunResult run = telvix(fmt::format("smooth {0} out-{0}", name));
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_EQ(slurp(dir / fmt::format("out-{}", name)), slurp(dir / "plain.png")) << name;
    }
    // --literal names a file that does not exist yet, or one a pattern would read otherwise.
    ASSERT_EQ(telvix("smooth in.0001.png s.####.png --literal").status, 0);
    EXPECT_EQ(slurp(dir / "s.####.png"), slurp(dir / "plain.png"));
    fs::copy_file(dir / "in.0001.png", dir / "a.1.png");
    expectRefusedBeforeWork("smooth a.#.png b.png", {"'a.1.png'", "--literal"});
    EXPECT_EQ(telvix("smooth a.#.png b.png --literal").status, 0);
    EXPECT_EQ(telvix("smooth a.#.png b.#.png --frames 1").status, 0);
    EXPECT_TRUE(fs::exists(dir / "b.1.png"));
    expectRefusedBeforeWork("smooth a.#.png b.#.png --frames 1 --literal", {"--literal"});
}

TEST_F(Sequence, NegativeFrameNumbersAreRefusedAloud)
{
    EXPECT_THROW(parseFrameList("-5--1"), UsageError);
    writeShot(dir, "x.{:04}.png", 0, 1);
    fs::copy_file(dir / "x.0000.png", dir / "x.-0001.png");
    const auto before = snapshot(dir);
    const RunResult found = telvix("smooth x.####.png o.####.png");
    EXPECT_EQ(found.status, 1) << found.err;
    EXPECT_NE(found.err.find("negative frame numbers, such as 'x.-0001.png'"), std::string::npos)
        << found.err;
    EXPECT_EQ(snapshot(dir), before);
    expectRefusedBeforeWork("smooth x.####.png o.####.png --frames -1-1",
                            {"negative frame number"});
    EXPECT_EQ(telvix("smooth x.####.png o.####.png --frames 0-1").status, 0);
}

TEST_F(Sequence, TheClusterIsNotHandedOneImageOrAFolder)
{
    writeShot(dir, "in.{:04}.png", 1, 1);
    fs::create_directory(dir / "folder");
    // No scheduler listens there: the refusal comes before anything would try it.
    for (const char* args : {"smooth in.0001.png out.png --scheduler tcp://127.0.0.1:9",
                             "smooth folder out --scheduler tcp://127.0.0.1:9"}) {
        expectRefusedBeforeWork(args,
                                {"--scheduler smooths a frame pattern", "without --scheduler"});
    }
}

TEST_F(Sequence, MismatchedRequestsAreUsageErrors)
{
    writeShot(dir, "in.{:04}.png", 1, 2);
    for (const char* args :
         {"smooth in.####.png out.png", "smooth in.0001.png out.####.png",
          "smooth in.0001.png out.png --frames 1-2", "smooth in.####.png out.####.png --frames 3-1",
          "smooth in.####.png out.####.png --jobs -1"}) {
        const RunResult run = telvix(args);
        EXPECT_EQ(run.status, 2) << args << ": " << run.err;
        EXPECT_EQ(run.err.rfind("telvix: error: ", 0), 0u) << args << ": " << run.err;
    }
}

TEST_F(Sequence, HelpShowsEveryOptionWithItsDefault)
{
    const RunResult help = telvix("smooth --help");
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--frames LIST=the frames on disk", "--jobs N:INT in [0 - 1024]=0 (all cores)",
          "--threads N:INT in [1 - 256]=cores / jobs, at least 1", "--compression VALUE",
          "--skip-existing", "--keep-going", "--quiet", "--verbose"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option << " in\n" << help.out;
    }
    for (const char* command : {"about --help", "params --help", "--help"}) {
        EXPECT_EQ(telvix(command).status, 0) << command;
    }
}

}  // namespace
}  // namespace telvix::cli::test
