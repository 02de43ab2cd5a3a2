// Frames for the OFX plug-in's tests and dump: the deterministic cel drawings of
// tests/frame_makers.h as packed OFX samples (top row first, channels R, G, B[, A]) at any depth.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frame_makers.h"
#include "ofxImageEffect.h"

namespace telvix::ofxtest {

// `width` x `height` pixels of a cel drawing from `seed`. 16-bit samples widen the 8-bit ones
// (c * 257) and nudge the dark ones by a few codes, so that not every sample is a multiple of
// 257; floats are the 8-bit codes over 255.
inline std::vector<std::uint8_t> celFrame(int width, int height, const std::string& depth,
                                          const std::string& components, std::uint32_t seed)
{
    const standin::World world = telvix::test::celTestFrame(width, height, false, 0, seed);
    const int channels = components == kOfxImageComponentRGB ? 3 : 4;
    const std::size_t count = std::size_t(width) * std::size_t(height) * std::size_t(channels);
    std::vector<std::uint16_t> shorts;
    std::vector<float> floats;
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const PF_Pixel8 p = world.at<PF_Pixel8>(x, y);
            const int rgba[4] = {p.red, p.green, p.blue, p.alpha};
            for (int c = 0; c < channels; ++c, ++i) {
                const int v = rgba[c];
                bytes.push_back(std::uint8_t(v));
                const int nudge = c < 3 && v < 64 ? int((i * 7 + seed) % 5) : 0;
                shorts.push_back(std::uint16_t(v * 257 + nudge));
                floats.push_back(float(v) / 255.0f);
            }
        }
    }
    if (depth == kOfxBitDepthShort) {
        bytes.resize(count * 2);
        std::memcpy(bytes.data(), shorts.data(), bytes.size());
    } else if (depth == kOfxBitDepthFloat) {
        bytes.resize(count * 4);
        std::memcpy(bytes.data(), floats.data(), bytes.size());
    }
    return bytes;
}

}  // namespace telvix::ofxtest
