// The smoothing pass on the host's threads, with exactly the result of a serial pass.
//
// The pass writes output pixels other than the one it visits, and a write that lands on a pixel
// an earlier write changed is blended into it: the result depends on the order of the visits.
// Visited on several threads at once, as a host splits an iterate into bands of rows, the later
// write would win by chance. So the render runs the pass in two phases, both row jobs of the
// front end's RowRunner (render_frame.h) and so on the host's threads, with its progress and its
// cancel:
//  1. recordRow, once per row of the area: the row's visits, left to right, each measuring the
//     source only and recording its writes instead of making them (output_writes.h).
//  2. applyRow, once per row that writes land in: that row's writes, applied in the order of
//     the visits that made them. Each output pixel depends only on its own writes, so rows are
//     independent of each other.
// Between them, sortOtherRowWrites puts the writes that land outside their visit's row (vertical
// runs and corners) in order of the row they land in. The memory the phases need is taken before
// each phase starts; the per-row functions allocate nothing and take no lock.
#pragma once

#include <cstddef>
#include <memory>

#include "AE_Effect.h"
#include "output_writes.h"
#include "render_info.h"

namespace telvix {

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
    // After a recording that found the pool too small: room for exactly what it counted, and
    // every row emptied for the recording to run again. False when the memory cannot be had.
    bool reserveForCounted();
    bool poolExhausted() const { return pool_.exhausted.load(std::memory_order_relaxed); }

    // Phase 1, a row job (refcon is this pass): records the writes of every visit of row y, over
    // the area's columns whatever span it is handed.
    static void recordRow(void* refcon, A_long y, A_long left, A_long right);

    // Between the phases, on one thread: sorts the writes that land outside their visit's row by
    // the row they land in, keeping their visit order. False when the memory cannot be had.
    bool sortOtherRowWrites();
    // The rows that phase 2 visits, top inclusive, bottom exclusive: every row a write lands in.
    A_long firstWrittenRow() const { return firstWrittenRow_; }
    A_long endWrittenRow() const { return endWrittenRow_; }

    // Phase 2, a row job (refcon is this pass): applies the writes landing in row y in visit
    // order, whatever span it is handed.
    static void applyRow(void* refcon, A_long y, A_long left, A_long right);

    // The area's columns over the rows top <= y < bottom: the area of a phase's row job.
    PF_Rect rowArea(A_long top, A_long bottom) const;

private:
    bool reserve(std::size_t chunks);
    void applyList(const WriteList& list, A_long y) const;
    void applyWrites(const PixelWrite<Pixel>* writes, std::size_t count, A_long y) const;
    template <typename Visit>
    void forEachOtherRowWrite(Visit visit) const;

    RenderInfo<Pixel> info_;
    PF_Rect area_;
    A_long height_;  // the output's rows; writes land only there
    WritePool<Pixel> pool_;
    std::unique_ptr<WriteChunk<Pixel>[]> chunks_;
    std::unique_ptr<RowWrites[]> rows_;  // by visited row, area_.top first
    // Writes landing outside their visit's row, sorted by the row they land in: those of row y
    // are sorted_[start_[y] .. start_[y + 1]), the first before_[y] of them made by visits of
    // rows above y.
    std::unique_ptr<PixelWrite<Pixel>[]> sorted_;
    std::unique_ptr<std::size_t[]> start_;
    std::unique_ptr<std::size_t[]> before_;
    A_long firstWrittenRow_ = 0;
    A_long endWrittenRow_ = 0;
};

extern template class DeferredPass<PF_Pixel8>;
extern template class DeferredPass<PF_Pixel16>;

}  // namespace telvix
