// libpng reports a damaged file through the error handler its caller installs, and when that
// handler returns (as OpenImageIO's does, after recording the message for its own error) it
// prints "libpng error: ..." on stderr itself before giving up on the file. The command reports
// that failure in its own one line, so the second line must not appear.
//
// The command defines png_set_error_fn, which the dynamic linker binds in place of libpng's for
// OpenImageIO: it installs libpng's handler with the caller's wrapped by one that, once the
// caller's has recorded the message, leaves through png_longjmp as libpng would, without the
// printing. Nothing is redirected, so messages of frames read at the same time stay intact.
// Only the command (telvix-command.so) is built with this file; it comes first in the lookup
// scope of the libraries loaded with it, so the binding holds there too.
#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

namespace {

// libpng's types, as far as they are used here: the structures stay opaque.
using PngStruct = void*;
using PngErrorFn = void (*)(PngStruct, const char*);
using SetErrorFn = void (*)(PngStruct, void*, PngErrorFn, PngErrorFn);
using LongjmpFn = void (*)(PngStruct, int);

// Callers install one of a few fixed handlers (OpenImageIO one for reading, one for writing);
// each gets a slot with a wrapper of its own, so no state is kept per file.
constexpr std::size_t kSlots = 8;
std::array<std::atomic<PngErrorFn>, kSlots> wrapped{};
std::mutex slotsLock;

LongjmpFn pngLongjmp()
{
    static const auto fn = reinterpret_cast<LongjmpFn>(dlsym(RTLD_DEFAULT, "png_longjmp"));
    return fn;
}

template <std::size_t Slot>
void quietError(PngStruct png, const char* message)
{
    if (const PngErrorFn caller = wrapped[Slot].load(std::memory_order_acquire)) {
        caller(png, message);
    }
    // What libpng does after a handler returns, less its message on stderr.
    if (const LongjmpFn leave = pngLongjmp()) leave(png, 1);
}

template <std::size_t... Slots>
constexpr std::array<PngErrorFn, kSlots> makeWrappers(std::index_sequence<Slots...>)
{
    return {&quietError<Slots>...};
}
constexpr std::array<PngErrorFn, kSlots> kWrappers =
    makeWrappers(std::make_index_sequence<kSlots>());

// The wrapper for `caller`; `caller` itself when the slots are used up (libpng then prints).
PngErrorFn wrapperFor(PngErrorFn caller)
{
    if (caller == nullptr || pngLongjmp() == nullptr) return caller;
    const std::lock_guard<std::mutex> lock(slotsLock);
    for (std::size_t i = 0; i < kSlots; ++i) {
        const PngErrorFn held = wrapped[i].load(std::memory_order_relaxed);
        if (held == caller) return kWrappers[i];
        if (held == nullptr) {
            wrapped[i].store(caller, std::memory_order_release);
            return kWrappers[i];
        }
    }
    return caller;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void png_set_error_fn(PngStruct png,
                                                                        void* errorPointer,
                                                                        PngErrorFn error,
                                                                        PngErrorFn warning)
{
    static const auto real = reinterpret_cast<SetErrorFn>(dlsym(RTLD_NEXT, "png_set_error_fn"));
    if (real != nullptr) real(png, errorPointer, wrapperFor(error), warning);
}
