#include "test_frames.h"

#include "frame_makers.h"

namespace telvix::wintest {

using test::rgba;

std::vector<FrameCase> frameCases()
{
    // Each case gets its own seed, so no two frames are drawn alike.
    std::vector<FrameCase> cases;
    std::uint32_t seed = 1;
    for (const bool deep : {false, true}) {
        for (const bool key : {false, true}) {
            for (const int tolerance : {0, 6, 255}) {
                for (const bool partial : {false, true}) {
                    FrameCase c;
                    c.name = std::string(deep ? "d16" : "d8") + (key ? "_key" : "_nokey") + "_tol" +
                             std::to_string(tolerance) + (partial ? "_part" : "_full");
                    // Vary the size and row padding from case to case.
                    c.width = 48 + A_long(seed % 5) * 7;
                    c.height = 40 + A_long(seed % 3) * 5;
                    c.rowPadding = (seed % 2) != 0 ? 0 : 24;
                    c.deep = deep;
                    c.partialExtent = partial;
                    c.seed = seed++;
                    c.settings.useColorKey = key;
                    c.settings.tolerance = tolerance;
                    cases.push_back(c);
                }
            }
        }
    }
    // Extras at both depths: a non-white key, a larger frame, and frames so small that every
    // pixel sits on the border.
    for (const bool deep : {false, true}) {
        // An extra case of this depth, tolerance 6 and the white key unless changed.
        const auto extra = [&, depth = std::string(deep ? "d16" : "d8")](
                               const char* name, A_long width, A_long height) {
            FrameCase c;
            c.name = depth + name;
            c.width = width;
            c.height = height;
            c.deep = deep;
            c.seed = seed++;
            return c;
        };
        FrameCase green = extra("_greenkey_tol6_full", 64, 48);
        green.settings.useColorKey = true;
        green.settings.keyColor = rgba(0, 255, 0);
        cases.push_back(green);
        FrameCase large = extra("_large_tol6_part", 160, 120);
        large.rowPadding = 8;
        large.partialExtent = true;
        cases.push_back(large);
        cases.push_back(extra("_tiny_tol6_full", 3, 2));
        FrameCase single = extra("_single_key_full", 1, 1);
        single.settings.useColorKey = true;
        cases.push_back(single);
    }
    return cases;
}

standin::World makeInput(const FrameCase& frameCase)
{
    return telvix::test::celTestFrame(frameCase.width, frameCase.height, frameCase.deep,
                                      frameCase.rowPadding, frameCase.seed);
}

PF_LRect partialExtent(A_long width, A_long height)
{
    return PF_LRect{width / 5, height / 4, width * 3 / 4, height * 4 / 5};
}

}  // namespace telvix::wintest
