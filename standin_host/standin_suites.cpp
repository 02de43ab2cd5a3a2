// The stand-in host's iterate callbacks, which visit an area in bands on the host's threads, and
// the suites its basic suite hands out.
#include <atomic>
#include <cstring>

#include "host_callbacks.h"
#include "host_threads.h"

namespace standin {
namespace {

using namespace detail;

// What AcquireSuite answers for a suite it does not offer ('S!Fd').
constexpr SPErr kSuiteNotFoundError = 0x53214664;

}  // namespace

// Serial, row-major visit of `area` (the destination's whole frame when null), limited to
// both worlds so that the pixel function never gets a position outside either.
template <typename Pixel>
PF_Err Host::Impl::iterate(Callback callback, PF_InData* inData, A_long progressBase,
                           A_long progressFinal, PF_EffectWorld* src, const PF_Rect* area,
                           void* refcon,
                           PF_Err (*pixelFunction)(void*, A_long, A_long, Pixel*, Pixel*),
                           PF_EffectWorld* dst)
{
    Host* host = inData ? fromRef(inData->effect_ref) : nullptr;
    if (const PF_Err fault = enter(host, callback)) {
        return fault;
    }
    const SpanEnd spanEnd{host};
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
    // The area's rows in bands, visited at once on the host's threads; within a band row by
    // row, each row from the left. The first band to fail (or to meet the planned
    // interrupt) stops the others at their next pixel.
    const Threading threading = host->threading_;
    const std::uint32_t seed =
        threading.splitSeed == 0
            ? 0
            : threading.splitSeed ^ (static_cast<std::uint32_t>(host->iterateCalls_) * 0x9E3779B9u);
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
            if (err == PF_Err_NONE && countEachPixel && visited.fetch_add(1) + 1 == cancelAfter) {
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
    // Random bands are also taken last first: a host promises no order.
    auto visitBand = [&](int index) {
        const std::size_t taken = static_cast<std::size_t>(index);
        const Band band = bands[seed == 0 ? taken : bands.size() - 1 - taken];
        long long bandVisits = 0;
        for (A_long y = band.top; y < band.bottom; ++y) {
            if (result.load(std::memory_order_relaxed) != PF_Err_NONE || !visitRow(y, bandVisits)) {
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

PF_Err Host::Impl::iterate8(PF_InData* inData, A_long base, A_long final, PF_EffectWorld* src,
                            const PF_Rect* area, void* refcon,
                            PF_Err (*fn)(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*),
                            PF_EffectWorld* dst)
{
    return iterate<PF_Pixel8>(Callback::Iterate8, inData, base, final, src, area, refcon, fn, dst);
}

PF_Err Host::Impl::iterate16(PF_InData* inData, A_long base, A_long final, PF_EffectWorld* src,
                             const PF_Rect* area, void* refcon,
                             PF_Err (*fn)(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*),
                             PF_EffectWorld* dst)
{
    return iterate<PF_Pixel16>(Callback::Iterate16, inData, base, final, src, area, refcon, fn,
                               dst);
}

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

}  // namespace standin
