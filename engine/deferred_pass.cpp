// The smoothing pass in two phases, recording and applying its writes (deferred_pass.h).
#include "deferred_pass.h"

#include <algorithm>
#include <new>

#include "smoothing_engine.h"

namespace telvix {

namespace {

// The first recording's pool: two chunks per row (a row's writes into itself and into other
// rows each start one) and a write for every fourth pixel. The shipped cel frames make one write
// per 7 to 16 pixels, so only a frame that is nearly all edges records twice.
constexpr std::size_t kPixelsPerGuessedWrite = 4;

std::size_t chunksFor(std::size_t writes)
{
    return (writes + kWritesPerChunk - 1) / kWritesPerChunk;
}

}  // namespace

template <typename Pixel>
DeferredPass<Pixel>::DeferredPass(const RenderInfo<Pixel>& info, const PF_Rect& area)
    : info_(info), area_(area), height_(info.output->height)
{
    info_.writer = nullptr;
}

template <typename Pixel>
DeferredPass<Pixel>::~DeferredPass() = default;

template <typename Pixel>
PF_Rect DeferredPass<Pixel>::rowArea(A_long top, A_long bottom) const
{
    return PF_Rect{area_.left, top, area_.right, bottom};
}

template <typename Pixel>
bool DeferredPass<Pixel>::reserve(std::size_t chunks)
{
    chunks = std::min<std::size_t>(chunks, kNoChunk);  // chunk indices are 32-bit
    const std::size_t rows = static_cast<std::size_t>(area_.bottom - area_.top);
    chunks_.reset();  // the old pool goes before the new one is taken
    chunks_.reset(new (std::nothrow) WriteChunk<Pixel>[chunks]);
    if (!rows_) {
        rows_.reset(new (std::nothrow) RowWrites[rows]);
    } else {
        std::fill(rows_.get(), rows_.get() + rows, RowWrites{});
    }
    if (!chunks_ || !rows_) {
        return false;
    }
    pool_.chunks = chunks_.get();
    pool_.capacity = static_cast<std::uint32_t>(chunks);
    pool_.used.store(0, std::memory_order_relaxed);
    pool_.exhausted.store(false, std::memory_order_relaxed);
    return true;
}

template <typename Pixel>
bool DeferredPass<Pixel>::reserveForArea()
{
    const std::size_t rows = static_cast<std::size_t>(area_.bottom - area_.top);
    const std::size_t pixels = rows * static_cast<std::size_t>(area_.right - area_.left);
    return reserve(2 * rows + chunksFor(pixels / kPixelsPerGuessedWrite));
}

template <typename Pixel>
bool DeferredPass<Pixel>::reserveForCounted()
{
    const std::size_t rows = static_cast<std::size_t>(area_.bottom - area_.top);
    std::size_t chunks = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        chunks += chunksFor(rows_[i].inRow.made) + chunksFor(rows_[i].otherRows.made);
    }
    return reserve(chunks);
}

template <typename Pixel>
void DeferredPass<Pixel>::recordRow(void* refcon, A_long y, A_long /*left*/, A_long /*right*/)
{
    auto& pass = *static_cast<DeferredPass*>(refcon);
    if (y < pass.area_.top || y >= pass.area_.bottom) {
        return;
    }
    RowWriter<Pixel> writer(pass.pool_, pass.rows_[static_cast<std::size_t>(y - pass.area_.top)],
                            y);
    RenderInfo<Pixel> info = pass.info_;
    info.writer = &writer;
    smoothRow(info, y, pass.area_.left, pass.area_.right);
}

// Calls visit(write, visitedRow) for every write landing outside its visit's row, rows of the
// area from the top, each row's writes in the order they were made.
template <typename Pixel>
template <typename Visit>
void DeferredPass<Pixel>::forEachOtherRowWrite(Visit visit) const
{
    for (A_long y = area_.top; y < area_.bottom; ++y) {
        const WriteList& list = rows_[static_cast<std::size_t>(y - area_.top)].otherRows;
        for (std::uint32_t c = list.head; c != kNoChunk; c = chunks_[c].next) {
            const WriteChunk<Pixel>& chunk = chunks_[c];
            for (std::uint32_t i = 0; i < chunk.count; ++i) {
                visit(chunk.writes[i], y);
            }
        }
    }
}

template <typename Pixel>
bool DeferredPass<Pixel>::sortOtherRowWrites()
{
    const std::size_t height = static_cast<std::size_t>(height_);
    start_.reset(new (std::nothrow) std::size_t[height + 1]());
    before_.reset(new (std::nothrow) std::size_t[height]());
    if (!start_ || !before_) {
        return false;
    }
    // Count the writes of each landing row, and those of them made above it; a counting sort
    // keeps the visit order within each row.
    firstWrittenRow_ = area_.top;
    endWrittenRow_ = area_.bottom;
    forEachOtherRowWrite([this](const PixelWrite<Pixel>& write, A_long visitedRow) {
        const std::size_t row = static_cast<std::size_t>(write.y);
        ++start_[row + 1];
        before_[row] += visitedRow < write.y ? 1 : 0;
        firstWrittenRow_ = std::min(firstWrittenRow_, write.y);
        endWrittenRow_ = std::max(endWrittenRow_, write.y + 1);
    });
    for (std::size_t row = 0; row < height; ++row) {
        start_[row + 1] += start_[row];
    }
    sorted_.reset(new (std::nothrow) PixelWrite<Pixel>[std::max<std::size_t>(start_[height], 1)]);
    std::unique_ptr<std::size_t[]> next(new (std::nothrow) std::size_t[height]);
    if (!sorted_ || !next) {
        return false;
    }
    std::copy(start_.get(), start_.get() + height, next.get());
    forEachOtherRowWrite([this, &next](const PixelWrite<Pixel>& write, A_long) {
        sorted_[next[static_cast<std::size_t>(write.y)]++] = write;
    });
    return true;
}

namespace {

template <typename Pixel>
Pixel* rowOf(const PF_EffectWorld* world, A_long y)
{
    return reinterpret_cast<Pixel*>(reinterpret_cast<unsigned char*>(world->data) +
                                    static_cast<std::ptrdiff_t>(y) * world->rowbytes);
}

// How many writes ahead the apply asks for the pixels it will need: the writes of a row are
// scattered along it, so the processor cannot guess them.
constexpr std::size_t kPrefetchAhead = 8;

}  // namespace

template <typename Pixel>
void DeferredPass<Pixel>::applyWrites(const PixelWrite<Pixel>* writes, std::size_t count,
                                      A_long y) const
{
    // Every write was recorded inside both worlds.
    const Pixel* sourceRow = rowOf<Pixel>(info_.source, y);
    Pixel* outputRow = rowOf<Pixel>(info_.output, y);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kPrefetchAhead < count) {
            const A_long ahead = writes[i + kPrefetchAhead].x();
            prefetchLine(reinterpret_cast<std::uintptr_t>(outputRow + ahead));
            prefetchLine(reinterpret_cast<std::uintptr_t>(sourceRow + ahead));
        }
        const PixelWrite<Pixel>& write = writes[i];
        const A_long x = write.x();
        applyWrite(write.value, write.kind(), sourceRow + x, outputRow + x);
    }
}

template <typename Pixel>
void DeferredPass<Pixel>::applyList(const WriteList& list, A_long y) const
{
    for (std::uint32_t c = list.head; c != kNoChunk; c = chunks_[c].next) {
        applyWrites(chunks_[c].writes, chunks_[c].count, y);
    }
}

template <typename Pixel>
void DeferredPass<Pixel>::applyRow(void* refcon, A_long y, A_long /*left*/, A_long /*right*/)
{
    const auto& pass = *static_cast<const DeferredPass*>(refcon);
    if (y < 0 || y >= pass.height_) {
        return;
    }
    // Visit order: the writes of the rows above, then this row's own visits, then the rows below.
    const std::size_t row = static_cast<std::size_t>(y);
    const PixelWrite<Pixel>* landing = pass.sorted_.get() + pass.start_[row];
    const std::size_t count = pass.start_[row + 1] - pass.start_[row];
    const std::size_t above = pass.before_[row];
    pass.applyWrites(landing, above, y);
    if (y >= pass.area_.top && y < pass.area_.bottom) {
        pass.applyList(pass.rows_[static_cast<std::size_t>(y - pass.area_.top)].inRow, y);
    }
    pass.applyWrites(landing + above, count - above, y);
}

template class DeferredPass<PF_Pixel8>;
template class DeferredPass<PF_Pixel16>;

}  // namespace telvix
