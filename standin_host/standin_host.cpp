// Host: the world and parameter callbacks, the ANSI helpers and the command driver of the
// stand-in host (the iterate callbacks and the suites are in standin_suites.cpp).
#include "standin_host.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "host_callbacks.h"
#include "host_threads.h"

namespace standin {
namespace detail {

thread_local Host* tCurrentHost = nullptr;

}  // namespace detail

namespace {

using namespace detail;

// The ANSI callbacks write into buffers of the host's message size at most.
constexpr std::size_t kAnsiBufferSize = PF_MAX_EFFECT_MSG_LEN + 1;

const char* const kCallbackNames[kCallbackCount] = {
    "copy",          "new_world",     "dispose_world", "add_param", "strcpy",
    "acquire_suite", "release_suite", "iterate8",      "iterate16", "sprintf",
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

const char* callbackName(Callback callback)
{
    const int index = static_cast<int>(callback);
    return index >= 0 && index < kCallbackCount ? kCallbackNames[index] : "?";
}

// Counts and logs one call of `callback` and answers the fault planned for it, if any.
PF_Err Host::Impl::enter(Host* host, Callback callback)
{
    if (host == nullptr) {
        return PF_Err_NONE;
    }
    const int n = ++host->calls_[static_cast<int>(callback)];
    try {
        host->callLog_.emplace_back(callbackName(callback));
        const double now = secondsSince(host->commandStart_);
        host->spans_.push_back(CallSpan{callback, now, now});
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

Host::Impl::SpanEnd::~SpanEnd()
{
    if (host != nullptr && !host->spans_.empty()) {
        host->spans_.back().end = secondsSince(host->commandStart_);
    }
}

bool Host::Impl::listed(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Copies the overlap of the two rectangles (whole worlds when null), row by row.
PF_Err Host::Impl::copy(PF_ProgPtr effectRef, PF_EffectWorld* src, PF_EffectWorld* dst,
                        PF_Rect* srcRect, PF_Rect* dstRect)
{
    if (const PF_Err fault = enter(fromRef(effectRef), Callback::Copy)) {
        return fault;
    }
    const SpanEnd spanEnd{fromRef(effectRef)};
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

PF_Err Host::Impl::newWorld(PF_ProgPtr effectRef, A_long width, A_long height,
                            PF_NewWorldFlags flags, PF_EffectWorld* world)
{
    Host* host = fromRef(effectRef);
    if (const PF_Err fault = enter(host, Callback::NewWorld)) {
        return fault;
    }
    const SpanEnd spanEnd{host};
    if (host == nullptr || world == nullptr || width < 0 || height < 0) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    try {
        auto made = std::make_unique<World>(
            width, height, (flags & PF_NewWorldFlag_DEEP_PIXELS) != 0, 0,
            (flags & PF_NewWorldFlag_CLEAR_PIXELS) != 0 ? World::Start::Cleared
                                                        : World::Start::Uncleared);
        host->worlds_.push_back(std::move(made));
    } catch (...) {
        return PF_Err_OUT_OF_MEMORY;
    }
    *world = host->worlds_.back()->def();
    ++host->worldsCreated_;
    return PF_Err_NONE;
}

PF_Err Host::Impl::disposeWorld(PF_ProgPtr effectRef, PF_EffectWorld* world)
{
    Host* host = fromRef(effectRef);
    if (const PF_Err fault = enter(host, Callback::DisposeWorld)) {
        return fault;
    }
    const SpanEnd spanEnd{host};
    if (host == nullptr || world == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    auto& worlds = host->worlds_;
    const auto found = std::find_if(worlds.begin(), worlds.end(),
                                    [&](const auto& w) { return w->def().data == world->data; });
    // Only worlds made by new_world, each once.
    if (found == worlds.end()) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    worlds.erase(found);
    *world = PF_EffectWorld{};
    return PF_Err_NONE;
}

PF_Err Host::Impl::addParam(PF_ProgPtr effectRef, PF_ParamIndex index, PF_ParamDef* def)
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
A_char* Host::Impl::ansiStrcpy(A_char* dest, const A_char* src)
{
    if (enter(tCurrentHost, Callback::Strcpy) != PF_Err_NONE || dest == nullptr || src == nullptr) {
        return nullptr;
    }
    const std::size_t length = strnlen(src, kAnsiBufferSize - 1);
    std::memcpy(dest, src, length);
    dest[length] = '\0';
    return dest;
}

// sprintf that never writes more than the host's message size, terminator included.
int Host::Impl::ansiSprintf(A_char* buffer, const A_char* format, ...)
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
    spans_.clear();
    commandStart_ = std::chrono::steady_clock::now();
    const PF_Err err = entryPoint_(cmd, &inData_, &outData_, params, output, nullptr);
    commandSeconds_ = secondsSince(commandStart_);
    return err;
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
