// Host: the callbacks, the suites and the command driver of the stand-in host.
#include "standin_host.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "host_threads.h"

namespace standin {

namespace {

// The calling thread's host while a command (or a Host::Scope) runs. The basic suite and the
// ANSI helpers get no context argument and find their host here.
thread_local Host* tCurrentHost = nullptr;

// What AcquireSuite answers for a suite it does not offer ('S!Fd').
constexpr SPErr kSuiteNotFoundError = 0x53214664;

// The ANSI callbacks write into buffers of the host's message size at most.
constexpr std::size_t kAnsiBufferSize = PF_MAX_EFFECT_MSG_LEN + 1;

const char* const kCallbackNames[kCallbackCount] = {
    "copy",          "new_world",     "dispose_world", "add_param", "strcpy",
    "acquire_suite", "release_suite", "iterate8",      "iterate16", "sprintf",
};

template <typename Pixel>
constexpr bool kIsDeep = sizeof(Pixel) == sizeof(PF_Pixel16);

std::size_t pixelSize(const PF_EffectWorld& world)
{
    return PF_WORLD_IS_DEEP(&world) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
}

std::uint8_t* rowAt(const PF_EffectWorld& world, A_long y)
{
    return reinterpret_cast<std::uint8_t*>(world.data) + std::ptrdiff_t(y) * world.rowbytes;
}

PF_Rect wholeWorld(const PF_EffectWorld& world) { return PF_Rect{0, 0, world.width, world.height}; }

// `r` limited to the bounds of `world`; an empty result has right <= left or bottom <= top.
PF_Rect clipTo(PF_Rect r, const PF_EffectWorld& world)
{
    r.left = std::max<A_long>(r.left, 0);
    r.top = std::max<A_long>(r.top, 0);
    r.right = std::min(r.right, world.width);
    r.bottom = std::min(r.bottom, world.height);
    return r;
}

}  // namespace

const char* callbackName(Callback callback)
{
    const int index = static_cast<int>(callback);
    return index >= 0 && index < kCallbackCount ? kCallbackNames[index] : "?";
}

// The callbacks, as static members so that they can reach the Host's bookkeeping. None of them
// lets an exception out: they are called through C function pointers.
struct Host::Impl {
    static Host* fromRef(PF_ProgPtr effectRef) { return reinterpret_cast<Host*>(effectRef); }

    // Counts and logs one call of `callback` and answers the fault planned for it, if any.
    static PF_Err enter(Host* host, Callback callback)
    {
        if (host == nullptr) {
            return PF_Err_NONE;
        }
        const int n = ++host->calls_[static_cast<int>(callback)];
        try {
            host->callLog_.emplace_back(callbackName(callback));
        } catch (...) {
            return PF_Err_OUT_OF_MEMORY;
        }
        for (const Fault& fault : host->faults_.failures) {
            if (fault.callback == callback && fault.atCall == n) {
                return fault.code;
            }
        }
        return PF_Err_NONE;
    }

    static bool listed(const std::vector<std::string>& names, const char* name)
    {
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    // Copies the overlap of the two rectangles (whole worlds when null), row by row.
    static PF_Err copy(PF_ProgPtr effectRef, PF_EffectWorld* src, PF_EffectWorld* dst,
                       PF_Rect* srcRect, PF_Rect* dstRect)
    {
        if (const PF_Err fault = enter(fromRef(effectRef), Callback::Copy)) {
            return fault;
        }
        if (src == nullptr || dst == nullptr || src->data == nullptr || dst->data == nullptr ||
            PF_WORLD_IS_DEEP(src) != PF_WORLD_IS_DEEP(dst)) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        const PF_Rect s = clipTo(srcRect ? *srcRect : wholeWorld(*src), *src);
        const PF_Rect d = clipTo(dstRect ? *dstRect : wholeWorld(*dst), *dst);
        const A_long width = std::min(s.right - s.left, d.right - d.left);
        const A_long height = std::min(s.bottom - s.top, d.bottom - d.top);
        if (width <= 0 || height <= 0) {
            return PF_Err_NONE;
        }
        const std::size_t size = pixelSize(*src);
        auto copyRows = [&](Band band) {
            for (A_long row = band.top; row < band.bottom; ++row) {
                // memmove: a world copied onto itself is legal.
                std::memmove(rowAt(*dst, d.top + row) + std::size_t(d.left) * size,
                             rowAt(*src, s.top + row) + std::size_t(s.left) * size,
                             std::size_t(width) * size);
            }
        };
        // A world copied onto an overlapping part of itself stays on one thread.
        const Host* host = fromRef(effectRef);
        const int threads = host && src->data != dst->data ? host->threading_.threads : 1;
        const std::vector<Band> bands = splitRows(0, height, threads, 0);
        runConcurrently(static_cast<int>(bands.size()),
                        [&](int i) { copyRows(bands[static_cast<std::size_t>(i)]); });
        return PF_Err_NONE;
    }

    static PF_Err newWorld(PF_ProgPtr effectRef, A_long width, A_long height,
                           PF_NewWorldFlags flags, PF_EffectWorld* world)
    {
        Host* host = fromRef(effectRef);
        if (const PF_Err fault = enter(host, Callback::NewWorld)) {
            return fault;
        }
        if (host == nullptr || world == nullptr || width < 0 || height < 0) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        try {
            auto made =
                std::make_unique<World>(width, height, (flags & PF_NewWorldFlag_DEEP_PIXELS) != 0);
            host->worlds_.push_back(std::move(made));
        } catch (...) {
            return PF_Err_OUT_OF_MEMORY;
        }
        *world = host->worlds_.back()->def();
        ++host->worldsCreated_;
        return PF_Err_NONE;
    }

    static PF_Err disposeWorld(PF_ProgPtr effectRef, PF_EffectWorld* world)
    {
        Host* host = fromRef(effectRef);
        if (const PF_Err fault = enter(host, Callback::DisposeWorld)) {
            return fault;
        }
        if (host == nullptr || world == nullptr) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        auto& worlds = host->worlds_;
        const auto found = std::find_if(worlds.begin(), worlds.end(), [&](const auto& w) {
            return w->def().data == world->data;
        });
        // Only worlds made by new_world, each once.
        if (found == worlds.end()) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        worlds.erase(found);
        *world = PF_EffectWorld{};
        return PF_Err_NONE;
    }

    static PF_Err addParam(PF_ProgPtr effectRef, PF_ParamIndex index, PF_ParamDef* def)
    {
        Host* host = fromRef(effectRef);
        if (const PF_Err fault = enter(host, Callback::AddParam)) {
            return fault;
        }
        if (host == nullptr || def == nullptr) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (index != -1) {  // effects only append
            return PF_Err_INVALID_INDEX;
        }
        try {
            host->params_.push_back(*def);
        } catch (...) {
            return PF_Err_OUT_OF_MEMORY;
        }
        return PF_Err_NONE;
    }

    // strcpy, bounded to the host's buffer size: a longer source is cut and still terminated.
    static A_char* ansiStrcpy(A_char* dest, const A_char* src)
    {
        if (enter(tCurrentHost, Callback::Strcpy) != PF_Err_NONE || dest == nullptr ||
            src == nullptr) {
            return nullptr;
        }
        const std::size_t length = strnlen(src, kAnsiBufferSize - 1);
        std::memcpy(dest, src, length);
        dest[length] = '\0';
        return dest;
    }

    // sprintf that never writes more than the host's message size, terminator included.
    static int ansiSprintf(A_char* buffer, const A_char* format, ...)
    {
        if (enter(tCurrentHost, Callback::Sprintf) != PF_Err_NONE || buffer == nullptr ||
            format == nullptr) {
            return -1;
        }
        va_list args;
        va_start(args, format);
        const int written = std::vsnprintf(buffer, kAnsiBufferSize, format, args);
        va_end(args);
        return written;
    }

    static SPErr acquireSuite(const char* name, int32 version, const void** suite);
    static SPErr releaseSuite(const char* name, int32 version);
    static const void* offeredSuite(const char* name, int32 version);

    static const PF_Iterate8Suite1 kIterate8Suite;
    static const PF_iterate16Suite1 kIterate16Suite;
    static const PF_ANSICallbacksSuite1 kAnsiSuite;

    template <typename Pixel>
    [[gnu::noinline]] static PF_Err skippedPixel(void*, A_long, A_long, Pixel*, Pixel*)
    {
        return PF_Err_NONE;
    }

    // Serial, row-major visit of `area` (the destination's whole frame when null), limited to
    // both worlds so that the pixel function never gets a position outside either.
    template <typename Pixel>
    static PF_Err iterate(Callback callback, PF_InData* inData, A_long progressBase,
                          A_long progressFinal, PF_EffectWorld* src, const PF_Rect* area,
                          void* refcon,
                          PF_Err (*pixelFunction)(void*, A_long, A_long, Pixel*, Pixel*),
                          PF_EffectWorld* dst)
    {
        Host* host = inData ? fromRef(inData->effect_ref) : nullptr;
        if (const PF_Err fault = enter(host, callback)) {
            return fault;
        }
        if (host == nullptr || pixelFunction == nullptr || dst == nullptr ||
            PF_WORLD_IS_DEEP(dst) != kIsDeep<Pixel> ||
            (src != nullptr && PF_WORLD_IS_DEEP(src) != kIsDeep<Pixel>)) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        PF_Rect r = clipTo(area ? *area : wholeWorld(*dst), *dst);
        if (src != nullptr) {
            r = clipTo(r, *src);
        }
        host->progressBase_ = progressBase;
        host->progressDone_ = 0;
        host->progressFinal_ = progressFinal;
        // A planned interrupt stops the call once that many pixels were visited, as the real
        // host does when the user cancels.
        const long long cancelAfter = host->faults_.cancelAfterPixels;
        bool (*const cancelRequested)() = host->cancelRequested_;
        if (cancelAfter == 0 || (cancelRequested != nullptr && cancelRequested())) {
            return PF_Interrupt_CANCEL;
        }
        if (host->pixelFunctionsSkipped_) {
            pixelFunction = &skippedPixel<Pixel>;
        }
        // The area's rows in bands, all visited at once, one thread each; within a band row by
        // row, each row from the left. The first band to fail (or to meet the planned
        // interrupt) stops the others at their next pixel.
        const Threading threading = host->threading_;
        const std::uint32_t seed =
            threading.splitSeed == 0
                ? 0
                : threading.splitSeed ^
                      (static_cast<std::uint32_t>(host->iterateCalls_) * 0x9E3779B9u);
        ++host->iterateCalls_;
        const std::vector<Band> bands = splitRows(r.top, r.bottom, threading.threads, seed);
        // Pixels are counted across the bands one by one only when an interrupt is planned;
        // otherwise each band counts its own and adds them up once, so that the bands share
        // nothing they write on the pixel path.
        const bool countEachPixel = cancelAfter > 0;
        std::atomic<long long> visited{0};
        std::atomic<A_long> rowsDone{0};
        std::atomic<PF_Err> result{PF_Err_NONE};
        // One row of a band; false when the row failed or met the planned interrupt.
        auto visitRow = [&](A_long y, long long& bandVisits) {
            Pixel* in = src ? reinterpret_cast<Pixel*>(rowAt(*src, y)) : nullptr;
            Pixel* out = reinterpret_cast<Pixel*>(rowAt(*dst, y));
            for (A_long x = r.left; x < r.right; ++x) {
                PF_Err err = pixelFunction(refcon, x, y, in ? in + x : nullptr, out + x);
                ++bandVisits;
                if (err == PF_Err_NONE && countEachPixel &&
                    visited.fetch_add(1) + 1 == cancelAfter) {
                    err = PF_Interrupt_CANCEL;
                }
                if (err != PF_Err_NONE) {
                    PF_Err none = PF_Err_NONE;
                    result.compare_exchange_strong(none, err);
                    return false;
                }
            }
            return true;
        };
        auto visitBand = [&](int index) {
            const Band band = bands[static_cast<std::size_t>(index)];
            long long bandVisits = 0;
            for (A_long y = band.top; y < band.bottom; ++y) {
                if (result.load(std::memory_order_relaxed) != PF_Err_NONE ||
                    !visitRow(y, bandVisits)) {
                    break;
                }
                rowsDone.fetch_add(1, std::memory_order_relaxed);
                if (cancelRequested != nullptr && cancelRequested()) {
                    PF_Err none = PF_Err_NONE;
                    result.compare_exchange_strong(none, PF_Interrupt_CANCEL);
                    break;
                }
            }
            if (!countEachPixel) {
                visited.fetch_add(bandVisits);
            }
        };
        runConcurrently(static_cast<int>(bands.size()), visitBand);
        host->progressDone_ = rowsDone.load();
        host->longestIterate_ = std::max(host->longestIterate_, visited.load());
        return result.load();
    }

    static PF_Err iterate8(PF_InData* inData, A_long base, A_long final, PF_EffectWorld* src,
                           const PF_Rect* area, void* refcon,
                           PF_Err (*fn)(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*),
                           PF_EffectWorld* dst)
    {
        return iterate<PF_Pixel8>(Callback::Iterate8, inData, base, final, src, area, refcon, fn,
                                  dst);
    }

    static PF_Err iterate16(PF_InData* inData, A_long base, A_long final, PF_EffectWorld* src,
                            const PF_Rect* area, void* refcon,
                            PF_Err (*fn)(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*),
                            PF_EffectWorld* dst)
    {
        return iterate<PF_Pixel16>(Callback::Iterate16, inData, base, final, src, area, refcon, fn,
                                   dst);
    }
};

const PF_Iterate8Suite1 Host::Impl::kIterate8Suite{&iterate8, nullptr, nullptr, nullptr, nullptr};
const PF_iterate16Suite1 Host::Impl::kIterate16Suite{&iterate16, nullptr, nullptr};
const PF_ANSICallbacksSuite1 Host::Impl::kAnsiSuite{
    {}, &ansiSprintf, &ansiStrcpy, nullptr, nullptr};

// The suite table offered for (name, version), or null for a suite this host does not have.
const void* Host::Impl::offeredSuite(const char* name, int32 version)
{
    if (name == nullptr || version != 1) {
        return nullptr;
    }
    if (std::strcmp(name, kPFIterate8Suite) == 0) {
        return &kIterate8Suite;
    }
    if (std::strcmp(name, kPFIterate16Suite) == 0) {
        return &kIterate16Suite;
    }
    if (std::strcmp(name, kPFANSISuite) == 0) {
        return &kAnsiSuite;
    }
    return nullptr;
}

// Hands out the three offered suites, counting each table delivered; refusals and null tables
// come from the fault plan.
SPErr Host::Impl::acquireSuite(const char* name, int32 version, const void** suite)
{
    if (suite == nullptr) {
        return kSuiteNotFoundError;
    }
    *suite = nullptr;
    Host* host = tCurrentHost;
    if (const PF_Err fault = enter(host, Callback::AcquireSuite)) {
        return fault;
    }
    const void* table = offeredSuite(name, version);
    if (table == nullptr || (host && listed(host->faults_.refusedSuites, name))) {
        return kSuiteNotFoundError;
    }
    // A "success" without a table, as a broken host might answer; nothing is held.
    if (host && listed(host->faults_.nullSuites, name)) {
        return kSPNoError;
    }
    *suite = table;
    if (host) {
        ++host->acquired_;
    }
    return kSPNoError;
}

// Counts a release of an offered suite; pairing with acquisitions is the tests' to check.
SPErr Host::Impl::releaseSuite(const char* name, int32 version)
{
    Host* host = tCurrentHost;
    if (const PF_Err fault = enter(host, Callback::ReleaseSuite)) {
        return fault;
    }
    if (offeredSuite(name, version) == nullptr) {
        return kSuiteNotFoundError;
    }
    if (host) {
        ++host->released_;
    }
    return kSPNoError;
}

Host::Scope::Scope(Host& host) : previous_(tCurrentHost) { tCurrentHost = &host; }

Host::Scope::~Scope() { tCurrentHost = previous_; }

// Wires the callback tables into in_data. effect_ref is the Host itself, which is how the
// callbacks that receive it find their bookkeeping.
Host::Host(PF_FilterProc entryPoint) : entryPoint_(entryPoint)
{
    utils_.copy = &Impl::copy;
    utils_.new_world = &Impl::newWorld;
    utils_.dispose_world = &Impl::disposeWorld;
    utils_.ansi.sprintf = &Impl::ansiSprintf;
    utils_.ansi.strcpy = &Impl::ansiStrcpy;
    basicSuite_.AcquireSuite = &Impl::acquireSuite;
    basicSuite_.ReleaseSuite = &Impl::releaseSuite;

    inData_.inter.add_param = &Impl::addParam;
    inData_.utils = &utils_;
    inData_.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
    inData_.version = PF_SpecVersion{13, 28};
    inData_.pica_basicP = &basicSuite_;
}

Host::~Host() = default;

void Host::setBasicSuiteMissing(bool missing)
{
    basicSuiteMissing_ = missing;
    inData_.pica_basicP = missing ? nullptr : &basicSuite_;
}

int Host::liveWorlds() const { return static_cast<int>(worlds_.size()); }

void Host::resetCounters()
{
    calls_ = {};
    acquired_ = 0;
    released_ = 0;
    worldsCreated_ = 0;
    callLog_.clear();
    progressBase_ = 0;
    progressDone_ = 0;
    progressFinal_ = 0;
    longestIterate_ = 0;
}

// Every command runs with this host current on the calling thread and with in_data's basic
// suite present or absent as setBasicSuiteMissing() asked.
PF_Err Host::command(PF_Cmd cmd, PF_ParamDef* params[], PF_EffectWorld* output)
{
    if (entryPoint_ == nullptr) {
        return PF_Err_INVALID_CALLBACK;
    }
    Scope scope(*this);
    inData_.pica_basicP = basicSuiteMissing_ ? nullptr : &basicSuite_;
    return entryPoint_(cmd, &inData_, &outData_, params, output, nullptr);
}

PF_Err Host::about(std::string* text)
{
    const PF_Err err = command(PF_Cmd_ABOUT, nullptr, nullptr);
    if (text != nullptr) {
        text->assign(outData_.return_msg, strnlen(outData_.return_msg, sizeof outData_.return_msg));
    }
    return err;
}

PF_Err Host::globalSetup() { return command(PF_Cmd_GLOBAL_SETUP, nullptr, nullptr); }

// Starts a fresh list of registered parameters for each setup.
PF_Err Host::paramsSetup()
{
    params_.clear();
    return command(PF_Cmd_PARAMS_SETUP, nullptr, nullptr);
}

// params[0] carries a copy of the input's world record (same pixels), params[1..3] the settings
// as the host's check box, colour and slider records; in_data's extent is the output's.
PF_Err Host::render(World& input, World& output, const Settings& settings)
{
    PF_ParamDef layer{}, useKey{}, key{}, range{};
    layer.param_type = PF_Param_LAYER;
    layer.u.ld = input.def();
    useKey.param_type = PF_Param_CHECKBOX;
    useKey.uu.id = telvix::kParamUseColorKey;
    useKey.u.bd.value = settings.useColorKey ? 1 : 0;
    key.param_type = PF_Param_COLOR;
    key.uu.id = telvix::kParamColorKey;
    key.u.cd.value = settings.keyColor;
    range.param_type = PF_Param_SLIDER;
    range.uu.id = telvix::kParamSmoothRange;
    range.u.sd.value = settings.tolerance;
    PF_ParamDef* params[] = {&layer, &useKey, &key, &range};

    inData_.extent_hint = output.def().extent_hint;
    return command(PF_Cmd_RENDER, params, &output.def());
}

}  // namespace standin
