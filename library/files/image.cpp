#include "image.h"

#include <algorithm>

namespace telvix::cli {

const char* layoutName(int channels)
{
    switch (channels) {
        case 1:
            return "grey";
        case 2:
            return "grey+alpha";
        case 3:
            return "RGB";
        default:
            return "RGBA";
    }
}

int stripRows(int width, int channels, int height)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels * 2;
    const std::size_t rows = std::max<std::size_t>(1, (std::size_t{4} << 20) / rowBytes);
    return static_cast<int>(std::min<std::size_t>(rows, static_cast<std::size_t>(height)));
}

}  // namespace telvix::cli
