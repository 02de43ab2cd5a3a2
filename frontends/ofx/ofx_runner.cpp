#include "ofx_runner.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "AE_EffectCB.h"

namespace telvix::ofx {

namespace {

// Bands of at least this many rows: the host's abort is polled and a band taken this often.
constexpr A_long kMinBandRows = 8;
// More bands than threads, so that threads finishing early take up the rest.
constexpr A_long kBandsPerThread = 8;

// What the threads of one forBands call share. Bands are handed out from both ends of the
// rows: the first thread to start takes them from the top, in order, and the others from the
// bottom up, so that one thread's share is a run from the top (a row job whose rows come in
// order from the top does less work: the smoothing pass lands such rows in place) while
// threads that finish early still take up the rest.
struct BandWork {
    const std::function<void(A_long, A_long)>* band;
    OfxImageEffectHandle effect;
    A_long top;
    A_long bottom;
    A_long rowsPerBand;
    // The bands not yet taken, [front, back), packed as front << 32 | back.
    std::atomic<std::uint64_t> untaken{0};
    std::atomic<bool> frontTaken{false};
    std::atomic<bool> aborted{false};
};

std::uint64_t packBands(std::uint32_t front, std::uint32_t back)
{
    return std::uint64_t{front} << 32 | back;
}

// The next band for a thread taking from the front or from the back, or -1 when none is left.
A_long takeBand(BandWork& work, bool fromFront)
{
    std::uint64_t untaken = work.untaken.load(std::memory_order_relaxed);
    for (;;) {
        const auto front = static_cast<std::uint32_t>(untaken >> 32);
        const auto back = static_cast<std::uint32_t>(untaken);
        if (front >= back) return -1;
        const std::uint64_t rest =
            fromFront ? packBands(front + 1, back) : packBands(front, back - 1);
        if (work.untaken.compare_exchange_weak(untaken, rest, std::memory_order_relaxed)) {
            return static_cast<A_long>(fromFront ? front : back - 1);
        }
    }
}

void takeBands(unsigned /*threadIndex*/, unsigned /*threadMax*/, void* arg)
{
    auto& work = *static_cast<BandWork*>(arg);
    const OfxImageEffectSuiteV1* effect = suites().effect;
    const bool fromFront = !work.frontTaken.exchange(true, std::memory_order_relaxed);
    for (;;) {
        if (work.aborted.load(std::memory_order_relaxed)) return;
        if (effect->abort != nullptr && effect->abort(work.effect) != 0) {
            work.aborted.store(true, std::memory_order_relaxed);
            return;
        }
        const A_long index = takeBand(work, fromFront);
        if (index < 0) return;
        const A_long first = work.top + index * work.rowsPerBand;
        (*work.band)(first, std::min(first + work.rowsPerBand, work.bottom));
    }
}

template <typename Pixel>
PF_Err rowsOf(OfxRowRunner& runner, const RowJob<Pixel>& job)
{
    const A_long left = job.area.left;
    const A_long right = job.area.right;
    return runner.forBands(job.area.top, job.area.bottom, [&](A_long top, A_long bottom) {
        for (A_long y = top; y < bottom; ++y) job.row(job.context, y, left, right);
    });
}

}  // namespace

OfxRowRunner::OfxRowRunner(OfxImageEffectHandle effect, WorldMemory& memory)
    : effect_(effect), memory_(memory)
{
    const OfxMultiThreadSuiteV1* mt = suites().threads;
    unsigned cpus = 1;
    // A render already on one of the suite's threads cannot spawn more (the suite does not nest).
    if (mt != nullptr && mt->multiThreadIsSpawnedThread() == 0 &&
        mt->multiThreadNumCPUs(&cpus) == kOfxStatOK) {
        threads_ = std::clamp(cpus, 1u, 1024u);
    }
}

PF_Err OfxRowRunner::forBands(A_long top, A_long bottom,
                              const std::function<void(A_long, A_long)>& band)
{
    if (bottom <= top) return PF_Err_NONE;
    const A_long rows = bottom - top;
    BandWork work;
    work.band = &band;
    work.effect = effect_;
    work.top = top;
    work.bottom = bottom;
    const A_long bands = static_cast<A_long>(threads_) * kBandsPerThread;
    work.rowsPerBand = std::max(kMinBandRows, (rows + bands - 1) / bands);
    const A_long bandCount = (rows + work.rowsPerBand - 1) / work.rowsPerBand;
    work.untaken.store(packBands(0, static_cast<std::uint32_t>(bandCount)));
    const auto spawn = static_cast<unsigned>(std::min(static_cast<A_long>(threads_), bandCount));
    if (spawn > 1) {
        suites().threads->multiThread(&takeBands, spawn, &work);
    }
    // Whatever the suite left undone (a refusal, a host whose suite runs nothing) is done here,
    // on the render's own thread; after a full run of the suite this finds no band left.
    takeBands(0, 1, &work);
    return work.aborted.load() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

PF_Err OfxRowRunner::runRows(const RowJob<PF_Pixel8>& job, A_long, A_long)
{
    knownCopy(nullptr, nullptr);
    return rowsOf(*this, job);
}

PF_Err OfxRowRunner::runRows(const RowJob<PF_Pixel16>& job, A_long, A_long)
{
    knownCopy(nullptr, nullptr);
    return rowsOf(*this, job);
}

PF_Err OfxRowRunner::copyWorld(PF_EffectWorld* source, PF_EffectWorld* destination)
{
    if (source == copiedFrom_ && destination == copiedTo_ && source != nullptr) {
        return PF_Err_NONE;
    }
    knownCopy(nullptr, nullptr);
    const bool deep = PF_WORLD_IS_DEEP(source);
    if (deep != PF_WORLD_IS_DEEP(destination)) return PF_Err_BAD_CALLBACK_PARAM;
    const std::size_t bytes = std::size_t(std::min(source->width, destination->width)) *
                              (deep ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8));
    const A_long height = std::min(source->height, destination->height);
    const auto* from = reinterpret_cast<const std::uint8_t*>(source->data);
    auto* to = reinterpret_cast<std::uint8_t*>(destination->data);
    return forBands(0, height, [&](A_long top, A_long bottom) {
        for (A_long y = top; y < bottom; ++y) {
            std::memcpy(to + std::ptrdiff_t(y) * destination->rowbytes,
                        from + std::ptrdiff_t(y) * source->rowbytes, bytes);
        }
    });
}

PF_Err OfxRowRunner::newWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                              PF_EffectWorld* world)
{
    if (world == nullptr || width < 0 || height < 0) return PF_Err_BAD_CALLBACK_PARAM;
    return allocateWorld(memory_, width, height, (flags & PF_NewWorldFlag_DEEP_PIXELS) != 0, *world)
               ? PF_Err_NONE
               : PF_Err_OUT_OF_MEMORY;
}

PF_Err OfxRowRunner::disposeWorld(PF_EffectWorld* world)
{
    if (world == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    freeWorld(memory_, *world);
    return PF_Err_NONE;
}

bool allocateWorld(WorldMemory& memory, A_long width, A_long height, bool deep,
                   PF_EffectWorld& world)
{
    world = PF_EffectWorld{};
    if (width < 0 || height < 0) return false;
    const std::size_t pixelSize = deep ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
    // The row length must fit the world's 32-bit field.
    const std::size_t rowbytes = std::size_t(width) * pixelSize;
    if (rowbytes > std::size_t(INT32_MAX) ||
        (height > 0 && rowbytes > SIZE_MAX / std::size_t(height))) {
        return false;
    }
    void* data = memory.take(rowbytes * std::size_t(height));
    if (data == nullptr) return false;
    world.world_flags = PF_WorldFlag_WRITEABLE | (deep ? PF_WorldFlag_DEEP : 0);
    world.data = static_cast<PF_PixelPtr>(data);
    world.rowbytes = static_cast<A_long>(rowbytes);
    world.width = width;
    world.height = height;
    world.extent_hint = PF_LRect{0, 0, width, height};
    world.pix_aspect_ratio = PF_RationalScale{1, 1};
    return true;
}

void freeWorld(WorldMemory& memory, PF_EffectWorld& world)
{
    if (world.data != nullptr) {
        memory.give(world.data);
    }
    world = PF_EffectWorld{};
}

}  // namespace telvix::ofx
