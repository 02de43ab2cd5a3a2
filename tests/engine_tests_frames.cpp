// Whole passes over frames: repeatability, agreement between depths, padded and very large
// worlds, and output worlds whose size differs from the source.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>

#include "effect_entry.h"
#include "pixel_art.h"
#include "render_frame.h"
#include "smoothing_engine.h"

namespace telvix {
namespace {

template <typename Pixel>
class FramesTest : public ::testing::Test {
};
TYPED_TEST_SUITE(FramesTest, test::Depths);

// A black-on-white cel drawing: a disc, lines of several slopes one and two pixels wide, a
// small block, a notch and single dots, drawn with integer arithmetic only.
template <typename Pixel>
test::TestWorld<Pixel> celFrame(A_long padding = 0)
{
    const A_long w = 48;
    const A_long h = 40;
    test::TestWorld<Pixel> frame(w, h, padding);
    const Pixel white = test::artPixel<Pixel>('.');
    const Pixel black = test::artPixel<Pixel>('#');
    for (A_long y = 0; y < h; ++y) {
        for (A_long x = 0; x < w; ++x) {
            const A_long dx = x - 12;
            const A_long dy = y - 12;
            const bool disc = dx * dx + dy * dy <= 64;
            const bool shallow = (x >= 24 && x < 46) && (y == 4 + (x - 24) / 3);
            const bool steep =
                (y >= 20 && y < 38) && (x == 4 + (y - 20) * 2 / 5 || x == 5 + (y - 20) * 2 / 5);
            const bool block = x >= 30 && x < 33 && y >= 24 && y < 26;
            const bool dot = (x == 40 && y == 32) || (x == 20 && y == 30);
            frame.at(x, y) = (disc || shallow || steep || block || dot) ? black : white;
        }
    }
    return frame;
}

// 'x' where a pass changed the pixel.
template <typename Pixel>
std::string changedBySmoothing(test::TestWorld<Pixel>& frame)
{
    return test::changedMask(frame, test::smoothed(frame));
}

TYPED_TEST(FramesTest, RenderIsRepeatableAndPaddingDoesNotMatter)
{
    auto frame = celFrame<TypeParam>();
    const auto first = test::smoothed(frame);
    const auto second = test::smoothed(frame);
    EXPECT_EQ(test::changedMask(first, second), test::changedMask(frame, frame));
    EXPECT_NE(test::changedMask(frame, first), test::changedMask(frame, frame));

    auto padded = celFrame<TypeParam>(/*padding=*/24);
    const auto paddedOut = test::smoothed(padded);
    for (A_long y = 0; y < frame.height(); ++y) {
        for (A_long x = 0; x < frame.width(); ++x) {
            ASSERT_EQ(first.at(x, y), paddedOut.at(x, y)) << x << "," << y;
        }
    }
}

// A RenderInfo whose source was set without bindSource has no geometry for the flat test; every
// pixel then takes the general path, which must give the same frame.
TYPED_TEST(FramesTest, UnboundGeometryTakesTheGeneralPathToTheSameFrame)
{
    auto frame = celFrame<TypeParam>();
    const auto bound = test::smoothed(frame);
    test::TestWorld<TypeParam> output(frame);
    RenderInfo<TypeParam> info{};
    info.tolerance = info.tolerance2 = 6;
    info.source = frame.def();
    info.output = output.def();
    for (A_long y = 0; y < frame.height(); ++y) {
        for (A_long x = 0; x < frame.width(); ++x) {
            test::smoothingPass<TypeParam>(&info, x, y, nullptr, nullptr);
        }
    }
    EXPECT_EQ(test::changedMask(bound, output), test::changedMask(frame, frame));
    EXPECT_NE(test::changedMask(frame, output), test::changedMask(frame, frame));
}

TEST(Frames, BothDepthsTouchTheSamePixelsOfABlackAndWhiteFrame)
{
    auto frame8 = celFrame<PF_Pixel8>();
    auto frame16 = celFrame<PF_Pixel16>();
    EXPECT_EQ(changedBySmoothing(frame8), changedBySmoothing(frame16));
}

// A pixel world reserved but not committed: only the pages that are written or read cost memory.
template <typename Pixel>
class ReservedWorld {
public:
    ReservedWorld(A_long width, A_long height, A_long rowbytes)
        : size_(static_cast<std::size_t>(rowbytes) * static_cast<std::size_t>(height))
    {
        memory_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        def_.width = width;
        def_.height = height;
        def_.rowbytes = rowbytes;
        def_.data = reinterpret_cast<PF_PixelPtr>(memory_);
    }
    ~ReservedWorld()
    {
        if (ok()) {
            munmap(memory_, size_);
        }
    }
    ReservedWorld(const ReservedWorld&) = delete;
    ReservedWorld& operator=(const ReservedWorld&) = delete;

    bool ok() const { return memory_ != MAP_FAILED; }
    PF_EffectWorld* def() { return &def_; }
    // Addressed independently of the engine, in 64-bit arithmetic.
    Pixel& at(A_long x, A_long y)
    {
        auto* bytes = static_cast<std::uint8_t*>(memory_);
        return *reinterpret_cast<Pixel*>(
            bytes + static_cast<std::size_t>(y) * static_cast<std::size_t>(def_.rowbytes) +
            static_cast<std::size_t>(x) * sizeof(Pixel));
    }

private:
    std::size_t size_;
    void* memory_;
    PF_EffectWorld def_{};
};

TYPED_TEST(FramesTest, RowsBeyondTwoGibibytesAreAddressedCorrectly)
{
    // 1 MiB rows: row 2048 starts at 2^31 bytes, which a 32-bit row offset cannot reach.
    const A_long rowbytes = 1 << 20;
    const A_long height = 2100;
    const std::string art = R"(
        oooooooooo
        oooooooooo
        ..........
        .#........
        .##.......
        .###......
        .####.....
        .#####....
        .##..##...
        ..........)";
    auto small = test::artWorld<TypeParam>(art);
    const auto expected = test::smoothed(small);

    ReservedWorld<TypeParam> source(small.width(), height, rowbytes);
    ReservedWorld<TypeParam> output(small.width(), height, rowbytes);
    ASSERT_TRUE(source.ok() && output.ok());
    const A_long top = height - small.height();
    for (A_long y = 0; y < small.height(); ++y) {
        for (A_long x = 0; x < small.width(); ++x) {
            source.at(x, top + y) = small.at(x, y);
            output.at(x, top + y) = small.at(x, y);
        }
    }
    // Untouched rows read as transparent black, like the two 'o' rows on top of the drawing,
    // so visiting the drawing's rows below them smooths exactly as in the small world.
    RenderInfo<TypeParam> info{};
    info.tolerance = info.tolerance2 = 6;
    bindSource(info, source.def());
    info.output = output.def();
    test::passOver(info, PF_Rect{0, top + 2, small.width(), height});
    test::TestWorld<TypeParam> smallPass(small);
    test::runPass(small, smallPass, 6, PF_LRect{0, 2, small.width(), small.height()});
    bool changed = false;
    for (A_long y = 0; y < small.height(); ++y) {
        for (A_long x = 0; x < small.width(); ++x) {
            ASSERT_EQ(output.at(x, top + y), smallPass.at(x, y)) << x << "," << y;
            changed = changed || small.at(x, y) != smallPass.at(x, y);
        }
    }
    EXPECT_TRUE(changed);
    EXPECT_EQ(test::changedMask(expected, smallPass), test::changedMask(small, small));
}

TYPED_TEST(FramesTest, SmallerOutputIsNeverWrittenOutsideAndAgreesInside)
{
    auto frame = celFrame<TypeParam>();
    const auto full = test::smoothed(frame);

    // The output covers the top-left part of the source only; a guard row and column of
    // padding beyond it must stay untouched.
    const A_long w = 30;
    const A_long h = 25;
    const A_long padding = 2 * static_cast<A_long>(sizeof(TypeParam));
    test::TestWorld<TypeParam> storage(w + 2, h + 1);
    for (A_long y = 0; y < h + 1; ++y) {
        for (A_long x = 0; x < w + 2; ++x) {
            storage.at(x, y) = x < w && y < h ? frame.at(x, y) : TypeParam{1, 2, 3, 4};
        }
    }
    PF_EffectWorld cropped = *storage.def();
    cropped.width = w;
    cropped.height = h;
    cropped.rowbytes = w * static_cast<A_long>(sizeof(TypeParam)) + padding;

    RenderInfo<TypeParam> info = test::renderInfoFor(frame, frame, 6);
    info.output = &cropped;
    test::passOver(info, PF_Rect{0, 0, frame.width(), frame.height()});
    for (A_long y = 0; y < h + 1; ++y) {
        for (A_long x = 0; x < w + 2; ++x) {
            const TypeParam expected = x < w && y < h ? full.at(x, y) : TypeParam{1, 2, 3, 4};
            ASSERT_EQ(storage.at(x, y), expected) << x << "," << y;
        }
    }
}

TYPED_TEST(FramesTest, LargerOutputKeepsItsMarginAndAgreesOverTheSource)
{
    auto frame = celFrame<TypeParam>();
    const auto full = test::smoothed(frame);
    test::TestWorld<TypeParam> output(frame.width() + 5, frame.height() + 3);
    for (A_long y = 0; y < frame.height(); ++y) {
        for (A_long x = 0; x < frame.width(); ++x) {
            output.at(x, y) = frame.at(x, y);
        }
    }
    // The host iterates the output's extent, which reaches past the source.
    test::runPass(frame, output, 6, PF_LRect{0, 0, output.width(), output.height()});
    for (A_long y = 0; y < output.height(); ++y) {
        for (A_long x = 0; x < output.width(); ++x) {
            const bool inside = x < frame.width() && y < frame.height();
            ASSERT_EQ(output.at(x, y), (inside ? full.at(x, y) : TypeParam{})) << x << "," << y;
        }
    }
}

// A front end of another kind (the tests' runner: no host, rows in bands run last first) renders
// through renderFrame exactly what the plug-in renders through the host's iterate, clipped to
// an extent, with the key off and on, and gives its temporary world back.
TYPED_TEST(FramesTest, RenderFrameOnAnotherRunnerMatchesThePlugIn)
{
    const std::string art = R"(
        ..........
        ..####....
        .######.r.
        ..##..##..
        ...#...#..
        ..........)";
    for (const bool key : {false, true}) {
        standin::World in = test::artFrame<TypeParam>(art);
        standin::World plugIn(in.width(), in.height(), in.deep());
        standin::World runner(in.width(), in.height(), in.deep());
        plugIn.def().extent_hint = runner.def().extent_hint = PF_LRect{0, 1, 9, 6};
        standin::Host host(&entryPointFunc);
        ASSERT_EQ(host.render(in, plugIn, standin::Settings{.useColorKey = key}), PF_Err_NONE);

        FrameControls controls;
        controls.useColorKey = key;
        controls.keyColor = kColorKeyDefault;
        controls.smoothRange = kSmoothRangeDefault;
        controls.extent = runner.def().extent_hint;
        test::BandedRunner rows(2);
        ASSERT_EQ(renderFrame(in.def(), runner.def(), controls, rows), PF_Err_NONE);
        EXPECT_TRUE(runner.samePixels(plugIn)) << key;
        EXPECT_FALSE(runner.samePixels(in)) << key;
        EXPECT_EQ(rows.liveWorlds(), 0u);
    }
}

}  // namespace
}  // namespace telvix
