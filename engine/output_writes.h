// How the smoothing pass writes the output world.
//
// Every write of the pass sets one output pixel from a value worked out from the source alone,
// and combines with the pixel's current value in one of two ways (WriteKind). So each output
// pixel's final value is its source value folded through its own writes, in the order in which
// the visits that made them come serially (rows from the top, each row from the left). Nothing
// else of the output is ever read.
//
// That is what lets a render use the host's threads and still give the serial result: a visit
// records its writes (RowWriter) instead of making them, and the recorded writes are applied
// later, each output pixel's in visit order (deferred_pass.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "lanes/blend_lanes.h"
#include "pixel_primitives.h"
#include "render_info.h"
#include "smoothing_constants.h"

namespace telvix {

// How a write combines with what the output pixel holds when it lands.
enum class WriteKind : std::uint8_t {
    // The neighbourhood averages: the value replaces the pixel.
    Replace,
    // Runs and corners: the value replaces a pixel that still equals its source pixel, and is
    // blended half-and-half into one that an earlier write of the pass has changed.
    Merge,
};

// One output write: the pixel, the value, how it combines. The kind rides in the column's top
// bit (columns are never negative), so that a write takes 12 bytes at 8 bits and 16 at 16.
template <typename Pixel>
struct PixelWrite {
    std::uint32_t columnAndKind;
    A_long y;
    Pixel value;

    PixelWrite() = default;
    PixelWrite(A_long x, A_long row, const Pixel& v, WriteKind kind)
        : columnAndKind(static_cast<std::uint32_t>(x) |
                        (kind == WriteKind::Merge ? kMergeBit : 0u)),
          y(row),
          value(v)
    {
    }
    A_long x() const { return static_cast<A_long>(columnAndKind & ~kMergeBit); }
    WriteKind kind() const
    {
        return (columnAndKind & kMergeBit) != 0 ? WriteKind::Merge : WriteKind::Replace;
    }

    static constexpr std::uint32_t kMergeBit = 0x80000000u;
};
static_assert(sizeof(PixelWrite<PF_Pixel8>) == 12 && sizeof(PixelWrite<PF_Pixel16>) == 16);

// Lands one write on the output pixel `out`, whose source pixel is `source`.
template <typename Pixel>
inline void applyWrite(const Pixel& value, WriteKind kind, const Pixel* source, Pixel* out)
{
    if (kind == WriteKind::Replace || pixelsEqual<Pixel>(source, out)) {
        *out = value;
    } else {
        blendPixelsSideBySide<Pixel>(&value, kMergeShare, out, kMergeShare, out);
    }
}

// Recorded writes live in chunks of a pool that the render sizes before the pass. Chunks are
// taken with one atomic addition each, so threads never wait on each other; a row's chunks form
// a list in the order its writes were made.
inline constexpr std::uint32_t kWritesPerChunk = 64;
inline constexpr std::uint32_t kNoChunk = 0xFFFFFFFFu;

template <typename Pixel>
struct WriteChunk {
    std::uint32_t next;   // the list's next chunk, or kNoChunk
    std::uint32_t count;  // writes held
    PixelWrite<Pixel> writes[kWritesPerChunk];
};

template <typename Pixel>
struct WritePool {
    WriteChunk<Pixel>* chunks = nullptr;
    std::uint32_t capacity = 0;
    std::atomic<std::uint32_t> used{0};
    // Set when a row found the pool empty. Its writes were counted but not all kept, and the
    // render runs the recording again with a pool of the counted size.
    std::atomic<bool> exhausted{false};
};

// The writes of one visited row, in the order they were made. Those that land in the row itself
// and those that land in other rows (vertical runs and corners) are kept apart: only the second
// need sorting by the row they land in.
struct WriteList {
    std::uint32_t head = kNoChunk;
    std::uint32_t tail = kNoChunk;
    std::uint32_t made = 0;  // writes made, kept or not; sizes the pool for a second recording
};

struct RowWrites {
    WriteList inRow;
    WriteList otherRows;
    // The rows the writes of otherRows land in, top inclusive, bottom exclusive (empty: none).
    A_long firstLanding = 0;
    A_long endLanding = 0;
};

// Records the writes of the visits of one row; lives on the stack of the call that visits it.
template <typename Pixel>
class RowWriter {
public:
    RowWriter(WritePool<Pixel>& pool, RowWrites& row, A_long y) : pool_(pool), row_(row), y_(y) {}

    void record(A_long x, A_long y, const Pixel& value, WriteKind kind)
    {
        if (y == y_) {
            append(row_.inRow, PixelWrite<Pixel>{x, y, value, kind});
            return;
        }
        if (row_.firstLanding == row_.endLanding) {
            row_.firstLanding = y;
            row_.endLanding = y + 1;
        } else {
            row_.firstLanding = y < row_.firstLanding ? y : row_.firstLanding;
            row_.endLanding = y >= row_.endLanding ? y + 1 : row_.endLanding;
        }
        append(row_.otherRows, PixelWrite<Pixel>{x, y, value, kind});
    }

private:
    void append(WriteList& list, const PixelWrite<Pixel>& write)
    {
        ++list.made;
        WriteChunk<Pixel>* tail = list.tail == kNoChunk ? nullptr : &pool_.chunks[list.tail];
        if (tail == nullptr || tail->count == kWritesPerChunk) {
            const std::uint32_t index = pool_.used.fetch_add(1, std::memory_order_relaxed);
            if (index >= pool_.capacity) {
                pool_.exhausted.store(true, std::memory_order_relaxed);
                return;
            }
            WriteChunk<Pixel>& chunk = pool_.chunks[index];
            chunk.next = kNoChunk;
            chunk.count = 0;
            if (tail == nullptr) {
                list.head = index;
            } else {
                tail->next = index;
            }
            list.tail = index;
            tail = &chunk;
        }
        tail->writes[tail->count++] = write;
    }

    WritePool<Pixel>& pool_;
    RowWrites& row_;
    A_long y_;
};

// The one way the pass writes an output pixel: recorded by the RenderInfo's writer, to be landed
// by the pass's second phase, or, without a writer, landed at once (the serial pass in place).
// A position outside the output or the source world is dropped (the pass writes only where it
// measured, so the second does not happen in a render).
template <typename Pixel>
inline void writeOutput(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, const Pixel& value,
                        WriteKind kind)
{
    Pixel* out = pixelAt<Pixel>(renderInfo.output, x, y);
    const Pixel* source = pixelAt<Pixel>(renderInfo.source, x, y);
    if (out == nullptr || source == nullptr) {
        return;
    }
    if (renderInfo.writer == nullptr) {
        applyWrite(value, kind, source, out);
        return;
    }
    renderInfo.writer->record(x, y, value, kind);
}

}  // namespace telvix
