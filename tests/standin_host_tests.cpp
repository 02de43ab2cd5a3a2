// The stand-in host itself: worlds, callbacks, suites and their bookkeeping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "effect_entry.h"
#include "pixel_art.h"

using standin::Callback;
using standin::Host;
using standin::World;
using namespace telvix::test;

namespace {

struct Visit {
    A_long x, y;
    bool hasIn;
};

// A pixel function that records its visits and fails at the visit numbered `failAt`.
struct Recorder {
    std::vector<Visit> visits{};
    std::size_t failAt = 0;
    static PF_Err visit(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out)
    {
        auto* self = static_cast<Recorder*>(refcon);
        self->visits.push_back({x, y, in != nullptr});
        out->red = 7;
        return self->visits.size() == self->failAt ? 55 : PF_Err_NONE;
    }
};

const PF_Iterate8Suite1* iterate8(Host& host)
{
    const void* suite = nullptr;
    host.inData().pica_basicP->AcquireSuite(kPFIterate8Suite, 1, &suite);
    return static_cast<const PF_Iterate8Suite1*>(suite);
}

}  // namespace

TEST(StandinWorld, PadsRowsAndStartsZeroedWithTheWholeFrameAsExtent)
{
    World world(3, 2, true, 10);
    EXPECT_EQ(world.rowbytes(), 3 * 8 + 10);
    EXPECT_EQ(world.def().world_flags, PF_WorldFlag_DEEP | PF_WorldFlag_WRITEABLE);
    EXPECT_EQ(world.def().extent_hint.right, 3);
    EXPECT_EQ(world.def().extent_hint.bottom, 2);
    EXPECT_EQ(world.at<PF_Pixel16>(2, 1).alpha, 0);
    EXPECT_THROW(world.at<PF_Pixel8>(0, 0), std::logic_error);
    EXPECT_THROW(world.at<PF_Pixel16>(3, 0), std::out_of_range);
}

TEST(StandinCallbacks, CopyHonoursRowbytesAndCopiesTheOverlapOfOtherSizes)
{
    Host host(nullptr);
    PF_UtilCallbacks* utils = host.inData().utils;
    PF_ProgPtr ref = host.inData().effect_ref;
    World src = artFrame<PF_Pixel8>("#.r\n.#h", 12);
    World same(3, 2, false, 4);
    EXPECT_EQ(utils->copy(ref, &src.def(), &same.def(), nullptr, nullptr), PF_Err_NONE);
    EXPECT_TRUE(same.samePixels(src));

    World small(2, 3, false);
    EXPECT_EQ(utils->copy(ref, &src.def(), &small.def(), nullptr, nullptr), PF_Err_NONE);
    EXPECT_EQ(drawing<PF_Pixel8>(small), "\n#.\n.#\noo");

    World deep(3, 2, true);
    EXPECT_EQ(utils->copy(ref, &src.def(), &deep.def(), nullptr, nullptr),
              PF_Err_BAD_CALLBACK_PARAM);
}

TEST(StandinCallbacks, NewWorldsAreTrackedUntilDisposedOf)
{
    Host host(nullptr);
    PF_UtilCallbacks* utils = host.inData().utils;
    PF_ProgPtr ref = host.inData().effect_ref;
    PF_EffectWorld a{}, b{};
    ASSERT_EQ(utils->new_world(ref, 4, 3, PF_NewWorldFlag_DEEP_PIXELS, &a), PF_Err_NONE);
    ASSERT_EQ(utils->new_world(ref, 2, 2, PF_NewWorldFlag_NONE, &b), PF_Err_NONE);
    EXPECT_TRUE(PF_WORLD_IS_DEEP(&a));
    EXPECT_EQ(a.width, 4);
    EXPECT_EQ(host.liveWorlds(), 2);
    EXPECT_EQ(utils->dispose_world(ref, &a), PF_Err_NONE);
    EXPECT_EQ(utils->dispose_world(ref, &a), PF_Err_BAD_CALLBACK_PARAM);  // not twice
    EXPECT_EQ(host.liveWorlds(), 1);
    EXPECT_EQ(host.worldsCreated(), 2);
    EXPECT_EQ(utils->new_world(ref, -1, 2, 0, &a), PF_Err_BAD_CALLBACK_PARAM);
}

TEST(StandinHost, SpansOfTheLastCommandFollowItsCallsInOrder)
{
    // The benchmarks split a render's time by these spans.
    Host host(&entryPointFunc);
    World in = artFrame<PF_Pixel8>("..#\n.##\n###");
    World out(3, 3, false);
    ASSERT_EQ(host.render(in, out, standin::Settings{.useColorKey = true}), PF_Err_NONE);
    const auto& spans = host.lastCommandSpans();
    const auto& log = host.callLog();
    ASSERT_EQ(spans.size(), log.size());  // the log began with this host: it is this command's
    double previous = 0.0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        EXPECT_EQ(standin::callbackName(spans[i].callback), log[i]);
        EXPECT_LE(previous, spans[i].start);
        EXPECT_LE(spans[i].start, spans[i].end);
        previous = spans[i].end;
    }
    EXPECT_LE(previous, host.lastCommandSeconds());
    ASSERT_EQ(host.render(in, out, standin::Settings{}), PF_Err_NONE);
    EXPECT_LT(host.lastCommandSpans().size(), host.callLog().size());  // the last command's only
}

TEST(StandinIterate, VisitsRowMajorInsideBothWorldsAndStopsAtTheFirstError)
{
    Host host(nullptr);
    Host::Scope scope(host);
    World src(3, 2, false);
    World dst(4, 4, false);
    const PF_Rect area{-1, 0, 9, 9};  // larger than both worlds
    Recorder recorder;
    ASSERT_EQ(iterate8(host)->iterate(&host.inData(), 0, 2, &src.def(), &area, &recorder,
                                      &Recorder::visit, &dst.def()),
              PF_Err_NONE);
    ASSERT_EQ(recorder.visits.size(), 6u);
    EXPECT_EQ(recorder.visits[1].x, 1);
    EXPECT_EQ(recorder.visits[3].y, 1);
    EXPECT_TRUE(recorder.visits[5].hasIn);
    EXPECT_EQ(host.progressDone(), 2);
    EXPECT_EQ(drawing<PF_Pixel8>(dst).substr(0, 5), "\n???o");

    Recorder failing{.failAt = 2};
    EXPECT_EQ(iterate8(host)->iterate(&host.inData(), 0, 2, &src.def(), nullptr, &failing,
                                      &Recorder::visit, &dst.def()),
              55);
    EXPECT_EQ(failing.visits.size(), 2u);

    host.faults().cancelAfterPixels = 3;
    Recorder cancelled;
    EXPECT_EQ(iterate8(host)->iterate(&host.inData(), 0, 2, &src.def(), nullptr, &cancelled,
                                      &Recorder::visit, &dst.def()),
              PF_Interrupt_CANCEL);
    EXPECT_EQ(cancelled.visits.size(), 3u);

    // A cancel the user asks for stops the iterate after the row it is in.
    host.faults().cancelAfterPixels = -1;
    host.setCancelRequest([] { return true; });
    Recorder userCancelled;
    EXPECT_EQ(iterate8(host)->iterate(&host.inData(), 0, 2, &src.def(), nullptr, &userCancelled,
                                      &Recorder::visit, &dst.def()),
              PF_Interrupt_CANCEL);
    EXPECT_TRUE(userCancelled.visits.empty());
}

TEST(StandinSuites, AnsiHelpersStayInsideTheHostBuffer)
{
    Host host(nullptr);
    Host::Scope scope(host);
    char buffer[PF_MAX_EFFECT_MSG_LEN + 8];
    std::memset(buffer, 'x', sizeof buffer);
    const std::string longText(400, 'a');
    host.inData().utils->ansi.sprintf(buffer, "%s", longText.c_str());
    EXPECT_EQ(std::strlen(buffer), 255u);
    EXPECT_EQ(buffer[256], 'x');
    host.faults().failures = {{Callback::Sprintf, 2, 1}};
    EXPECT_EQ(host.inData().utils->ansi.sprintf(buffer, "%d", 5), -1);
    EXPECT_EQ(std::strlen(buffer), 255u);
    EXPECT_EQ(host.calls(Callback::Sprintf), 2);
}

TEST(StandinSuites, FaultsHitTheNumberedCallOnly)
{
    Host host(nullptr);
    Host::Scope scope(host);
    host.faults().failures = {{Callback::AcquireSuite, 2, 8}};
    const void* suite = nullptr;
    SPBasicSuite* basic = host.inData().pica_basicP;
    EXPECT_EQ(basic->AcquireSuite(kPFANSISuite, 1, &suite), 0);
    EXPECT_EQ(basic->AcquireSuite(kPFANSISuite, 1, &suite), 8);
    EXPECT_EQ(suite, nullptr);
    EXPECT_NE(basic->AcquireSuite(kPFANSISuite, 2, &suite), 0);  // unknown version
    EXPECT_EQ(host.suitesAcquired(), 1);
    host.resetCounters();
    EXPECT_EQ(basic->AcquireSuite(kPFANSISuite, 1, &suite), 0);
    EXPECT_EQ(host.callLog(), std::vector<std::string>{"acquire_suite"});
}

TEST(StandinIterate, BandsOnThreadsVisitEveryPixelOnceEachRowFromTheLeft)
{
    // Each visit stamps its pixel with its own column and counts it; bands of rows run at once,
    // so a row visited out of order, twice or not at all shows in the stamps.
    struct Stamps {
        static PF_Err visit(void*, A_long x, A_long, PF_Pixel* in, PF_Pixel* out)
        {
            const bool inOrder = x == 0 || (out - 1)->blue == A_u_char(x - 1);
            out->alpha = A_u_char(out->alpha + 1);
            out->blue = A_u_char(x);
            out->red = inOrder ? 1 : 0;
            return in != nullptr ? PF_Err_NONE : 1;
        }
    };
    for (const standin::Threading threading :
         {standin::Threading{1, 0}, standin::Threading{3, 0}, standin::Threading{16, 77u},
          standin::Threading{40, 5u}}) {
        Host host(nullptr);
        Host::Scope scope(host);
        host.setThreading(threading);
        World src(9, 23, false);
        World dst(9, 23, false);
        ASSERT_EQ(iterate8(host)->iterate(&host.inData(), 0, 23, &src.def(), nullptr, nullptr,
                                          &Stamps::visit, &dst.def()),
                  PF_Err_NONE)
            << threading.threads << " threads";
        for (A_long y = 0; y < 23; ++y) {
            for (A_long x = 0; x < 9; ++x) {
                const PF_Pixel8& p = dst.at<PF_Pixel8>(x, y);
                ASSERT_EQ(p.alpha, 1) << x << ", " << y << ", " << threading.threads << " threads";
                ASSERT_EQ(p.red, 1) << x << ", " << y << ", " << threading.threads << " threads";
            }
        }
        EXPECT_EQ(host.progressDone(), 23);
        EXPECT_EQ(host.longestIterate(), 9 * 23);
    }
}

TEST(StandinHost, HostsOnSeveralThreadsKeepTheirOwnBooks)
{
    std::vector<int> acquired(4, -1);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &acquired] {
            Host host(&entryPointFunc);
            World in = artFrame<PF_Pixel8>("..#\n##.");
            for (int frame = 0; frame <= t; ++frame) {
                World out(3, 2, false);
                host.render(in, out, standin::Settings{.useColorKey = true});
            }
            acquired[t] = host.suitesAcquired();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(acquired, (std::vector<int>{3, 6, 9, 12}));  // key pass, record, apply
}
