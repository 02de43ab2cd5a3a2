// Ways into the engine for its own tests, all over the write path a render takes: a RowRunner of
// the tests' own (rows in bands, the bands run last first, so that a pass whose result depends
// on the order of its rows shows it), the smoothing pass over an area through it, and the writes
// of routines called one by one, recorded and landed as the pass lands them.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "AE_Effect.h"
#include "output_writes.h"
#include "render_frame.h"
#include "smoothing_engine.h"
#include "standin_host.h"

namespace telvix::test {

class BandedRunner final : public RowRunner {
public:
    explicit BandedRunner(A_long bandRows = 3) : bandRows_(bandRows) {}

    PF_Err runRows(const RowJob<PF_Pixel8>& job, A_long, A_long) override { return run(job); }
    PF_Err runRows(const RowJob<PF_Pixel16>& job, A_long, A_long) override { return run(job); }

    // The overlap of the two worlds, row by row.
    PF_Err copyWorld(PF_EffectWorld* source, PF_EffectWorld* destination) override
    {
        const std::size_t pixel = PF_WORLD_IS_DEEP(source) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
        const A_long width = std::min(source->width, destination->width);
        auto* to = reinterpret_cast<char*>(destination->data);
        const auto* from = reinterpret_cast<const char*>(source->data);
        for (A_long y = 0; y < std::min(source->height, destination->height); ++y) {
            std::memmove(to + static_cast<std::ptrdiff_t>(y) * destination->rowbytes,
                         from + static_cast<std::ptrdiff_t>(y) * source->rowbytes,
                         static_cast<std::size_t>(width) * pixel);
        }
        return PF_Err_NONE;
    }
    PF_Err newWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                    PF_EffectWorld* world) override
    {
        worlds_.push_back(std::make_unique<standin::World>(
            width, height, (flags & PF_NewWorldFlag_DEEP_PIXELS) != 0));
        *world = worlds_.back()->def();
        return PF_Err_NONE;
    }
    PF_Err disposeWorld(PF_EffectWorld* world) override
    {
        std::erase_if(worlds_, [world](const auto& w) { return w->def().data == world->data; });
        return PF_Err_NONE;
    }
    std::size_t liveWorlds() const { return worlds_.size(); }

private:
    template <typename Pixel>
    PF_Err run(const RowJob<Pixel>& job)
    {
        const A_long top = job.area.top;
        for (A_long band = (job.area.bottom - top - 1) / bandRows_; band >= 0; --band) {
            const A_long end = std::min(job.area.bottom, top + (band + 1) * bandRows_);
            for (A_long y = top + band * bandRows_; y < end; ++y) {
                job.row(job.context, y, job.area.left, job.area.right);
            }
        }
        return PF_Err_NONE;
    }

    A_long bandRows_;
    std::vector<std::unique_ptr<standin::World>> worlds_;
};

// The smoothing pass over `area` of `info` (whose output holds a copy of its source), as a
// render runs it, on the runner's rows.
template <typename Pixel>
void passOver(const RenderInfo<Pixel>& info, const PF_Rect& area, A_long bandRows = 3)
{
    BandedRunner runner(bandRows);
    ASSERT_EQ(smoothArea(info, area, runner), PF_Err_NONE);
}

// Calls call(recording), `recording` being `info` with a writer, then lands what it wrote on
// info's output, each pixel's writes in the order they were made.
template <typename Pixel, typename Call>
void landWrites(const RenderInfo<Pixel>& info, Call call, std::size_t writes = 1024)
{
    std::vector<WriteChunk<Pixel>> chunks(writes / kWritesPerChunk);
    WritePool<Pixel> pool;
    pool.chunks = chunks.data();
    pool.capacity = static_cast<std::uint32_t>(chunks.size());
    RowWrites row;
    RowWriter<Pixel> writer(pool, row, -1);  // every write lands outside row -1: one list
    RenderInfo<Pixel> recording = info;
    recording.writer = &writer;
    call(recording);
    ASSERT_FALSE(pool.exhausted.load());
    for (std::uint32_t c = row.otherRows.head; c != kNoChunk; c = chunks[c].next) {
        for (std::uint32_t i = 0; i < chunks[c].count; ++i) {
            const PixelWrite<Pixel>& write = chunks[c].writes[i];
            applyWrite(write.value, write.kind(), pixelAt<Pixel>(info.source, write.x(), write.y),
                       pixelAt<Pixel>(info.output, write.x(), write.y));
        }
    }
}

// The pass at one pixel, its writes landed at once: the visit a serial pass makes there
// (refcon is the RenderInfo<Pixel>; the pixel pointers are not read).
template <typename Pixel>
PF_Err smoothingPass(void* refcon, A_long x, A_long y, Pixel*, Pixel*)
{
    landWrites(*static_cast<const RenderInfo<Pixel>*>(refcon),
               [&](const RenderInfo<Pixel>& recording) { smoothRow(recording, y, x, x + 1); });
    return PF_Err_NONE;
}

}  // namespace telvix::test
