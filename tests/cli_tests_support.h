// Helpers for the telvix command's tests: file images drawn as ASCII art, and a scratch folder
// per test.
//
// Legend: '#' opaque ink (dark), '.' opaque paper (light), 'r' opaque red, 'h' half-transparent
// blue, ' ' fully transparent with a colour that must survive. 16-bit samples are values that
// the host's 0-32768 range can hold exactly (hostToFile16 of a host value), and mostly not
// multiples of 257, so any rounding slip shows.
#pragma once

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "channel_convert.h"
#include "frame_memory.h"
#include "image_read.h"
#include "image_write.h"

namespace telvix::cli::test {

struct ArtColour {
    char symbol;
    std::array<std::uint16_t, 4> rgba8;
    std::array<std::uint16_t, 4> rgba16;
};

constexpr std::array<std::uint16_t, 4> fromHost(int red, int green, int blue, int alpha)
{
    auto file = [](int h) { return hostToFile16(static_cast<std::uint16_t>(h)); };
    return {file(red), file(green), file(blue), file(alpha)};
}

inline constexpr ArtColour kArtColours[] = {
    {'#', {12, 20, 30, 255}, fromHost(515, 10, 15, 32768)},
    {'.', {250, 255, 240, 255}, fromHost(32001, 32768, 31111, 32768)},
    {'r', {200, 30, 31, 255}, fromHost(25700, 3855, 3984, 32768)},  // the 8-bit red, widened
    {'h', {40, 80, 200, 128}, fromHost(20, 10000, 27160, 16385)},
    {' ', {90, 60, 33, 0}, fromHost(16666, 30, 17, 0)},
};

// RGBA samples of one art character at 8 or 16 bits.
inline std::array<std::uint16_t, 4> artSamples(char symbol, int bits)
{
    for (const ArtColour& colour : kArtColours) {
        if (colour.symbol == symbol) return bits == 16 ? colour.rgba16 : colour.rgba8;
    }
    ADD_FAILURE() << "no art colour for '" << symbol << "'";
    return {};
}

// An image of `channels` from rows of art written between '|' marks: RGBA as in the legend, RGB
// without its alpha, grey (+ alpha) from its red (and alpha).
inline Image artImage(const std::string& art, int bits, int channels = 4)
{
    std::vector<std::string> rows;
    std::istringstream lines(art);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find('|');
        if (first == std::string::npos) continue;
        rows.push_back(line.substr(first + 1, line.rfind('|') - first - 1));
    }
    Image image;
    image.height = static_cast<int>(rows.size());
    image.width = static_cast<int>(rows.front().size());
    image.channels = channels;
    image.bits = bits;
    image.samples.resize(static_cast<std::size_t>(image.width) * image.height * channels);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const auto& row = rows[static_cast<std::size_t>(y)];
            const auto rgba = artSamples(row[static_cast<std::size_t>(x)], bits);
            for (int c = 0; c < channels; ++c) {
                const bool alpha = c == channels - 1 && image.hasAlpha();
                image.at(x, y, c) = rgba[alpha ? 3 : static_cast<std::size_t>(c)];
            }
        }
    }
    return image;
}

// A 4x4 file of `channels` channels of `type`, every sample `value` of full scale.
inline void writeWithOiio(const std::filesystem::path& file, int channels,
                          const OIIO::TypeDesc& type, float value = 0.5f)
{
    const std::vector<float> pixels(static_cast<std::size_t>(4 * 4 * channels), value);
    auto out = OIIO::ImageOutput::create(file.string());
    ASSERT_TRUE(out && out->open(file.string(), OIIO::ImageSpec(4, 4, channels, type)));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) && out->close());
}

// A fresh empty folder for one test, removed afterwards.
class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The process id keeps concurrent runs (two build trees, parallel ctest) apart.
        dir = std::filesystem::temp_directory_path() /
              (std::string("telvix-cli-") + info->test_suite_name() + "-" + info->name() + "-" +
               std::to_string(getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
};

}  // namespace telvix::cli::test
