// The frames both builds of the effect render for the cross-toolchain comparison: small
// cel-like drawings (dark aliased lines and discs on white paper, filled shapes, isolated
// specks, transparent patches) made deterministically from integer arithmetic alone, so that
// every platform draws the very same input (celTestFrame in tests/frame_makers.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "standin_host.h"

namespace telvix::wintest {

struct FrameCase {
    std::string name;  // unique; names the dump file
    A_long width = 0;
    A_long height = 0;
    A_long rowPadding = 0;  // extra bytes at the end of each input and output row
    bool deep = false;
    bool partialExtent = false;  // render only an inner rectangle of the output
    std::uint32_t seed = 1;
    standin::Settings settings;
};

// Every case, in a fixed order: both depths × key off and on × tolerance 0, 6 and 255 × full
// and partial extents, then a few odd sizes and a non-white key.
std::vector<FrameCase> frameCases();

// The input layer of `frameCase`, drawn from its seed.
standin::World makeInput(const FrameCase& frameCase);

// The inner rectangle a partial-extent render is limited to.
PF_LRect partialExtent(A_long width, A_long height);

}  // namespace telvix::wintest
