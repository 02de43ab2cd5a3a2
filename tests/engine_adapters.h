// Ways into the engine for its own tests, all over the write path a render takes: the smoothing
// pass over an area through the tests' BandedRunner, and the writes of routines called one by
// one, recorded and landed as the pass lands them.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "AE_Effect.h"
#include "banded_runner.h"
#include "output_writes.h"
#include "render_frame.h"
#include "smoothing_engine.h"
#include "standin_host.h"

namespace telvix::test {

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
