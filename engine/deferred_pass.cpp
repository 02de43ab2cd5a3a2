// The smoothing pass in two phases, recording and applying its writes (deferred_pass.h).
#include "deferred_pass.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "smoothing_engine.h"

namespace telvix {

namespace {

// The first recording's pool: two chunks per row (a row's writes into itself and into other
// rows each start one) and a write for every fourth pixel. The shipped cel frames make one write
// per 7 to 16 pixels, so only a frame that is nearly all edges records twice.
constexpr std::size_t kPixelsPerGuessedWrite = 4;
// The first recording's room for the sorted writes that land outside their visit's row (the
// shipped frames: one per 20 to 40 pixels; a chunk's worth per band besides, for small frames),
// and for the ends of each band's landing rows (the shipped frames' bands reach 10 to 30 rows).
constexpr std::size_t kPixelsPerGuessedOtherRowWrite = 8;
constexpr std::size_t kGuessedRowsReachedPerBand = 64;

std::size_t chunksFor(std::size_t writes)
{
    return (writes + kWritesPerChunk - 1) / kWritesPerChunk;
}

// Indices into the sorted writes and the row ends are 32-bit.
constexpr std::size_t kMostIndexed = 0xFFFFFFFFu;

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
DeferredPass<Pixel>::DeferredPass(const RenderInfo<Pixel>& info, const PF_Rect& area)
    : info_(info),
      area_(area),
      height_(info.output->height),
      bands_((area.bottom - area.top + kBandRows - 1) / kBandRows)
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
bool DeferredPass<Pixel>::reserve(std::size_t chunks, std::size_t sorted, std::size_t ends)
{
    chunks = std::min<std::size_t>(chunks, kNoChunk);  // chunk indices are 32-bit
    sorted = std::min(std::max<std::size_t>(sorted, 1), kMostIndexed);
    ends = std::min(std::max<std::size_t>(ends, 1), kMostIndexed);
    const std::size_t rows = static_cast<std::size_t>(area_.bottom - area_.top);
    // The old memory goes before the new is taken.
    chunks_.reset();
    sorted_.reset();
    ends_.reset();
    chunks_.reset(new (std::nothrow) WriteChunk<Pixel>[chunks]);
    sorted_.reset(new (std::nothrow) PixelWrite<Pixel>[sorted]);
    ends_.reset(new (std::nothrow) std::uint32_t[ends]);
    if (!rows_) {
        rows_.reset(new (std::nothrow) RowWrites[rows]);
        before_.reset(new (std::nothrow) std::uint32_t[rows]);
        bandWrites_.reset(new (std::nothrow) BandWrites[static_cast<std::size_t>(bands_)]);
    } else {
        std::fill(rows_.get(), rows_.get() + rows, RowWrites{});
    }
    if (!chunks_ || !sorted_ || !ends_ || !rows_ || !before_ || !bandWrites_) {
        return false;
    }
    pool_.chunks = chunks_.get();
    pool_.capacity = static_cast<std::uint32_t>(chunks);
    pool_.used.store(0, std::memory_order_relaxed);
    pool_.exhausted.store(false, std::memory_order_relaxed);
    sortedCapacity_ = sorted;
    endsCapacity_ = ends;
    sortedUsed_.store(0, std::memory_order_relaxed);
    endsUsed_.store(0, std::memory_order_relaxed);
    inOrder_.store(0, std::memory_order_relaxed);
    return true;
}

template <typename Pixel>
bool DeferredPass<Pixel>::reserveForArea()
{
    const std::size_t rows = static_cast<std::size_t>(area_.bottom - area_.top);
    const std::size_t pixels = rows * static_cast<std::size_t>(area_.right - area_.left);
    return reserve(2 * rows + chunksFor(pixels / kPixelsPerGuessedWrite),
                   static_cast<std::size_t>(bands_) * kWritesPerChunk +
                       pixels / kPixelsPerGuessedOtherRowWrite,
                   static_cast<std::size_t>(bands_) * kGuessedRowsReachedPerBand);
}

template <typename Pixel>
bool DeferredPass<Pixel>::reserveForCounted()
{
    const std::size_t rows = static_cast<std::size_t>(area_.bottom - area_.top);
    std::size_t chunks = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        chunks += chunksFor(rows_[i].inRow.made) + chunksFor(rows_[i].otherRows.made);
    }
    // Bands that landed in place did so beside a recording that did not keep all its writes:
    // the output starts again as its source.
    if (inOrder_.load(std::memory_order_relaxed) > 0) {
        const std::size_t width =
            static_cast<std::size_t>(std::min(info_.source->width, info_.output->width));
        for (A_long y = 0; y < std::min(info_.source->height, height_); ++y) {
            std::memcpy(rowOf<Pixel>(info_.output, y), rowOf<Pixel>(info_.source, y),
                        width * sizeof(Pixel));
        }
    }
    std::size_t sorted = 0;
    std::size_t ends = 0;
    for (A_long b = 0; b < bands_; ++b) {
        sorted += bandWrites_[static_cast<std::size_t>(b)].sortedNeed;
        ends += bandWrites_[static_cast<std::size_t>(b)].endsNeed;
    }
    if (!reserve(chunks, sorted, ends)) {
        return false;
    }
    inOrder_.store(kNeverInPlace, std::memory_order_relaxed);  // every band counts what it needs
    return true;
}

template <typename Pixel>
void DeferredPass<Pixel>::recordBand(void* refcon, A_long y, A_long /*left*/, A_long /*right*/)
{
    auto& pass = *static_cast<DeferredPass*>(refcon);
    const A_long band = y - pass.area_.top;
    if (band < 0 || band >= pass.bands_) {
        return;
    }
    if (pass.startInOrder(band)) {
        pass.landBandInPlace(band);
        pass.endInOrder(band);
        return;
    }
    pass.recordBandRows(band);
    pass.sortBand(band);
}

template <typename Pixel>
bool DeferredPass<Pixel>::startInOrder(A_long band)
{
    A_long expected = band;
    return inOrder_.compare_exchange_strong(expected, band | kInPlaceNow);
}

template <typename Pixel>
void DeferredPass<Pixel>::endInOrder(A_long band)
{
    inOrder_.store(band + 1);
}

// The band's visits with their writes landed at once. It leaves nothing for phase 2.
template <typename Pixel>
void DeferredPass<Pixel>::landBandInPlace(A_long band)
{
    const A_long top = area_.top + band * kBandRows;
    const A_long bottom = std::min(top + kBandRows, area_.bottom);
    RenderInfo<Pixel> info = info_;
    info.writer = nullptr;
    for (A_long y = top; y < bottom; ++y) {
        smoothRow(info, y, area_.left, area_.right);
        before_[static_cast<std::size_t>(y - area_.top)] = 0;
    }
    bandWrites_[static_cast<std::size_t>(band)] = BandWrites{};
}

template <typename Pixel>
void DeferredPass<Pixel>::recordBandRows(A_long band)
{
    const A_long top = area_.top + band * kBandRows;
    const A_long bottom = std::min(top + kBandRows, area_.bottom);
    RenderInfo<Pixel> info = info_;
    for (A_long y = top; y < bottom; ++y) {
        RowWriter<Pixel> writer(pool_, rows_[static_cast<std::size_t>(y - area_.top)], y);
        info.writer = &writer;
        smoothRow(info, y, area_.left, area_.right);
    }
}

// A counting sort of the band's writes that land outside their visit's row, by the row they land
// in: counted, the counts turned into each row's start, then each write put at its row's next
// place, so that each row's writes keep the order in which they were made.
template <typename Pixel>
void DeferredPass<Pixel>::sortBand(A_long band)
{
    const A_long top = area_.top + band * kBandRows;
    const A_long bottom = std::min(top + kBandRows, area_.bottom);
    BandWrites& sorted = bandWrites_[static_cast<std::size_t>(band)];
    sorted = BandWrites{};
    A_long first = 0;
    A_long end = 0;
    std::size_t made = 0;
    for (A_long y = top; y < bottom; ++y) {
        const RowWrites& row = rows_[static_cast<std::size_t>(y - area_.top)];
        before_[static_cast<std::size_t>(y - area_.top)] = 0;
        if (row.firstLanding == row.endLanding) {
            continue;
        }
        first = made == 0 ? row.firstLanding : std::min(first, row.firstLanding);
        end = made == 0 ? row.endLanding : std::max(end, row.endLanding);
        made += row.otherRows.made;
    }
    if (made == 0) {
        return;
    }
    const std::size_t rowsReached = static_cast<std::size_t>(end - first);
    sorted.sortedNeed = static_cast<std::uint32_t>(std::min(made, kMostIndexed));
    sorted.endsNeed = static_cast<std::uint32_t>(rowsReached);
    const std::size_t sortedAt = sortedUsed_.fetch_add(made, std::memory_order_relaxed);
    const std::size_t endsAt = endsUsed_.fetch_add(rowsReached, std::memory_order_relaxed);
    if (sortedAt + made > sortedCapacity_ || endsAt + rowsReached > endsCapacity_) {
        pool_.exhausted.store(true, std::memory_order_relaxed);
        return;
    }
    std::uint32_t* ends = ends_.get() + endsAt;
    std::fill(ends, ends + rowsReached, 0u);
    // Calls visit(write, visitedRow) for each of the band's writes landing outside their row, in
    // the order they were made.
    const auto forEachWrite = [&](auto visit) {
        for (A_long y = top; y < bottom; ++y) {
            const WriteList& list = rows_[static_cast<std::size_t>(y - area_.top)].otherRows;
            for (std::uint32_t c = list.head; c != kNoChunk; c = chunks_[c].next) {
                const WriteChunk<Pixel>& chunk = chunks_[c];
                for (std::uint32_t i = 0; i < chunk.count; ++i) {
                    visit(chunk.writes[i], y);
                }
            }
        }
    };
    forEachWrite([&](const PixelWrite<Pixel>& write, A_long visitedRow) {
        ++ends[write.y - first];
        if (visitedRow < write.y && write.y < bottom) {
            ++before_[static_cast<std::size_t>(write.y - area_.top)];
        }
    });
    std::uint32_t next = static_cast<std::uint32_t>(sortedAt);
    for (std::size_t k = 0; k < rowsReached; ++k) {
        const std::uint32_t count = ends[k];
        ends[k] = next;
        next += count;
    }
    forEachWrite(
        [&](const PixelWrite<Pixel>& write, A_long) { sorted_[ends[write.y - first]++] = write; });
    // Each row's start has moved to its end.
    sorted.firstLanding = first;
    sorted.endLanding = end;
    sorted.sortedAt = static_cast<std::uint32_t>(sortedAt);
    sorted.endsAt = static_cast<std::uint32_t>(endsAt);
}

template <typename Pixel>
void DeferredPass<Pixel>::gatherBands()
{
    firstWrittenRow_ = area_.top;
    endWrittenRow_ = area_.bottom;
    reachDown_ = 0;
    reachUp_ = 0;
    for (A_long band = 0; band < bands_; ++band) {
        const BandWrites& sorted = bandWrites_[static_cast<std::size_t>(band)];
        if (sorted.firstLanding == sorted.endLanding) {
            continue;
        }
        const A_long top = area_.top + band * kBandRows;
        const A_long bottom = std::min(top + kBandRows, area_.bottom);
        firstWrittenRow_ = std::min(firstWrittenRow_, sorted.firstLanding);
        endWrittenRow_ = std::max(endWrittenRow_, sorted.endLanding);
        reachUp_ = std::max(reachUp_, top - sorted.firstLanding);
        reachDown_ = std::max(reachDown_, sorted.endLanding - bottom);
    }
}

template <typename Pixel>
void DeferredPass<Pixel>::landingSpan(A_long band, A_long y, std::uint32_t* first,
                                      std::uint32_t* end) const
{
    const BandWrites& sorted = bandWrites_[static_cast<std::size_t>(band)];
    if (y < sorted.firstLanding || y >= sorted.endLanding) {
        *first = *end = 0;
        return;
    }
    const std::size_t k = static_cast<std::size_t>(y - sorted.firstLanding);
    *end = ends_[sorted.endsAt + k];
    *first = k == 0 ? sorted.sortedAt : ends_[sorted.endsAt + k - 1];
}

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
    if (y < 0 || y >= pass.height_ || pass.bands_ == 0) {
        return;
    }
    // Visit order: the writes of each band that reaches the row, bands from the top; within the
    // row's own band, the writes of the rows above it, then the row's own, then the rows below.
    const A_long lastAreaRow = pass.area_.bottom - 1;
    const A_long lowest =
        pass.bandOfRow(std::clamp(y - pass.reachDown_, pass.area_.top, lastAreaRow));
    const A_long highest =
        pass.bandOfRow(std::clamp(y + pass.reachUp_, pass.area_.top, lastAreaRow));
    const bool inArea = y >= pass.area_.top && y < pass.area_.bottom;
    const A_long own = inArea ? pass.bandOfRow(y) : -1;
    const PixelWrite<Pixel>* sorted = pass.sorted_.get();
    for (A_long band = lowest; band <= highest; ++band) {
        std::uint32_t first = 0;
        std::uint32_t end = 0;
        pass.landingSpan(band, y, &first, &end);
        if (band != own) {
            pass.applyWrites(sorted + first, end - first, y);
            continue;
        }
        const std::size_t row = static_cast<std::size_t>(y - pass.area_.top);
        const std::uint32_t above = pass.before_[row];
        pass.applyWrites(sorted + first, above, y);
        pass.applyList(pass.rows_[row].inRow, y);
        pass.applyWrites(sorted + first + above, end - first - above, y);
    }
}

template class DeferredPass<PF_Pixel8>;
template class DeferredPass<PF_Pixel16>;

}  // namespace telvix
