// The plug-in's host side, driven through its entry point by the stand-in host.
#include <gtest/gtest.h>

#include <cstring>

#include "effect_entry.h"
#include "pixel_art.h"
#include "render.h"
#include "string_table.h"
#include "telvix_version.h"

using standin::Callback;
using standin::Host;
using standin::Settings;
using standin::World;
using namespace telvix::test;

namespace {

constexpr PF_Err kHeldBack = 4242;  // an error code no host callback produces on its own

template <typename Pixel>
constexpr Callback kIterate = sizeof(Pixel) == sizeof(PF_Pixel16) ? Callback::Iterate16
                                                                  : Callback::Iterate8;

// Renders with the smoothing iterate (the render's last one) made to fail: the output then
// holds exactly the analysis world the render copied into it, whatever the engine would do.
template <typename Pixel>
void renderWithoutSmoothing(Host& host, World& in, World& out, const Settings& settings)
{
    host.resetCounters();
    host.faults().failures = {{kIterate<Pixel>, settings.useColorKey ? 2 : 1, kHeldBack}};
    ASSERT_EQ(host.render(in, out, settings), kHeldBack);
    host.faults().failures.clear();
}

std::vector<std::string> hostCalls(const Host& host)
{
    std::vector<std::string> calls;
    for (const auto& name : host.callLog()) {
        if (name != "acquire_suite" && name != "release_suite") {
            calls.push_back(name);
        }
    }
    return calls;
}

}  // namespace

TEST(Commands, GlobalSetupReportsTheVersionAndFlagsOfThePipl)
{
    Host host(&entryPointFunc);
    EXPECT_EQ(host.globalSetup(), PF_Err_NONE);
    EXPECT_EQ(host.outData().my_version, 0x83000u);
    EXPECT_EQ(host.outData().out_flags, 0x2000040);
    EXPECT_EQ(host.outData().my_version, A_u_long(TELVIX_ENCODED_VERSION));
    EXPECT_EQ(host.outData().out_flags, TELVIX_GLOBAL_OUTFLAGS);
}

TEST(Commands, AboutFormatsNameVersionAndDescriptionThroughTheAnsiSuite)
{
    Host host(&entryPointFunc);
    std::string text;
    EXPECT_EQ(host.about(&text), PF_Err_NONE);
    EXPECT_EQ(text, std::string("Telvix v1.06\r") + telvix::stringFor(telvix::kStrDescription));
    EXPECT_EQ(text.rfind("Telvix v1.06\rSmooth line of cell animation.\r", 0), 0u);
    EXPECT_EQ(host.calls(Callback::Sprintf), 1);
    EXPECT_EQ(host.suitesAcquired(), 1);
    EXPECT_EQ(host.suitesHeld(), 0);
}

TEST(Commands, AboutWithoutTheAnsiSuiteFailsAndLeavesTheMessageAlone)
{
    for (bool refused : {true, false}) {
        Host host(&entryPointFunc);
        auto& plan = host.faults();
        (refused ? plan.refusedSuites : plan.nullSuites).push_back("PF ANSI Suite");
        std::strcpy(host.outData().return_msg, "untouched");
        EXPECT_EQ(host.about(), PF_Err_INTERNAL_STRUCT_DAMAGED);
        EXPECT_STREQ(host.outData().return_msg, "untouched");
        EXPECT_EQ(host.calls(Callback::Sprintf), 0);
        EXPECT_EQ(host.suitesHeld(), 0);
    }
}

TEST(Commands, OtherCommandsReturnZeroAndTouchNothing)
{
    for (PF_Cmd cmd : std::initializer_list<PF_Cmd>{PF_Cmd_SEQUENCE_SETUP, PF_Cmd_FRAME_SETUP,
                                                    PF_Cmd_SMART_RENDER, 99}) {
        Host host(&entryPointFunc);
        std::memset(&host.outData(), 0x5a, sizeof(PF_OutData));
        // The bytes themselves, padding included: a copy of the record need not copy its padding.
        unsigned char before[sizeof(PF_OutData)];
        std::memcpy(before, &host.outData(), sizeof before);
        EXPECT_EQ(host.command(cmd, nullptr, nullptr), PF_Err_NONE) << cmd;
        unsigned char after[sizeof(PF_OutData)];
        std::memcpy(after, &host.outData(), sizeof after);
        EXPECT_EQ(std::memcmp(before, after, sizeof before), 0) << cmd;
        EXPECT_TRUE(host.callLog().empty()) << cmd;
    }
}

TEST(Commands, WithoutABasicSuiteAboutAndRenderFailBeforeAnyCallback)
{
    Host host(&entryPointFunc);
    host.setBasicSuiteMissing(true);
    World in = artFrame<PF_Pixel8>(".#\n#.");
    World out(2, 2, false);
    EXPECT_EQ(host.about(), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(host.render(in, out, Settings{.useColorKey = true}), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_TRUE(host.callLog().empty());
    EXPECT_EQ(drawing<PF_Pixel8>(out), "\noo\noo");  // still the zeroed world
}

TEST(StringTable, HoldsTheFourteenTextsByIndex)
{
    const char* const expected[] = {"",
                                    "Telvix",
                                    nullptr,
                                    "All Dependencies requested.",
                                    "Missing Dependencies requested.",
                                    "Error loading suite.",
                                    "Error releasing suite.",
                                    "Color Key",
                                    "Use Color Key",
                                    "Use Color Key",
                                    "Do Smooth Range",
                                    "Smooth Length Tolerance",
                                    "Relative Threeshold",
                                    "Relative Threeshold"};
    for (A_long id = 0; id < telvix::kStrCount; ++id) {
        if (expected[id] != nullptr) {
            EXPECT_STREQ(telvix::stringFor(id), expected[id]) << id;
        }
    }
    const std::string description = telvix::stringFor(telvix::kStrDescription);
    EXPECT_EQ(description.rfind("Smooth line of cell animation.\r", 0), 0u);
    EXPECT_GT(description.size(), std::strlen("Smooth line of cell animation.\r"));
    EXPECT_STREQ(telvix::stringFor(14), "");  // unknown ids read no memory past the table
    EXPECT_STREQ(telvix::stringFor(-1), "");
}

TEST(Parameters, RegistersCheckBoxColourAndSliderInOrder)
{
    Host host(&entryPointFunc);
    ASSERT_EQ(host.paramsSetup(), PF_Err_NONE);
    EXPECT_EQ(host.outData().num_params, 4);
    const auto& params = host.registeredParams();
    ASSERT_EQ(params.size(), 3u);
    for (A_long i = 0; i < 3; ++i) {
        EXPECT_EQ(params[i].uu.id, i + 1);
        EXPECT_EQ(params[i].ui_flags, 0);
        EXPECT_EQ(params[i].flags, 0);
    }

    EXPECT_EQ(params[0].param_type, PF_Param_CHECKBOX);
    EXPECT_STREQ(params[0].name, "Use Color Key");
    EXPECT_EQ(params[0].u.bd.value, 0);
    EXPECT_EQ(params[0].u.bd.dephault, 0);
    EXPECT_STREQ(params[0].u.bd.u.nameptr, "Use Color Key");

    EXPECT_EQ(params[1].param_type, PF_Param_COLOR);
    EXPECT_STREQ(params[1].name, "Color Key");
    for (const PF_Pixel& c : {params[1].u.cd.value, params[1].u.cd.dephault}) {
        EXPECT_TRUE(c.alpha == 255 && c.red == 255 && c.green == 255 && c.blue == 255);
    }

    const PF_SliderDef& slider = params[2].u.sd;
    EXPECT_EQ(params[2].param_type, PF_Param_SLIDER);
    EXPECT_STREQ(params[2].name, "Do Smooth Range");
    EXPECT_EQ(slider.value, 6);
    EXPECT_EQ(slider.dephault, 6);
    EXPECT_EQ(slider.valid_min, 0);
    EXPECT_EQ(slider.valid_max, 255);
    EXPECT_EQ(slider.slider_min, 0);
    EXPECT_EQ(slider.slider_max, 255);
    // The record is reused: these bytes held the colour's default and the label pointer.
    const char zeros[32] = {};
    EXPECT_EQ(std::memcmp(slider.value_str, zeros, 32), 0);
    EXPECT_EQ(std::memcmp(slider.value_desc, zeros, 32), 0);
}

TEST(Parameters, AFailingAddStopsAtOnceAndReturnsItsCode)
{
    for (int failing = 1; failing <= 3; ++failing) {
        Host host(&entryPointFunc);
        host.outData().num_params = 77;
        host.faults().failures = {{Callback::AddParam, failing, PF_Err_OUT_OF_MEMORY}};
        EXPECT_EQ(host.paramsSetup(), PF_Err_OUT_OF_MEMORY);
        EXPECT_EQ(host.calls(Callback::AddParam), failing);
        EXPECT_EQ(host.registeredParams().size(), std::size_t(failing - 1));
        EXPECT_EQ(host.outData().num_params, 77);
    }
}

template <typename Pixel>
class Render : public ::testing::Test {
};
TYPED_TEST_SUITE(Render, Depths);

TYPED_TEST(Render, CallsTheHostInOrderWithOneSuitePerIterate)
{
    const std::string iterate = sizeof(TypeParam) == 8 ? "iterate16" : "iterate8";
    for (bool key : {false, true}) {
        Host host(&entryPointFunc);
        World in = artFrame<TypeParam>("..#\n.##");
        World out(3, 2, in.deep());
        ASSERT_EQ(host.render(in, out, Settings{.useColorKey = key}), PF_Err_NONE);
        std::vector<std::string> expected = {"copy", "new_world"};
        if (key) {
            expected.insert(expected.end(), {"copy", iterate});
        }
        // The smoothing pass: one iterate records the rows' writes, one applies them.
        expected.insert(expected.end(), {"copy", iterate, iterate, "dispose_world"});
        EXPECT_EQ(hostCalls(host), expected);
        EXPECT_EQ(host.suitesAcquired(), key ? 3 : 2);
        EXPECT_EQ(host.suitesReleased(), host.suitesAcquired());
        // Each suite is released right after its iterate.
        const auto& log = host.callLog();
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i] == iterate) {
                EXPECT_EQ(log.at(i - 1), "acquire_suite");
                EXPECT_EQ(log.at(i + 1), "release_suite");
            }
        }
        // Progress runs over both phases: two rows recorded, then the two rows written.
        EXPECT_EQ(host.progressBase(), 2);
        EXPECT_EQ(host.progressFinal(), 4);
        EXPECT_EQ(host.liveWorlds(), 0);
    }
}

TYPED_TEST(Render, WithoutTheKeyTheAnalysedFrameIsTheInput)
{
    Host host(&entryPointFunc);
    World in = artFrame<TypeParam>("..#r\n.##h\n#.ww");
    World out(4, 3, in.deep());
    renderWithoutSmoothing<TypeParam>(host, in, out, Settings{});
    EXPECT_TRUE(out.samePixels(in));
}

TYPED_TEST(Render, TheKeyClearsExactlyTheOpaqueKeyColouredPixels)
{
    Host host(&entryPointFunc);
    World in = artFrame<TypeParam>(R"(
        ..#r
        .##h
        #..h)");
    World out(4, 3, in.deep());
    renderWithoutSmoothing<TypeParam>(host, in, out, Settings{.useColorKey = true});
    EXPECT_EQ(drawing<TypeParam>(out), drawing<TypeParam>(R"(
        ww#r
        w##h
        #wwh)"));
    EXPECT_EQ(out.at<TypeParam>(0, 0).red, kMax<TypeParam>);  // white key: 32768 in 16-bit

    renderWithoutSmoothing<TypeParam>(
        host, in, out, Settings{.useColorKey = true, .keyColor = PF_Pixel{255, 255, 0, 0}});
    const TypeParam keyedRed = out.at<TypeParam>(3, 0);
    EXPECT_EQ(keyedRed.alpha, 0);
    EXPECT_EQ(keyedRed.red, kMax<TypeParam>);
    EXPECT_EQ(keyedRed.green, 0);
    EXPECT_EQ(drawing<TypeParam>(out).substr(0, 4), "\n..#");
}

TYPED_TEST(Render, TheKeyPassVisitsOnlyTheOutputExtent)
{
    Host host(&entryPointFunc);
    World in = artFrame<TypeParam>("....\n....\n....");
    World out(4, 3, in.deep());
    out.def().extent_hint = PF_LRect{1, 1, 3, 2};
    renderWithoutSmoothing<TypeParam>(host, in, out, Settings{.useColorKey = true});
    EXPECT_EQ(drawing<TypeParam>(out), "\n....\n.ww.\n....");
    EXPECT_EQ(host.progressFinal(), 1);
}

TYPED_TEST(Render, SizesRowPaddingAndUnmatchedKeysDoNotChangeTheResult)
{
    const char* art = "..#..\n.##.r\n#.#h.\n##...";
    Host host(&entryPointFunc);
    World in = artFrame<TypeParam>(art);
    World reference(5, 4, in.deep());
    ASSERT_EQ(host.render(in, reference, Settings{}), PF_Err_NONE);

    World paddedIn = artFrame<TypeParam>(art, 24);
    World paddedOut(5, 4, in.deep(), 8);
    ASSERT_EQ(host.render(paddedIn, paddedOut, Settings{}), PF_Err_NONE);
    EXPECT_TRUE(paddedOut.samePixels(reference));

    World keyed(5, 4, in.deep());
    const Settings unmatched{.useColorKey = true, .keyColor = PF_Pixel{255, 1, 2, 3}};
    ASSERT_EQ(host.render(in, keyed, unmatched), PF_Err_NONE);
    EXPECT_TRUE(keyed.samePixels(reference));

    // An output of another size is clipped to, never overrun (the sanitizer build checks this).
    for (A_long size : {3, 8}) {
        World other(size, size, in.deep());
        EXPECT_EQ(host.render(in, other, Settings{.useColorKey = true}), PF_Err_NONE);
    }
    EXPECT_EQ(host.liveWorlds(), 0);
}

TYPED_TEST(Render, AFailingHostCallEndsTheRenderWithItsCode)
{
    const std::pair<Callback, int> failures[] = {
        {Callback::Copy, 1},        {Callback::NewWorld, 1}, {Callback::Copy, 2},
        {kIterate<TypeParam>, 1},   {Callback::Copy, 3},     {kIterate<TypeParam>, 2},
        {Callback::DisposeWorld, 1}};
    for (const auto& [callback, atCall] : failures) {
        Host host(&entryPointFunc);
        World in = artFrame<TypeParam>(".#\n#.");
        World out(2, 2, in.deep());
        host.faults().failures = {{callback, atCall, 1234}};
        EXPECT_EQ(host.render(in, out, Settings{.useColorKey = true}), 1234)
            << standin::callbackName(callback) << " #" << atCall;
        // The temporary world is given back on every path once it exists.
        const bool made = callback != Callback::Copy || atCall > 1;
        EXPECT_EQ(host.calls(Callback::DisposeWorld), int(made && callback != Callback::NewWorld));
        EXPECT_EQ(host.liveWorlds(), callback == Callback::DisposeWorld ? 1 : 0);
        EXPECT_EQ(host.suitesHeld(), 0);
    }
}

TYPED_TEST(Render, AnInterruptReturnsTheCancelCode)
{
    Host host(&entryPointFunc);
    World in = artFrame<TypeParam>("...\n.#.\n...");
    World out(3, 3, in.deep());
    host.faults().cancelAfterPixels = 4;
    EXPECT_EQ(host.render(in, out, Settings{.useColorKey = true}), PF_Interrupt_CANCEL);
    EXPECT_EQ(host.calls(kIterate<TypeParam>), 1);
    EXPECT_EQ(host.liveWorlds(), 0);
    EXPECT_EQ(host.suitesHeld(), 0);
}

TYPED_TEST(Render, AnInterruptWhileTheWritesAreAppliedReturnsTheCancelCode)
{
    // Two bands of rows to record, then six rows to apply the writes to: an interrupt at the
    // third pixel of an iterate comes in the second.
    const std::string art = R"(
        ##....
        ##....
        ##....
        .##...
        .##...
        .##...)";
    Host host(&entryPointFunc);
    host.faults().cancelAfterPixels = 3;
    World in = artFrame<TypeParam>(art);
    World cancelled(6, 6, in.deep());
    EXPECT_EQ(host.render(in, cancelled, Settings{}), PF_Interrupt_CANCEL);
    EXPECT_EQ(host.calls(kIterate<TypeParam>), 2);
    EXPECT_EQ(host.liveWorlds(), 0);
    EXPECT_EQ(host.suitesHeld(), 0);
}

TYPED_TEST(Render, AFrameWithMoreWritesThanTheFirstGuessRecordsThemAgain)
{
    // Isolated dots on every other pixel of every other row: each is averaged for all four
    // directions, one write per pixel of the frame on average, four times the first recording's
    // guess. Bands taken out of order record their writes (in order they land in place), and
    // the render records a second time into a pool of the counted size.
    constexpr A_long kSize = 512;
    World in(kSize, kSize, sizeof(TypeParam) == sizeof(PF_Pixel16));
    const TypeParam paper = artPixel<TypeParam>('.');
    const TypeParam ink = artPixel<TypeParam>('#');
    for (A_long y = 0; y < kSize; ++y) {
        for (A_long x = 0; x < kSize; ++x) {
            in.at<TypeParam>(x, y) = x % 2 == 0 && y % 2 == 0 ? ink : paper;
        }
    }
    World serial(kSize, kSize, in.deep());
    World banded(kSize, kSize, in.deep());
    for (World* out : {&serial, &banded}) {
        Host host(&entryPointFunc);
        host.setThreading(standin::Threading{out == &serial ? 1 : 8, 99u});
        ASSERT_EQ(host.render(in, *out, Settings{}), PF_Err_NONE);
        // In order: one iterate lands, one finds nothing left. Out of order: record, record
        // again (twice when the bands that landed in place must now record too), apply.
        if (out == &serial) {
            EXPECT_EQ(host.calls(kIterate<TypeParam>), 2);
        } else {
            EXPECT_GE(host.calls(kIterate<TypeParam>), 3);
        }
    }
    EXPECT_TRUE(banded.samePixels(serial));
    // Five copies of the dot and its eight white neighbours, premultiplied mean: 8/13 of white.
    const auto grey = static_cast<decltype(ink.red)>(8 * kMax<TypeParam> / 13);
    const TypeParam expected{ink.alpha, grey, grey, grey};
    EXPECT_EQ(std::memcmp(&serial.at<TypeParam>(2, 2), &expected, sizeof expected), 0);
}

TYPED_TEST(Render, BandsWhoseWritesReachFarRecordAgainWithTheSameResult)
{
    // Stripes that step one pixel sideways every 150 rows, each at rows of its own: every edge
    // is a run of 150 rows whose writes land far along it, and every band of the recording
    // holds the step of some edge, so the bands reach far more rows than the first guess allows
    // for. The render records again, and the result is the serial one.
    constexpr A_long kWidth = 512;
    constexpr A_long kHeight = 600;
    World in(kWidth, kHeight, sizeof(TypeParam) == sizeof(PF_Pixel16));
    for (A_long y = 0; y < kHeight; ++y) {
        for (A_long x = 0; x < kWidth; ++x) {
            const A_long step = (y + 53 * (x / 8)) / 150;
            in.at<TypeParam>(x, y) = artPixel<TypeParam>((x + step) % 8 < 4 ? '#' : '.');
        }
    }
    World serial(kWidth, kHeight, in.deep());
    World banded(kWidth, kHeight, in.deep());
    for (World* out : {&serial, &banded}) {
        Host host(&entryPointFunc);
        host.setThreading(standin::Threading{out == &serial ? 1 : 5, 7u});
        ASSERT_EQ(host.render(in, *out, Settings{}), PF_Err_NONE);
        if (out == &serial) {
            EXPECT_EQ(host.calls(kIterate<TypeParam>), 2);
        } else {
            EXPECT_GE(host.calls(kIterate<TypeParam>), 3);
        }
    }
    EXPECT_TRUE(banded.samePixels(serial));
    EXPECT_FALSE(serial.samePixels(in));
}

TYPED_TEST(Render, AMissingIterateSuiteFailsOnlyItsOwnDepth)
{
    constexpr bool deep = sizeof(TypeParam) == sizeof(PF_Pixel16);
    for (bool refused : {true, false}) {
        Host host(&entryPointFunc);
        auto& plan = host.faults();
        (refused ? plan.refusedSuites : plan.nullSuites).push_back(kPFIterate16Suite);
        World in = artFrame<TypeParam>(".#\n#.");
        World out(2, 2, in.deep());
        EXPECT_EQ(host.render(in, out, Settings{.useColorKey = true}),
                  deep ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE);
        EXPECT_EQ(host.liveWorlds(), 0);
        EXPECT_EQ(host.suitesHeld(), 0);
    }
}

TEST(KeyPass, WidensThe8BitKeyWithTheHostConversion)
{
    // (c * 32768 + 128) / 255: 255 -> 32768, 128 -> 16448, 1 -> 129, 0 -> 0.
    Host host(&entryPointFunc);
    World in(2, 1, true);
    in.at<PF_Pixel16>(0, 0) = PF_Pixel16{32768, 16448, 129, 0};
    in.at<PF_Pixel16>(1, 0) = PF_Pixel16{32768, 16449, 129, 0};
    World out(2, 1, true);
    const Settings key{.useColorKey = true, .keyColor = PF_Pixel{255, 128, 1, 0}};
    renderWithoutSmoothing<PF_Pixel16>(host, in, out, key);
    EXPECT_EQ(out.at<PF_Pixel16>(0, 0).alpha, 0);
    EXPECT_EQ(out.at<PF_Pixel16>(0, 0).red, 16448);
    EXPECT_EQ(out.at<PF_Pixel16>(1, 0).alpha, 32768);
}

TEST(KeyPass, IgnoresAbsentPixels)
{
    telvix::RenderInfo<PF_Pixel8> info{};
    info.keyColor = PF_Pixel{255, 255, 255, 255};
    PF_Pixel pixel{255, 255, 255, 255};
    EXPECT_EQ(telvix::keyPass<PF_Pixel8>(&info, 0, 0, nullptr, &pixel), PF_Err_NONE);
    EXPECT_EQ(telvix::keyPass<PF_Pixel8>(&info, 0, 0, &pixel, nullptr), PF_Err_NONE);
    EXPECT_EQ(pixel.alpha, 255);
}
