// What the effect leaves alone comes back as it was: every 16-bit code and float value through
// each format that holds it, and associated alpha unpremultiplied for the smoothing and
// premultiplied back. Inputs are written with OpenImageIO as another tool would write them; the
// outputs are read back with OpenImageIO's own conversions and with oiiotool.
#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli_tests_run.h"
#include "sample_exchange.h"

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

// Every sample of a file's first page as stored, as floats (exact for 16-bit integers, half and
// float), or empty when it cannot be read.
struct Samples {
    int channels = 0;
    OIIO::TypeDesc type;
    std::vector<float> values;
};

Samples readRaw(const fs::path& file)
{
    Samples s;
    OIIO::ImageSpec config;  // as stored: no reader premultiplies
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(file.string(), &config);
    if (!in) return s;
    const OIIO::ImageSpec& spec = in->spec();
    s.channels = spec.nchannels;
    s.type = spec.format;
    s.values.resize(static_cast<std::size_t>(spec.image_pixels()) * spec.nchannels);
    if (!in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, s.values.data())) {
        s.values.clear();
    }
    return s;
}

void writeRaw(const fs::path& file, int width, int height, int channels, const OIIO::TypeDesc& type,
              const std::vector<float>& values, bool associated)
{
    auto out = OIIO::ImageOutput::create(file.string());
    OIIO::ImageSpec spec(width, height, channels, type);
    spec.attribute("oiio:UnassociatedAlpha", associated ? 0 : 1);
    ASSERT_TRUE(out && out->open(file.string(), spec));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, values.data()) && out->close());
}

// Samples that differ bit for bit (NaN equal to itself).
std::size_t differing(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size()) return std::max(a.size(), b.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint32_t x = 0;
        std::uint32_t y = 0;
        std::memcpy(&x, &a[i], sizeof x);
        std::memcpy(&y, &b[i], sizeof y);
        n += x != y;
    }
    return n;
}

using Exactness = Command;

// Every 16-bit code in red (and reversed in green) through each format holding 16 bits or
// float: with nothing alike enough to smooth (tolerance 255 makes every colour the same) and with
// a one-pixel extent, every sample comes back as it was.
TEST_F(Exactness, EverySixteenBitCodeComesBackWhereNothingIsSmoothed)
{
    std::vector<float> ramp;
    for (int code = 0; code < 65536; ++code) {
        ramp.push_back(static_cast<float>(code) / 65535.0f);
        ramp.push_back(static_cast<float>(65535 - code) / 65535.0f);
        ramp.push_back(static_cast<float>((code * 7) & 0xFFFF) / 65535.0f);
    }
    for (const char* ext : {"png", "tif", "dpx", "exr"}) {
        const std::string in = fmt::format("in.{}", ext);
        const bool exr = std::string(ext) == "exr";
        writeRaw(dir / in, 256, 256, 3, exr ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16, ramp,
                 false);
        const Samples given = readRaw(dir / in);
        for (const char* options : {"--tolerance 255", "--tolerance 0 --extent 0,0,1,1"}) {
            const std::string out = fmt::format("out.{}", ext);
            const RunResult run = telvix(fmt::format("smooth {} {} {}", in, out, options));
            ASSERT_EQ(run.status, 0) << run.err;
            const Samples back = readRaw(dir / out);
            EXPECT_EQ(back.type, given.type) << ext;
            // Every pixel but the one the extent lets the effect visit.
            ASSERT_EQ(back.values.size(), given.values.size()) << ext;
            EXPECT_EQ(differing({back.values.begin() + 3, back.values.end()},
                                {given.values.begin() + 3, given.values.end()}),
                      0u)
                << ext << " " << options;
        }
        // Into EXR every code is kept as its float value, and back into PNG as the code.
        if (!exr) {
            ASSERT_EQ(telvix(fmt::format("smooth {} x.exr --tolerance 255", in)).status, 0);
            ASSERT_EQ(telvix("smooth x.exr x.png --tolerance 255").status, 0);
            EXPECT_EQ(differing(readRaw(dir / "x.png").values, given.values), 0u) << ext;
        }
    }
}

// Floats outside 0-1 (negative, above 1, NaN) are seen clipped by the smoothing under --clip,
// and kept as they are wherever it leaves them alone; a smoothed pixel is written from the host.
TEST_F(Exactness, FloatsOutsideZeroToOneAreKeptWhereNotSmoothed)
{
    std::vector<float> values;
    for (int i = 0; i < 64 * 64; ++i) {
        const float v = static_cast<float>(i) / 1365.0f - 1.0f;  // -1 to 2
        values.insert(values.end(), {v, 0.25f, i == 7 ? NAN : 0.5f, 1.0f});
    }
    writeRaw(dir / "hot.exr", 64, 64, 4, OIIO::TypeDesc::FLOAT, values, true);
    EXPECT_EQ(telvix("smooth hot.exr out.exr").status, 1);
    const RunResult run = telvix("smooth hot.exr out.exr --clip --tolerance 255");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(differing(readRaw(dir / "out.exr").values, readRaw(dir / "hot.exr").values), 0u);
}

// Colour multiplied by alpha in the file (TIFF tagged associated, EXR) is smoothed as straight
// colour and written in each output's convention: straight in PNG, premultiplied in EXR, TIFF
// as its input held it. A second reader (oiiotool, unpremultiplying) sees the same colour in
// each; pixels left alone in a file of the input's kind come back bit for bit.
TEST_F(Exactness, AssociatedAlphaKeepsItsColourInEveryOutput)
{
    // A flat semi-transparent fill with a dark opaque square in it, to be smoothed.
    const int size = 16;
    std::vector<float> straight;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const bool dark = x >= 5 && x < 10 && y >= 5 && y < 10;
            if (dark) {
                straight.insert(straight.end(), {0.1f, 0.1f, 0.1f, 1.0f});
            } else {
                straight.insert(straight.end(),
                                {200 / 255.0f, 150 / 255.0f, 100 / 255.0f, 128 / 255.0f});
            }
        }
    }
    std::vector<float> associated = straight;
    for (std::size_t i = 0; i < associated.size(); i += 4) {
        for (int c = 0; c < 3; ++c) associated[i + c] *= associated[i + 3];
    }
    writeRaw(dir / "in.tif", size, size, 4, OIIO::TypeDesc::UINT16, associated, true);
    writeRaw(dir / "in.exr", size, size, 4, OIIO::TypeDesc::HALF, associated, true);
    writeRaw(dir / "in.png", size, size, 4, OIIO::TypeDesc::UINT8, straight, false);
    for (const char* in : {"in.tif", "in.exr", "in.png"}) {
        for (const char* ext : {"png", "tif", "exr"}) {
            const std::string out = fmt::format("out.{}", ext);
            const RunResult run = telvix(fmt::format("smooth {} {}", in, out));
            ASSERT_EQ(run.status, 0) << run.err;
            // The corner pixel, far from the square, as oiiotool sees it: it premultiplies an
            // 8-bit straight file on reading, in 8 bits, so its own rounding may cost a code.
            const std::string check =
                fmt::format("oiiotool '{}' --unpremult -d uint8 -o '{}' >/dev/null 2>&1",
                            (dir / out).string(), (dir / "check.png").string());
            ASSERT_EQ(std::system(check.c_str()), 0);
            const Samples seen = readRaw(dir / "check.png");
            ASSERT_EQ(seen.channels, 4);
            EXPECT_NEAR(seen.values[0] * 255, 200, 1.0) << in << " -> " << out;
            EXPECT_NEAR(seen.values[1] * 255, 150, 1.0) << in << " -> " << out;
            EXPECT_NEAR(seen.values[2] * 255, 100, 1.0) << in << " -> " << out;
            EXPECT_NEAR(seen.values[3] * 255, 128, 1.0) << in << " -> " << out;
        }
    }
    // Into a file of its own kind, the pixels the smoothing left alone keep their stored values.
    for (const char* kind : {"tif", "exr"}) {
        const std::string in = fmt::format("in.{}", kind);
        const std::string out = fmt::format("same.{}", kind);
        ASSERT_EQ(telvix(fmt::format("smooth {} {}", in, out)).status, 0);
        const Samples a = readRaw(dir / in);
        const Samples b = readRaw(dir / out);
        ASSERT_EQ(a.values.size(), b.values.size());
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(a.values[i], b.values[i]) << kind;
    }
}

// Floats become integers as OpenImageIO converts them, for every half value and across 0-1.
TEST(FloatToCode, RoundsAsOpenImageIoDoes)
{
    std::vector<float> values;
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
        const auto h = static_cast<std::uint16_t>(bits);
        float f = 0.0f;
        OIIO::convert_pixel_values(OIIO::TypeDesc::HALF, &h, OIIO::TypeDesc::FLOAT, &f, 1);
        if (f >= 0.0f && f <= 1.0f) values.push_back(f);
    }
    for (int i = 0; i <= 1 << 20; ++i) values.push_back(static_cast<float>(i) / (1 << 20));
    for (const int bits : {8, 16}) {
        std::vector<std::uint16_t> expected(values.size());
        std::vector<std::uint8_t> bytes(values.size());
        const auto type = bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
        void* out = bits == 8 ? static_cast<void*>(bytes.data()) : expected.data();
        OIIO::convert_pixel_values(OIIO::TypeDesc::FLOAT, values.data(), type, out,
                                   static_cast<int>(values.size()));
        if (bits == 8) std::copy(bytes.begin(), bytes.end(), expected.begin());
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            wrong += floatToCode(values[i], bits) != expected[i];
        }
        EXPECT_EQ(wrong, 0u) << bits << " bits";
    }
}

// The direct loops for straight integers of the world's depth give what the general per-channel
// path gives: every code in every channel, in and out (with and without the original samples),
// for RGBA and RGB, after a render-like change to some of the world's pixels.
template <typename Sample>
void expectDirectEqualsGeneral(int channels)
{
    constexpr bool deep = sizeof(Sample) == 2;
    const int bits = deep ? 16 : 8;
    const int width = deep ? 65536 : 256;
    std::vector<Sample> in(std::size_t(width) * std::size_t(channels));
    for (int x = 0; x < width; ++x) {
        for (int c = 0; c < channels; ++c) {
            // Every code in each channel, at a different offset so channels differ.
            in[std::size_t(x) * std::size_t(channels) + std::size_t(c)] =
                static_cast<Sample>((x * (2 * c + 1) + 37 * c) % width);
        }
    }
    const SampleRows<const Sample> rows{in.data(), width, channels, bits};
    const auto convert = [&](bool direct, bool withOriginal) {
        useDirectConversions(direct);
        PF_EffectWorld world{};
        std::vector<PF_Pixel16> storage(static_cast<std::size_t>(width));
        world.data = reinterpret_cast<PF_PixelPtr>(storage.data());
        world.rowbytes = static_cast<A_long>(std::size_t(width) * (deep ? 8 : 4));
        world.width = width;
        world.height = 1;
        world.world_flags = deep ? PF_WorldFlag_DEEP : 0;
        samplesIntoWorld(rows, 0, 1, world);
        auto* bytes = reinterpret_cast<std::uint8_t*>(storage.data());
        std::vector<std::uint8_t> hostPixels(bytes, bytes + world.rowbytes);
        // A change to every third pixel's first byte, as a render changes some pixels.
        for (int x = 0; x < width; x += 3) bytes[std::size_t(x) * (deep ? 8 : 4)] ^= 0x15;
        std::vector<Sample> out(in.size());
        worldIntoSamples(world, withOriginal ? &rows : nullptr, 0, 1,
                         SampleRows<Sample>{out.data(), width, channels, bits});
        useDirectConversions(true);
        return std::make_pair(hostPixels, out);
    };
    for (const bool withOriginal : {false, true}) {
        const auto general = convert(false, withOriginal);
        const auto direct = convert(true, withOriginal);
        EXPECT_EQ(direct.first, general.first) << bits << "-bit, " << channels << " channels in";
        EXPECT_TRUE(direct.second == general.second)
            << bits << "-bit, " << channels << " channels out, original " << withOriginal;
    }
}

// The same for floats into 16-bit worlds, straight and associated: values across 0-1 and beyond
// it, NaN, and alphas of 0, tiny and 1, with the world changed as above.
void expectFloatDirectEqualsGeneral(int channels, bool associated)
{
    const int width = 1 << 16;
    std::vector<float> in(std::size_t(width) * std::size_t(channels));
    std::uint32_t state = 12345u;
    const float specials[] = {0.0f, 1.0f, -0.5f, 2.0f, std::nanf(""), 1e-30f, 0.5f, 1.0f / 3};
    for (std::size_t i = 0; i < in.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        in[i] = (state >> 29) == 0 ? specials[(state >> 8) % 8]
                                   : static_cast<float>(state >> 8) / static_cast<float>(1 << 24);
    }
    const SampleRows<const float> rows{in.data(), width, channels, 16, associated};
    const auto convert = [&](bool direct) {
        useDirectConversions(direct);
        std::vector<PF_Pixel16> storage(static_cast<std::size_t>(width));
        PF_EffectWorld world{};
        world.data = reinterpret_cast<PF_PixelPtr>(storage.data());
        world.rowbytes = width * 8;
        world.width = width;
        world.height = 1;
        world.world_flags = PF_WorldFlag_DEEP;
        samplesIntoWorld(rows, 0, 1, world);
        const std::vector<PF_Pixel16> hostPixels = storage;
        for (std::size_t x = 0; x < storage.size(); x += 3) {
            (x % 2 == 0 ? storage[x].alpha : storage[x].green) ^= 0x155;
        }
        std::vector<float> out(in.size());
        worldIntoSamples(world, &rows, 0, 1,
                         SampleRows<float>{out.data(), width, channels, 16, associated});
        useDirectConversions(true);
        std::vector<std::uint32_t> bits(out.size());
        std::memcpy(bits.data(), out.data(), out.size() * sizeof(float));
        std::vector<std::uint16_t> channelsIn(hostPixels.size() * 4);
        std::memcpy(channelsIn.data(), hostPixels.data(), hostPixels.size() * sizeof(PF_Pixel16));
        return std::make_pair(channelsIn, bits);
    };
    const auto general = convert(false);
    const auto direct = convert(true);
    EXPECT_TRUE(direct.first == general.first) << channels << " channels in, " << associated;
    EXPECT_TRUE(direct.second == general.second) << channels << " channels out, " << associated;
}

TEST(SampleExchange, DirectLoopsGiveTheGeneralPathsValues)
{
    for (const int channels : {3, 4}) {
        expectDirectEqualsGeneral<std::uint8_t>(channels);
        expectDirectEqualsGeneral<std::uint16_t>(channels);
        for (const bool associated : {false, true}) {
            expectFloatDirectEqualsGeneral(channels, associated);
        }
    }
}

}  // namespace
}  // namespace telvix::cli::test
