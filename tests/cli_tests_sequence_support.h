// Frame sequences for the telvix command's tests: small cel frames that differ from frame to
// frame, written as numbered files.
#pragma once

#include <fmt/format.h>

#include <string>

#include "cli_tests_run.h"

namespace telvix::cli::test {

// An ink staircase on paper: something to smooth in every frame.
constexpr const char* kStairs = R"(
    |................|
    |..........######|
    |......##########|
    |..##############|
    |################|)";

// Frame `frame` of a shot: the staircase, its rows shifted right by the frame number so that
// every frame differs, tiled `tiles` times each way.
inline Image stairFrame(long frame, int bits, int channels = 4, int tiles = 1)
{
    const Image art = artImage(kStairs, bits, channels);
    Image image = art;
    image.width = art.width * tiles;
    image.height = art.height * tiles;
    image.samples.assign(static_cast<std::size_t>(image.width) *
                             static_cast<std::size_t>(image.height) *
                             static_cast<std::size_t>(channels),
                         0);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const int sx = static_cast<int>((x + frame) % art.width);
            for (int c = 0; c < channels; ++c) image.at(x, y, c) = art.at(sx, y % art.height, c);
        }
    }
    return image;
}

// Writes frames first..last of `pattern` (a fmt format with one field for the frame number,
// e.g. "in.{:04}.png") into `folder`.
inline void writeShot(const std::filesystem::path& folder, const std::string& pattern, long first,
                      long last, int bits = 8, int tiles = 1)
{
    for (long f = first; f <= last; ++f) {
        writeImageReplacing(folder / fmt::format(fmt::runtime(pattern), f),
                            stairFrame(f, bits, 4, tiles));
    }
}

// Files that a run left behind while writing: temporary files start with '.'.
inline int temporaryFiles(const std::filesystem::path& folder)
{
    int count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        count += entry.path().filename().string().rfind('.', 0) == 0;
    }
    return count;
}

}  // namespace telvix::cli::test
