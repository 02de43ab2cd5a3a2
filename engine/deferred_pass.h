// The smoothing pass on the host's threads, with exactly the result of a serial pass.
//
// The pass writes output pixels other than the one it visits, and a write that lands on a pixel
// an earlier write changed is blended into it: the result depends on the order of the visits.
// Visited on several threads at once, as a host splits an iterate into bands of rows, the later
// write would win by chance. So the render runs the pass in two phases, both row jobs of the
// front end's RowRunner (render_frame.h) and so on the host's threads, with its progress and its
// cancel:
//  1. recordBand, once per band of kBandRows rows of the area: the band's visits, rows from the
//     top, each row from the left, each measuring the source only and recording its writes
//     instead of making them (output_writes.h). Then, while they are still in the cache, the
//     band sorts its writes that land outside their visit's row (vertical runs and corners) by
//     the row they land in, keeping their visit order: a counting sort over the rows the band
//     reaches, into memory of the band's own.
//  2. applyRow, once per row that writes land in: that row's writes, applied in the order of the
//     visits that made them: those of each band that reaches the row, bands from the top, with
//     the row's own writes where its own band's visits reach them. Each output pixel depends
//     only on its own writes, so rows are independent of each other.
// Nothing runs on one thread between the phases but a look over the bands (which rows the
// writes land in, how far any band reaches). The memory the phases need is taken before each
// phase starts; the per-band and per-row functions allocate nothing and take no lock.
//
// Bands that the host happens to run in order, one after the other from the first (all of them
// on one thread; the first thread's share when a host hands each thread a run of bands), need
// no recording at all: such a band lands its writes at once, as the serial pass does, because
// every visit before it has landed and none after it has. One atomic per pass hands that right
// from each band to the next; the first band that starts out of turn, and every band after it,
// records. Their writes all come after the landed ones in visit order, so phase 2 lands them on
// top. One host thread thus costs what the serial pass costs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "AE_Effect.h"
#include "output_writes.h"
#include "render_info.h"

namespace telvix {

// The rows of one band of the first phase: few enough that a band's writes stay in the cache
// from its visits to its sort, and that a frame has bands for many threads (270 at 1080p).
inline constexpr A_long kBandRows = 4;

template <typename Pixel>
class DeferredPass {
public:
    // The pass over `area` (already limited to the source and output worlds) of `info`, whose
    // output must hold a copy of its source.
    DeferredPass(const RenderInfo<Pixel>& info, const PF_Rect& area);
    DeferredPass(const DeferredPass&) = delete;
    DeferredPass& operator=(const DeferredPass&) = delete;
    ~DeferredPass();

    // Makes room for the writes of a first recording: a guess from the area's size, enough for
    // ordinary cel frames. False when the memory cannot be had.
    bool reserveForArea();
    // After a recording that found its memory too small: room for what it counted, the output
    // put back to its source, and every band emptied for the recording to run again, with no
    // band landing in place. False when the memory cannot be had.
    bool reserveForCounted();
    bool poolExhausted() const { return pool_.exhausted.load(std::memory_order_relaxed); }

    // The first phase's job covers the rows area.top <= y < area.top + bands(): one per band.
    A_long bands() const { return bands_; }
    // Phase 1, a row job (refcon is this pass): records and sorts the writes of band
    // y - area.top, over the area's columns whatever span it is handed.
    static void recordBand(void* refcon, A_long y, A_long left, A_long right);

    // Between the phases, on one thread: finds the rows the writes land in and how far the bands
    // reach, from each band's own figures.
    void gatherBands();
    // The rows that phase 2 visits, top inclusive, bottom exclusive: every row a write lands in.
    A_long firstWrittenRow() const { return firstWrittenRow_; }
    A_long endWrittenRow() const { return endWrittenRow_; }

    // Phase 2, a row job (refcon is this pass): applies the writes landing in row y in visit
    // order, whatever span it is handed.
    static void applyRow(void* refcon, A_long y, A_long left, A_long right);

    // The area's columns over the rows top <= y < bottom: the area of a phase's row job.
    PF_Rect rowArea(A_long top, A_long bottom) const;

private:
    // What one band's sort left: its writes landing outside their visit's row, sorted by the row
    // they land in. Those landing in row y (firstLanding <= y < endLanding) are sorted_[from ..
    // to), `to` being ends_[endsAt + y - firstLanding] and `from` the entry before it, or
    // sortedAt for the first row; memory it asked for and did not get is in the needs.
    struct BandWrites {
        A_long firstLanding = 0;
        A_long endLanding = 0;
        std::uint32_t sortedAt = 0;
        std::uint32_t endsAt = 0;
        std::uint32_t sortedNeed = 0;
        std::uint32_t endsNeed = 0;
    };

    bool reserve(std::size_t chunks, std::size_t sorted, std::size_t ends);
    // True when `band` is the next band in order and no band runs in place now: the band then
    // lands in place and hands the turn on with endInOrder.
    bool startInOrder(A_long band);
    void endInOrder(A_long band);
    void landBandInPlace(A_long band);
    void recordBandRows(A_long band);
    void sortBand(A_long band);
    A_long bandOfRow(A_long y) const { return (y - area_.top) / kBandRows; }
    // The writes of `band` landing in row y, as [*first, *end) of sorted_.
    void landingSpan(A_long band, A_long y, std::uint32_t* first, std::uint32_t* end) const;
    void applyList(const WriteList& list, A_long y) const;
    void applyWrites(const PixelWrite<Pixel>* writes, std::size_t count, A_long y) const;

    RenderInfo<Pixel> info_;
    PF_Rect area_;
    A_long height_;  // the output's rows; writes land only there
    A_long bands_;
    WritePool<Pixel> pool_;
    std::unique_ptr<WriteChunk<Pixel>[]> chunks_;
    std::unique_ptr<RowWrites[]> rows_;  // by visited row, area_.top first
    std::unique_ptr<BandWrites[]> bandWrites_;
    // The bands' sorted writes and the ends of their rows' spans, each band's taken with one
    // atomic addition; a band that finds too little left sets pool_.exhausted.
    std::unique_ptr<PixelWrite<Pixel>[]> sorted_;
    std::unique_ptr<std::uint32_t[]> ends_;
    std::size_t sortedCapacity_ = 0;
    std::size_t endsCapacity_ = 0;
    std::atomic<std::size_t> sortedUsed_{0};
    std::atomic<std::size_t> endsUsed_{0};
    // For row y of the area: how many of its own band's writes landing in it were made by
    // visits of rows above it (they come before the row's own writes).
    std::unique_ptr<std::uint32_t[]> before_;
    A_long firstWrittenRow_ = 0;
    A_long endWrittenRow_ = 0;
    // How far below its last row, and above its first, any band's writes land.
    A_long reachDown_ = 0;
    A_long reachUp_ = 0;
    // The band that may land in place next (every band before it has), with kInPlaceNow while
    // one does.
    std::atomic<A_long> inOrder_{0};
    static constexpr A_long kInPlaceNow = A_long{1} << 30;
    static constexpr A_long kNeverInPlace = -1;
};

extern template class DeferredPass<PF_Pixel8>;
extern template class DeferredPass<PF_Pixel16>;

}  // namespace telvix
