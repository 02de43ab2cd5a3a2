// A small stand-in for the effect host: it owns image worlds, offers the callbacks and suites the
// plug-in uses, and drives a plug-in's entry point through the commands a host sends (global
// setup, parameter setup, render). Like a real host, its iterate and copy split their rows into
// bands that run at the same time (Threading), on as many threads as there are bands but no more
// than the processors; with one thread, iteration is serial, row by row from the top and each
// row from the left. For tests it counts what the
// plug-in acquires and creates, and it can inject faults into any callback.
//
// One Host serves one thread: the callbacks without a context argument (the basic suite, the ANSI
// helpers) find their host through a thread-local pointer that each command sets. Several Hosts on
// several threads work side by side.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_EffectCB.h"
#include "AE_EffectCBSuites.h"
#include "SPBasic.h"
#include "telvix_params.h"

namespace standin {

// An image world owned by the host: 8-bit (PF_Pixel8) or deep 16-bit (PF_Pixel16) pixels in rows
// `rowbytes` apart, where rowbytes = width × pixel size + rowPadding. Pixels start zeroed, or,
// made with Uncleared, hold whatever the memory held (a host's new_world promises nothing
// without PF_NewWorldFlag_CLEAR_PIXELS, and clearing a large world costs milliseconds).
class World {
public:
    enum class Start { Cleared, Uncleared };
    World(A_long width, A_long height, bool deep, A_long rowPadding = 0,
          Start start = Start::Cleared);
    World(const World&) = delete;
    World& operator=(const World&) = delete;
    World(World&&) noexcept;
    World& operator=(World&&) noexcept;
    ~World();

    PF_EffectWorld& def() { return def_; }
    const PF_EffectWorld& def() const { return def_; }

    bool deep() const { return PF_WORLD_IS_DEEP(&def_); }
    A_long width() const { return def_.width; }
    A_long height() const { return def_.height; }
    A_long rowbytes() const { return def_.rowbytes; }

    // The pixel at (x, y); Pixel must match the world's depth.
    template <typename Pixel>
    Pixel& at(A_long x, A_long y);
    template <typename Pixel>
    const Pixel& at(A_long x, A_long y) const;

    // True when both worlds have the same size and depth and equal pixels (row padding ignored).
    bool samePixels(const World& other) const;
    // A 64-bit checksum of the pixels (row padding ignored), for recorded whole-frame results.
    std::uint64_t pixelChecksum() const;

private:
    // calloc'd, so that a large fresh world costs no explicit clearing pass.
    struct FreeStorage {
        void operator()(std::uint8_t* p) const noexcept;
    };
    std::unique_ptr<std::uint8_t[], FreeStorage> storage_;
    PF_EffectWorld def_{};
};

// The host callbacks that are counted and that a fault can target.
enum class Callback {
    Copy,
    NewWorld,
    DisposeWorld,
    AddParam,
    Strcpy,
    AcquireSuite,
    ReleaseSuite,
    Iterate8,
    Iterate16,
    Sprintf,
};
inline constexpr int kCallbackCount = 10;
const char* callbackName(Callback callback);

// Make the `atCall`-th call (1-based, counted since the last resetCounters()) of `callback` fail
// with `code` instead of doing its work. A failing strcpy copies nothing and returns null; a
// failing sprintf writes nothing and returns -1; a failing AcquireSuite hands back no table.
struct Fault {
    Callback callback;
    int atCall;
    PF_Err code;
};

struct FaultPlan {
    std::vector<Fault> failures;
    std::vector<std::string> refusedSuites;  // AcquireSuite answers an error for these names
    std::vector<std::string> nullSuites;     // AcquireSuite answers success with a null table
    // When >= 0: an iterate call stops and returns PF_Interrupt_CANCEL once it has visited this
    // many pixels, as when the user interrupts a render.
    long long cancelAfterPixels = -1;
};

// How iterate and copy run: their rows split into `threads` bands, visited at the same time on up
// to as many threads (never more than the processors, host_threads.h). With splitSeed 0 the bands
// are as equal as rows allow; otherwise every iterate draws its own band boundaries at random from
// the seed and its call count (bands may be empty) and starts them from the last.
struct Threading {
    int threads = 1;
    std::uint32_t splitSeed = 0;
};

// The effect's three controls as the render command hands them over (params[1..3]).
struct Settings {
    bool useColorKey = telvix::kUseColorKeyDefault != 0;
    PF_Pixel8 keyColor = telvix::kColorKeyDefault;  // alpha, red, green, blue
    A_long tolerance = telvix::kSmoothRangeDefault;
};

class Host {
public:
    explicit Host(PF_FilterProc entryPoint);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Commands, as a host sends them. Each returns the entry point's result.
    PF_Err about(std::string* text = nullptr);  // text: out_data's return_msg after the call
    PF_Err globalSetup();                       // results stay in outData()
    PF_Err paramsSetup();                       // the added parameters land in registeredParams()
    // Renders `input` into `output`. The output's extent_hint is used as it stands (World's
    // constructor sets it to the whole frame); params[0] holds the input layer.
    PF_Err render(World& input, World& output, const Settings& settings);
    // Any command with the host's records, for commands the helpers above do not cover.
    PF_Err command(PF_Cmd cmd, PF_ParamDef* params[], PF_EffectWorld* output);

    PF_InData& inData() { return inData_; }
    PF_OutData& outData() { return outData_; }
    const std::vector<PF_ParamDef>& registeredParams() const { return params_; }

    // With true, in_data's pica_basicP is null for the following commands.
    void setBasicSuiteMissing(bool missing);
    // With true, iterate still visits every pixel of its area but calls a function that returns
    // at once instead of the plug-in's: what a render costs with no smoothing work at all (the
    // floor that benchmarks report beside every figure).
    void setPixelFunctionsSkipped(bool skipped) { pixelFunctionsSkipped_ = skipped; }
    void setThreading(Threading threading) { threading_ = threading; }
    // `requested`, when set, is asked after every row an iterate visits, on that band's thread:
    // true stops the iterate, which returns PF_Interrupt_CANCEL, as a real host does when the
    // user cancels a render. It must be safe to call from several threads at once.
    void setCancelRequest(bool (*requested)()) { cancelRequested_ = requested; }
    const Threading& threading() const { return threading_; }
    FaultPlan& faults() { return faults_; }

    // Bookkeeping since the last resetCounters().
    int calls(Callback callback) const { return calls_[static_cast<int>(callback)]; }
    int suitesAcquired() const { return acquired_; }  // successful AcquireSuite calls
    int suitesReleased() const { return released_; }
    int suitesHeld() const { return acquired_ - released_; }
    int worldsCreated() const { return worldsCreated_; }
    int liveWorlds() const;  // created through new_world and not yet disposed of
    // Every callback made, in order, as "copy", "new_world", "iterate8", ... (callbackName()).
    const std::vector<std::string>& callLog() const { return callLog_; }
    // The callbacks of the last command with when each began and returned, in seconds from the
    // command's start, and the command's own length: where a render's time goes, for the
    // benchmarks (a callback that does no work returns as it begins).
    struct CallSpan {
        Callback callback;
        double start;
        double end;
    };
    const std::vector<CallSpan>& lastCommandSpans() const { return spans_; }
    double lastCommandSeconds() const { return commandSeconds_; }
    // Progress of the last iterate: the base and final counts it was given and the rows done.
    A_long progressBase() const { return progressBase_; }
    A_long progressDone() const { return progressDone_; }
    A_long progressFinal() const { return progressFinal_; }
    // The most pixel-function calls that one iterate made.
    long long longestIterate() const { return longestIterate_; }
    void resetCounters();

    // Makes `host` the calling thread's current host while it lives (restoring the previous one
    // afterwards), as each command does. With it, the context-free callbacks (the basic suite
    // in inData().pica_basicP, the ANSI helpers) can also be called outside a command.
    class Scope {
    public:
        explicit Scope(Host& host);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Host* previous_;
    };

private:
    struct Impl;
    friend struct Impl;

    PF_FilterProc entryPoint_;
    PF_InData inData_{};
    PF_OutData outData_{};
    std::vector<PF_ParamDef> params_;
    FaultPlan faults_;
    std::array<int, kCallbackCount> calls_{};
    int acquired_ = 0;
    int released_ = 0;
    int worldsCreated_ = 0;
    std::vector<std::unique_ptr<World>> worlds_;  // worlds made through new_world
    std::vector<std::string> callLog_;
    std::vector<CallSpan> spans_;
    std::chrono::steady_clock::time_point commandStart_;
    double commandSeconds_ = 0.0;
    A_long progressBase_ = 0;
    A_long progressDone_ = 0;
    A_long progressFinal_ = 0;
    long long longestIterate_ = 0;
    long long iterateCalls_ = 0;  // all iterates of this host, for the random band splits
    Threading threading_;
    bool (*cancelRequested_)() = nullptr;
    bool basicSuiteMissing_ = false;
    bool pixelFunctionsSkipped_ = false;
    PF_UtilCallbacks utils_{};
    SPBasicSuite basicSuite_{};
};

}  // namespace standin
