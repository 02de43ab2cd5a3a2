// RenderInfo: the per-render record that the render fills and every engine routine reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "AE_Effect.h"

namespace telvix {

template <typename Pixel>
class RowWriter;

// One layout per depth, the same fields in the same order. It lives on the render's stack and
// reaches the row jobs through their context; it is read-only while a pass runs.
template <typename Pixel>
struct RenderInfo {
    PF_Boolean useColorKey;  // "Use Color Key" is exactly 1
    Pixel keyColor;          // "Color Key", widened to the depth's channel range
    A_long tolerance;        // "Do Smooth Range", 0..255, in 8-bit units at both depths
    // The tolerance of step measurement's traces. Of the effect's own interface (engine/README.md),
    // so kept although renderFrame always sets it to `tolerance` (step measurement honours it).
    A_long tolerance2;
    PF_EffectWorld* source;  // the world the engine reads (the input, or the keyed copy)
    PF_EffectWorld* output;  // the world the engine writes
    PF_InData* inData;  // the host's in_data, if any: of the effect's interface, read by no routine
    // The source's geometry as the per-pixel pass's flat test reads it, set with bindSource
    // together with `source`. Left zero, as value-initialisation leaves them, they send every
    // pixel through the pass's general path, which reads `source` itself.
    const unsigned char* sourceBytes;
    std::ptrdiff_t sourceRowbytes;
    std::uint32_t innerWidth;   // width - 2: the columns with a neighbour on both sides
    std::uint32_t innerHeight;  // height - 2: the rows with a neighbour above and below
    // Where the pass records its writes, to be applied later in visit order (output_writes.h):
    // set on a copy of the record per visited row. Every routine that writes needs it.
    RowWriter<Pixel>* writer;
};

// Sets the world the engine reads, and the geometry the pass keeps beside it.
template <typename Pixel>
inline void bindSource(RenderInfo<Pixel>& info, PF_EffectWorld* world)
{
    info.source = world;
    info.sourceBytes = reinterpret_cast<const unsigned char*>(world->data);
    info.sourceRowbytes = world->rowbytes;
    info.innerWidth = world->width > 2 ? static_cast<std::uint32_t>(world->width - 2) : 0u;
    info.innerHeight = world->height > 2 ? static_cast<std::uint32_t>(world->height - 2) : 0u;
}

}  // namespace telvix
