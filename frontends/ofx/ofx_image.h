// An OpenFX image as the plug-in reads and writes it: its pixels, laid out bottom-up from
// (bounds.x1, bounds.y1) with rows `rowBytes` apart (which may be negative), and their kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ofx_host.h"
#include "sample_exchange.h"

namespace telvix::ofx {

enum class Depth { Byte, Short, Float };

struct ImageView {
    unsigned char* data = nullptr;  // the pixel at (bounds.x1, bounds.y1)
    std::ptrdiff_t rowBytes = 0;
    OfxRectI bounds{};
    Depth depth = Depth::Byte;
    int channels = 4;            // 4 RGBA, 3 RGB
    bool premultiplied = false;  // RGBA whose colour is multiplied by its alpha

    int width() const { return bounds.x2 - bounds.x1; }
    int height() const { return bounds.y2 - bounds.y1; }
    std::size_t pixelBytes() const;
    // The pixel at (x, y) in the image's own coordinates (y grows upwards).
    unsigned char* pixel(int x, int y) const
    {
        return data + std::ptrdiff_t(y - bounds.y1) * rowBytes +
               std::ptrdiff_t(x - bounds.x1) * std::ptrdiff_t(pixelBytes());
    }
    // The samples of row y from column x on, `count` pixels, as the exchange reads them.
    template <typename Sample>
    cli::SampleRows<Sample> samples(int x, int y, int count) const
    {
        return cli::SampleRows<Sample>{reinterpret_cast<Sample*>(pixel(x, y)), count, channels,
                                       depth == Depth::Byte ? 8 : 16,
                                       premultiplied && channels == 4};
    }
};

// Reads an image's properties into `view`. On a kind the plug-in cannot take or a layout that
// cannot be right (no data, a row shorter than its pixels, bounds the wrong way round), gives
// kOfxStatErrImageFormat and says why in `problem`.
OfxStatus readImage(const Properties& image, ImageView& view, std::string& problem);

// Calls f with a null pointer of the view's sample type (std::uint8_t, std::uint16_t or float).
template <typename F>
decltype(auto) withSampleType(Depth depth, F&& f)
{
    switch (depth) {
        case Depth::Byte:
            return f(static_cast<std::uint8_t*>(nullptr));
        case Depth::Short:
            return f(static_cast<std::uint16_t*>(nullptr));
        case Depth::Float:
            break;
    }
    return f(static_cast<float*>(nullptr));
}

}  // namespace telvix::ofx
