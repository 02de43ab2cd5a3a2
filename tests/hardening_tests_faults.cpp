// Every host callback that a command makes, failed at every call index in turn: the command's
// result follows the error rules and nothing the plug-in took from the host is left behind.
//
// A clean run of each command first counts its calls of every callback. Then each call is made
// to fail, one at a time, in each way a host can fail it: an error code (also the interrupt
// code), a refused suite, a suite "acquired" with a null table, an interrupt after any number of
// visited pixels. The rules checked:
//  * copy, new_world, dispose_world, add_param and iterate: the command ends with that call's
//    code unchanged, and the plug-in calls nothing afterwards but dispose_world and
//    ReleaseSuite to give back what it holds;
//  * a refused or null suite: the command ends with 512;
//  * strcpy and sprintf have no error result in the host (a failing one here returns null or
//    -1 and writes nothing), ReleaseSuite's result is ignored: the command goes on exactly as in
//    the clean run and returns the same result;
//  * always: every world created is disposed of once, every suite table delivered is released
//    once, and the input layer is never written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "effect_entry.h"
#include "pixel_art.h"

using standin::Callback;
using standin::Host;
using standin::Settings;
using standin::World;
using namespace telvix::test;

namespace {

// The codes each failing call returns: the host's out-of-memory, its interrupt, and a code no
// host sends (it must still come back unchanged).
constexpr PF_Err kCodes[] = {PF_Err_OUT_OF_MEMORY, PF_Interrupt_CANCEL, 4242};

// A basic suite between the host and the plug-in that answers the n-th AcquireSuite with
// success and a null table, as a broken host might. Its calls do not reach the host, so they
// are neither counted nor held there.
struct NullTableInjection {
    SPBasicSuite* host = nullptr;
    int nullAtCall = 0;  // 0: pass every call through
    int calls = 0;
};
thread_local NullTableInjection tInjection;

SPErr injectingAcquire(const char* name, int32 version, const void** suite)
{
    if (++tInjection.calls == tInjection.nullAtCall) {
        *suite = nullptr;
        return kSPNoError;
    }
    return tInjection.host->AcquireSuite(name, version, suite);
}

SPErr forwardingRelease(const char* name, int32 version)
{
    return tInjection.host->ReleaseSuite(name, version);
}

// The entry point as the host sees it: the real one, reached through the injecting suite.
PF_Err injectingEntryPoint(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                           PF_ParamDef* params[], PF_LayerDef* output, void* extra)
{
    SPBasicSuite* hostSuite = in_data->pica_basicP;
    SPBasicSuite wrapper{};
    if (hostSuite != nullptr) {
        wrapper = *hostSuite;
        wrapper.AcquireSuite = &injectingAcquire;
        wrapper.ReleaseSuite = &forwardingRelease;
        in_data->pica_basicP = &wrapper;
    }
    tInjection.host = hostSuite;
    tInjection.calls = 0;
    const PF_Err err = entryPointFunc(cmd, in_data, out_data, params, output, extra);
    in_data->pica_basicP = hostSuite;
    return err;
}

// One command as a host sends it, on fresh worlds each time.
struct Command {
    std::string name;
    std::function<PF_Err(Host&)> run;
};

template <typename Pixel>
Command renderCommand(bool key)
{
    const std::string name = std::string("render ") + (sizeof(Pixel) == 8 ? "16" : "8") +
                             "-bit, key " + (key ? "on" : "off");
    return {name, [key](Host& host) {
                // Edges everywhere, a key-coloured pixel, padded rows of different lengths.
                const std::string art = "...#..\n.##r#.\n.#h##.\n..#...\n......";
                World in = artFrame<Pixel>(art, 6);
                const World pristine = artFrame<Pixel>(art);
                World out(in.width(), in.height(), in.deep(), 10);
                const PF_Err err = host.render(
                    in, out, Settings{.useColorKey = key, .keyColor = PF_Pixel{255, 255, 0, 0}});
                EXPECT_TRUE(in.samePixels(pristine)) << "the input layer was written";
                return err;
            }};
}

std::vector<Command> allCommands()
{
    return {
        {"about", [](Host& host) { return host.about(); }},
        {"parameter setup", [](Host& host) { return host.paramsSetup(); }},
        renderCommand<PF_Pixel8>(false),
        renderCommand<PF_Pixel8>(true),
        renderCommand<PF_Pixel16>(false),
        renderCommand<PF_Pixel16>(true),
    };
}

constexpr Callback kAllCallbacks[] = {
    Callback::Copy,      Callback::NewWorld,     Callback::DisposeWorld, Callback::AddParam,
    Callback::Strcpy,    Callback::AcquireSuite, Callback::ReleaseSuite, Callback::Iterate8,
    Callback::Iterate16, Callback::Sprintf};

// Callbacks whose failure the plug-in cannot see or need not act on: the command carries on.
bool carriesOn(Callback c)
{
    return c == Callback::Strcpy || c == Callback::Sprintf || c == Callback::ReleaseSuite;
}

// What a clean run of a command did.
struct CleanRun {
    PF_Err result = PF_Err_NONE;
    std::vector<std::string> log;
    int calls[standin::kCallbackCount]{};
};

CleanRun cleanRun(const Command& command)
{
    Host host(&injectingEntryPoint);
    CleanRun clean;
    clean.result = command.run(host);
    clean.log = host.callLog();
    for (Callback c : kAllCallbacks) {
        clean.calls[static_cast<int>(c)] = host.calls(c);
    }
    return clean;
}

// Position in the call log of the n-th call (1-based) of the callback named `name`.
std::size_t positionOfCall(const std::vector<std::string>& log, const std::string& name, int n)
{
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i] == name && --n == 0) {
            return i;
        }
    }
    return log.size();
}

// Everything the plug-in took is given back: each created world disposed of once (a dispose the
// host failed keeps its world), each delivered suite released once.
void expectNothingHeld(const Host& host, bool disposeFailed, bool releaseFailed,
                       const std::string& where)
{
    EXPECT_EQ(host.calls(Callback::DisposeWorld), host.worldsCreated()) << where;
    EXPECT_EQ(host.liveWorlds(), disposeFailed ? 1 : 0) << where;
    EXPECT_EQ(host.calls(Callback::ReleaseSuite), host.suitesAcquired()) << where;
    if (!releaseFailed) {
        EXPECT_EQ(host.suitesHeld(), 0) << where;
    }
}

// After the failing call at `failedAt`, the plug-in only gives back what it holds.
void expectOnlyCleanupAfter(const std::vector<std::string>& log, std::size_t failedAt,
                            const std::string& where)
{
    for (std::size_t i = failedAt + 1; i < log.size(); ++i) {
        EXPECT_TRUE(log[i] == "dispose_world" || log[i] == "release_suite")
            << where << ": " << log[i] << " called after the failure";
    }
}

}  // namespace

TEST(ExhaustiveFaults, EveryFailingCallbackAtEveryCallIndexFollowsTheErrorRules)
{
    int cases = 0;
    for (const Command& command : allCommands()) {
        const CleanRun clean = cleanRun(command);
        ASSERT_EQ(clean.result, PF_Err_NONE) << command.name;
        for (Callback callback : kAllCallbacks) {
            const std::string name = standin::callbackName(callback);
            for (int index = 1; index <= clean.calls[static_cast<int>(callback)]; ++index) {
                for (PF_Err code : kCodes) {
                    const std::string where = command.name + ", " + name + " #" +
                                              std::to_string(index) + " fails with " +
                                              std::to_string(code);
                    Host host(&injectingEntryPoint);
                    host.faults().failures = {{callback, index, code}};
                    const PF_Err result = command.run(host);
                    ++cases;
                    expectNothingHeld(host, callback == Callback::DisposeWorld,
                                      callback == Callback::ReleaseSuite, where);
                    if (carriesOn(callback)) {
                        EXPECT_EQ(result, clean.result) << where;
                        EXPECT_EQ(host.callLog(), clean.log) << where;
                        continue;
                    }
                    // A refused suite is the plug-in's missing-suite error; every other code
                    // comes back as the host gave it.
                    EXPECT_EQ(result, callback == Callback::AcquireSuite
                                          ? PF_Err_INTERNAL_STRUCT_DAMAGED
                                          : code)
                        << where;
                    const std::size_t failedAt = positionOfCall(host.callLog(), name, index);
                    if (failedAt >= host.callLog().size()) {
                        ADD_FAILURE() << where << ": the failing call was not made";
                        continue;
                    }
                    expectOnlyCleanupAfter(host.callLog(), failedAt, where);
                    EXPECT_TRUE(failedAt < clean.log.size() &&
                                std::equal(clean.log.begin(), clean.log.begin() + failedAt + 1,
                                           host.callLog().begin()))
                        << where << ": the calls before the failure differ from the clean run";
                }
            }
        }
    }
    std::cout << "[ fault cases ] " << cases << " failing callback calls tried\n";
    RecordProperty("cases", cases);
}

TEST(ExhaustiveFaults, ASuiteDeliveredAsANullTableAtAnyIndexEndsTheCommandWith512)
{
    int cases = 0;
    for (const Command& command : allCommands()) {
        const CleanRun clean = cleanRun(command);
        for (int index = 1; index <= clean.calls[static_cast<int>(Callback::AcquireSuite)];
             ++index) {
            const std::string where =
                command.name + ", null table at acquisition " + std::to_string(index);
            Host host(&injectingEntryPoint);
            tInjection.nullAtCall = index;
            const PF_Err result = command.run(host);
            tInjection.nullAtCall = 0;
            ++cases;
            EXPECT_EQ(result, PF_Err_INTERNAL_STRUCT_DAMAGED) << where;
            expectNothingHeld(host, false, false, where);
            // The null "acquisition" never reached the host, and none came after it.
            const auto& log = host.callLog();
            const auto acquisitions = std::count(log.begin(), log.end(), "acquire_suite");
            EXPECT_EQ(acquisitions, index - 1) << where;
        }
    }
    std::cout << "[ fault cases ] " << cases << " null suite tables tried\n";
    RecordProperty("cases", cases);
}

TEST(ExhaustiveFaults, AnInterruptAfterAnyNumberOfPixelsReturnsTheCancelCode)
{
    // The interrupt hits whichever iterate of the render first reaches that many pixel-function
    // calls (the key pass, or a phase of the smoothing pass), even at its last call; a limit past
    // the longest iterate never interrupts.
    int cases = 0;
    for (const Command& command : allCommands()) {
        if (command.name.rfind("render", 0) != 0) {
            continue;
        }
        // The longest iterate of a clean run: the key pass visits every pixel, the smoothing
        // pass's two phases one call per row.
        Host clean(&injectingEntryPoint);
        ASSERT_EQ(command.run(clean), PF_Err_NONE) << command.name;
        const long long longest = clean.longestIterate();
        ASSERT_GT(longest, 0) << command.name;
        for (long long after = 0; after <= longest + 1; ++after) {
            const std::string where =
                command.name + ", interrupt after " + std::to_string(after) + " pixels";
            Host host(&injectingEntryPoint);
            host.faults().cancelAfterPixels = after;
            const PF_Err result = command.run(host);
            ++cases;
            EXPECT_EQ(result, after <= longest ? PF_Interrupt_CANCEL : PF_Err_NONE) << where;
            expectNothingHeld(host, false, false, where);
        }
    }
    std::cout << "[ fault cases ] " << cases << " interrupts tried\n";
    RecordProperty("cases", cases);
}

TEST(ExhaustiveFaults, AFailingStrcpyNeverStopsParameterSetup)
{
    // The host's strcpy has no error result; a null return must neither crash the plug-in nor
    // lose a parameter. The other two parameters keep their names.
    const char* const names[] = {"Use Color Key", "Color Key", "Do Smooth Range"};
    for (int index = 1; index <= 3; ++index) {
        Host host(&injectingEntryPoint);
        host.faults().failures = {{Callback::Strcpy, index, PF_Err_OUT_OF_MEMORY}};
        ASSERT_EQ(host.paramsSetup(), PF_Err_NONE);
        ASSERT_EQ(host.registeredParams().size(), 3u);
        EXPECT_EQ(host.outData().num_params, 4);
        for (int p = 1; p <= 3; ++p) {
            if (p != index) {
                EXPECT_STREQ(host.registeredParams()[p - 1].name, names[p - 1]);
            }
        }
    }
}

TEST(ExhaustiveFaults, AFailingSprintfLeavesTheAboutMessageAlone)
{
    Host host(&injectingEntryPoint);
    std::strcpy(host.outData().return_msg, "untouched");
    host.faults().failures = {{Callback::Sprintf, 1, PF_Err_OUT_OF_MEMORY}};
    std::string text;
    EXPECT_EQ(host.about(&text), PF_Err_NONE);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(host.suitesHeld(), 0);
}

template <typename Pixel>
class EmptyFrames : public ::testing::Test {
};
TYPED_TEST_SUITE(EmptyFrames, Depths);

TYPED_TEST(EmptyFrames, RenderWithoutWritingAndGiveEverythingBack)
{
    // Frames with no pixels, and outputs with none while the input has some, at both key
    // settings: the host copies nothing, iterates over nothing, and gets its world back.
    const std::pair<A_long, A_long> sizes[] = {{0, 0}, {0, 5}, {5, 0}, {1, 1}};
    for (const auto& [w, h] : sizes) {
        for (const auto& [ow, oh] : sizes) {
            for (bool key : {false, true}) {
                Host host(&injectingEntryPoint);
                World in(w, h, sizeof(TypeParam) == 8, 4);
                World out(ow, oh, in.deep(), 2);
                EXPECT_EQ(host.render(in, out, Settings{.useColorKey = key}), PF_Err_NONE)
                    << w << "x" << h << " into " << ow << "x" << oh;
                EXPECT_EQ(host.liveWorlds(), 0);
                EXPECT_EQ(host.suitesHeld(), 0);
            }
        }
    }
}
