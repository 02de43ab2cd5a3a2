// Whole-render regression on the shipped cel frames (tests/frames), rendered through the plug-in's
// entry point and the stand-in host. These goldens guard every speed-up of the render: an
// optimisation may not change a single output bit.
//
// Two kinds of golden:
//   - the 1920x1080 and 3840x2160 frames, at 8 and 16 bits, with the colour key off and on, at
//     tolerances 0, 6 and 255, against recorded checksums of the output pixels;
//   - the 256x256 frames, at 8 and 16 bits, key off and on, tolerance 6 (one frame also with
//     grain), against golden images in tests/golden/renders: RGBA PNG of the world's depth, a
//     16-bit host value v (0..32768) stored as v * 65535 / 32768 rounded. That mapping is
//     one-to-one, so equal files mean equal host pixels.
//
// A missing frame or golden image is a failure, never a skip. On a mismatch the rendered image is
// written to golden-failures/ in the working directory (under ctest, the build's tests folder) as
// NAME.actual.png, and for the golden images also NAME.diff.png: the golden image dimmed to grey
// with every differing pixel in red. The failure message names the files.
//
// Updating: with TELVIX_UPDATE_GOLDENS=1 in the environment the golden images are rewritten from
// the current render instead of compared, e.g.
//   TELVIX_UPDATE_GOLDENS=1 build/tests/render_golden_tests --gtest_filter='SmallFrames/*'
// Only do that for a render change that is meant; check the diff pictures first. The checksums are
// edited by hand from the value a failure prints.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "effect_entry.h"
#include "frame_makers.h"
#include "standin_host.h"

namespace {

namespace fs = std::filesystem;

// A 16-bit file value (0-65535) to the host's range (0-32768), rounded up.
A_u_short fileToHost16(std::uint16_t v)
{
    return static_cast<A_u_short>((std::uint32_t{v} * 32768u + 32767u) / 65535u);
}

// A host 16-bit value (0-32768) to the file's range (0-65535), rounded to nearest. Distinct host
// values give distinct file values.
std::uint16_t hostToFile16(A_u_short v)
{
    return static_cast<std::uint16_t>((std::uint32_t{v} * 65535u + 16384u) / 32768u);
}

// Decodes an RGBA file into a world of the requested depth (8-bit files to 8-bit worlds, 16-bit
// files to deep worlds; an 8-bit file read into a deep world is widened by the decoder), with
// padded rows as a host may hand them over.
standin::World loadFrame(const fs::path& path, bool deep)
{
    auto in = OIIO::ImageInput::open(path.string());
    if (!in) {
        throw std::runtime_error("cannot open " + path.string());
    }
    const OIIO::ImageSpec spec = in->spec();
    if (spec.nchannels != 4) {
        throw std::runtime_error("not RGBA: " + path.string());
    }
    standin::World world(spec.width, spec.height, deep, 12);
    const std::size_t count = std::size_t(spec.width) * std::size_t(spec.height) * 4;
    if (deep) {
        std::vector<std::uint16_t> rgba(count);
        if (!in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT16, rgba.data())) {
            throw std::runtime_error("cannot read " + path.string());
        }
        for (A_long y = 0; y < spec.height; ++y) {
            for (A_long x = 0; x < spec.width; ++x) {
                const std::uint16_t* p = &rgba[(std::size_t(y) * spec.width + x) * 4];
                world.at<PF_Pixel16>(x, y) = {fileToHost16(p[3]), fileToHost16(p[0]),
                                              fileToHost16(p[1]), fileToHost16(p[2])};
            }
        }
    } else {
        std::vector<std::uint8_t> rgba(count);
        if (!in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, rgba.data())) {
            throw std::runtime_error("cannot read " + path.string());
        }
        for (A_long y = 0; y < spec.height; ++y) {
            for (A_long x = 0; x < spec.width; ++x) {
                const std::uint8_t* p = &rgba[(std::size_t(y) * spec.width + x) * 4];
                world.at<PF_Pixel8>(x, y) = {p[3], p[0], p[1], p[2]};
            }
        }
    }
    return world;
}

// A world's pixels as the file stores them: RGBA rows, 8-bit values as they are, 16-bit values
// by hostToFile16. Kept in 16-bit elements at both depths.
struct FilePixels {
    int width = 0;
    int height = 0;
    bool deep = false;
    std::vector<std::uint16_t> rgba;

    const std::uint16_t* at(int x, int y) const
    {
        return &rgba[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4];
    }
};

FilePixels toFilePixels(const standin::World& world)
{
    FilePixels file{world.width(), world.height(), world.deep(), {}};
    file.rgba.reserve(std::size_t(file.width) * std::size_t(file.height) * 4);
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            if (world.deep()) {
                const PF_Pixel16& p = world.at<PF_Pixel16>(x, y);
                for (A_u_short v : {p.red, p.green, p.blue, p.alpha}) {
                    file.rgba.push_back(hostToFile16(v));
                }
            } else {
                const PF_Pixel8& p = world.at<PF_Pixel8>(x, y);
                for (A_u_char v : {p.red, p.green, p.blue, p.alpha}) {
                    file.rgba.push_back(v);
                }
            }
        }
    }
    return file;
}

// The samples are straight (unassociated) alpha, written and read as they are: without the hint
// the image library would premultiply them on reading and divide them on writing.
void writePng(const fs::path& path, const FilePixels& pixels)
{
    auto out = OIIO::ImageOutput::create(path.string());
    if (!out) {
        throw std::runtime_error("cannot write " + path.string() + ": " + OIIO::geterror());
    }
    const OIIO::TypeDesc type = pixels.deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    OIIO::ImageSpec spec(pixels.width, pixels.height, 4, type);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    std::vector<std::uint8_t> bytes;
    const void* data = pixels.rgba.data();
    if (!pixels.deep) {
        bytes.assign(pixels.rgba.begin(), pixels.rgba.end());
        data = bytes.data();
    }
    if (!out->open(path.string(), spec) || !out->write_image(type, data) || !out->close()) {
        throw std::runtime_error("cannot write " + path.string() + ": " + out->geterror());
    }
}

FilePixels readPng(const fs::path& path)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path.string(), &config);
    if (!in) {
        throw std::runtime_error("cannot open " + path.string() + ": " + OIIO::geterror());
    }
    const OIIO::ImageSpec spec = in->spec();
    if (spec.nchannels != 4) {
        throw std::runtime_error("not RGBA: " + path.string());
    }
    FilePixels pixels{spec.width, spec.height, spec.format == OIIO::TypeDesc::UINT16, {}};
    pixels.rgba.resize(std::size_t(spec.width) * std::size_t(spec.height) * 4);
    if (!in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT16, pixels.rgba.data())) {
        throw std::runtime_error("cannot read " + path.string() + ": " + in->geterror());
    }
    if (!pixels.deep) {
        for (std::uint16_t& v : pixels.rgba) {
            v = static_cast<std::uint16_t>(v / 257u);  // the decoder widened 8-bit v to v * 257
        }
    }
    return pixels;
}

// Where a failing case leaves its pictures: golden-failures/ in the working directory.
fs::path failureFolder()
{
    const fs::path folder = fs::current_path() / "golden-failures";
    fs::create_directories(folder);
    return folder;
}

// The golden image dimmed to grey (straight alpha shown over white), every differing pixel red.
FilePixels differencePicture(const FilePixels& golden, const FilePixels& actual)
{
    FilePixels picture{golden.width, golden.height, false, {}};
    picture.rgba.reserve(golden.rgba.size());
    const unsigned max = golden.deep ? 65535u : 255u;
    for (int y = 0; y < golden.height; ++y) {
        for (int x = 0; x < golden.width; ++x) {
            const std::uint16_t* g = golden.at(x, y);
            if (!std::equal(g, g + 4, actual.at(x, y))) {
                picture.rgba.insert(picture.rgba.end(), {255, 0, 0, 255});
                continue;
            }
            const unsigned luma = (77u * g[0] + 150u * g[1] + 29u * g[2]) / 256u;
            const unsigned shown = (luma * g[3] + max * (max - g[3])) / max;  // over white
            const auto grey = static_cast<std::uint16_t>(48u + shown * 128u / max);
            picture.rgba.insert(picture.rgba.end(), {grey, grey, grey, 255});
        }
    }
    return picture;
}

bool updatingGoldens()
{
    const char* update = std::getenv("TELVIX_UPDATE_GOLDENS");
    return update != nullptr && std::string(update) == "1";
}

struct GoldenCase {
    const char* file;  // relative to the frames folder
    bool deep;
    bool noisy;  // deterministic grain added, so that near colours test the tolerance
    bool key;
    A_long tolerance;
    std::uint64_t expected;  // checksum cases only
};

std::ostream& operator<<(std::ostream& os, const GoldenCase& c)
{
    return os << c.file << (c.deep ? " 16-bit" : " 8-bit") << (c.noisy ? " with grain" : "")
              << (c.key ? " key on" : " key off") << " tolerance " << std::dec << c.tolerance;
}

// The case as a name for tests and files: h00_aliased16_16bit_grain_key_tol6.
std::string caseName(const GoldenCase& c)
{
    std::ostringstream name;
    name << fs::path(c.file).stem().string() << (c.deep ? "_16bit" : "_8bit")
         << (c.noisy ? "_grain" : "") << (c.key ? "_key" : "_nokey") << "_tol" << c.tolerance;
    return name.str();
}

std::string testName(const ::testing::TestParamInfo<GoldenCase>& info)
{
    return caseName(info.param);
}

// Renders a case through the entry point; fails the test when the frame is missing or the
// render returns an error.
void renderCase(const GoldenCase& c, std::unique_ptr<standin::World>& output)
{
    const fs::path file = fs::path(TELVIX_FRAMES_DIR) / c.file;
    if (!fs::exists(file)) {
        FAIL() << "frame missing: " << file.string();
    }
    standin::World input = loadFrame(file, c.deep);
    if (c.noisy) {
        // A fixed grain (frame_makers.h), so that the tolerance decides what is similar.
        telvix::test::addGrain(input, 20261208u);
    }
    output = std::make_unique<standin::World>(input.width(), input.height(), c.deep, 4);
    standin::Host host(&entryPointFunc);
    standin::Settings settings;  // key colour opaque white
    settings.useColorKey = c.key;
    settings.tolerance = c.tolerance;
    ASSERT_EQ(host.render(input, *output, settings), PF_Err_NONE) << "for " << c;
    EXPECT_EQ(host.liveWorlds(), 0);
}

// The large frames: the output's checksum against the recorded one.
class RenderGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(RenderGolden, FrameRendersToTheRecordedResult)
{
    const GoldenCase& c = GetParam();
    std::unique_ptr<standin::World> output;
    ASSERT_NO_FATAL_FAILURE(renderCase(c, output));
    const std::uint64_t got = output->pixelChecksum();
    if (got != c.expected) {
        const fs::path actual = failureFolder() / (caseName(c) + ".actual.png");
        writePng(actual, toFilePixels(*output));
        ADD_FAILURE() << "the render of " << c << " changed: checksum 0x" << std::hex << got
                      << ", recorded 0x" << c.expected << "\n  rendered image: " << actual.string();
    }
}

// Recorded with the straightforward engine before any speed work.
const GoldenCase kCases[] = {
    // clang-format off
    {"h00_aliased.png",   false, false, false,   0, 0x8f56a3ca058cecafull},
    {"h00_aliased.png",   false, false, false,   6, 0x8f56a3ca058cecafull},
    {"h00_aliased.png",   false, false, false, 255, 0x8b63c8b0cd4c2088ull},
    {"h00_aliased.png",   false, false, true,    0, 0x86bfb01c03038365ull},
    {"h00_aliased.png",   false, false, true,    6, 0x86bfb01c03038365ull},
    {"h00_aliased.png",   false, false, true,  255, 0x417e6f96b5b16fe7ull},
    {"h01_aliased.png",   false, false, false,   0, 0x4381d6efb3e819d8ull},
    {"h01_aliased.png",   false, false, false,   6, 0x4381d6efb3e819d8ull},
    {"h01_aliased.png",   false, false, false, 255, 0x7545e168638277d7ull},
    {"h01_aliased.png",   false, false, true,    0, 0x1ccf005526ffffe4ull},
    {"h01_aliased.png",   false, false, true,    6, 0x1ccf005526ffffe4ull},
    {"h01_aliased.png",   false, false, true,  255, 0x7ced9ac26986aee4ull},
    {"h02_aliased.png",   false, false, false,   0, 0xdb409da7f77db1b6ull},
    {"h02_aliased.png",   false, false, false,   6, 0xdb409da7f77db1b6ull},
    {"h02_aliased.png",   false, false, false, 255, 0xa2e12c64335e364aull},
    {"h02_aliased.png",   false, false, true,    0, 0x364301c27d224605ull},
    {"h02_aliased.png",   false, false, true,    6, 0x364301c27d224605ull},
    {"h02_aliased.png",   false, false, true,  255, 0xc9ea9314302252daull},
    {"h00_aliased16.png", true, false,  false,   0, 0x99826b12ec6d9622ull},
    {"h00_aliased16.png", true, false,  false,   6, 0x99826b12ec6d9622ull},
    {"h00_aliased16.png", true, false,  false, 255, 0xa016e09b02f8130aull},
    {"h00_aliased16.png", true, false,  true,    0, 0xc462660405e1af4full},
    {"h00_aliased16.png", true, false,  true,    6, 0xc462660405e1af4full},
    {"h00_aliased16.png", true, false,  true,  255, 0x1b1f961b5eec4544ull},
    {"h01_aliased16.png", true, false,  false,   0, 0x3a2d4cddd1d43c7aull},
    {"h01_aliased16.png", true, false,  false,   6, 0x3a2d4cddd1d43c7aull},
    {"h01_aliased16.png", true, false,  false, 255, 0x5b8644009dfd4973ull},
    {"h01_aliased16.png", true, false,  true,    0, 0xb4e26c51f70563d8ull},
    {"h01_aliased16.png", true, false,  true,    6, 0xb4e26c51f70563d8ull},
    {"h01_aliased16.png", true, false,  true,  255, 0xd1bd804491b68a0eull},
    {"h02_aliased16.png", true, false,  false,   0, 0x7be7673c34949888ull},
    {"h02_aliased16.png", true, false,  false,   6, 0x7be7673c34949888ull},
    {"h02_aliased16.png", true, false,  false, 255, 0xdd92ff12dcc459e2ull},
    {"h02_aliased16.png", true, false,  true,    0, 0xeb72296f1818b6feull},
    {"h02_aliased16.png", true, false,  true,    6, 0xeb72296f1818b6feull},
    {"h02_aliased16.png", true, false,  true,  255, 0x622c4925383bb1e2ull},
    {"u00_aliased.png",   false, false, false,   6, 0x7d7a18c60e9a9d98ull},
    {"u00_aliased.png",   false, false, true,    6, 0xcbcf4f8c2511e2dull},
    {"h00_aliased.png",   false, true,  false,   0, 0x8dfcc99cd60a0da8ull},
    {"h00_aliased.png",   false, true,  false,   6, 0xb9f7e9a7d42eff00ull},
    {"h00_aliased.png",   false, true,  false, 255, 0x55d25c5b6abee9abull},
    {"h00_aliased16.png", true,  true,  false,   0, 0xa5e6a2ccbd042a89ull},
    {"h00_aliased16.png", true,  true,  false,   6, 0x327c00879944265dull},
    {"h00_aliased16.png", true,  true,  true,    6, 0xa52194df5770c28eull},
    // clang-format on
};

INSTANTIATE_TEST_SUITE_P(ShippedFrames, RenderGolden, ::testing::ValuesIn(kCases), testName);

// The small frames: the output pixel for pixel against a golden image.
class RenderGoldenImage : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(RenderGoldenImage, FrameRendersToTheGoldenImage)
{
    const GoldenCase& c = GetParam();
    std::unique_ptr<standin::World> output;
    ASSERT_NO_FATAL_FAILURE(renderCase(c, output));
    const FilePixels actual = toFilePixels(*output);
    const fs::path goldenFile = fs::path(TELVIX_RENDER_GOLDEN_DIR) / (caseName(c) + ".png");
    if (updatingGoldens()) {
        fs::create_directories(goldenFile.parent_path());
        writePng(goldenFile, actual);
        std::cout << "wrote " << goldenFile.string() << "\n";
        return;
    }
    if (!fs::exists(goldenFile)) {
        FAIL() << "golden image missing: " << goldenFile.string()
               << " (TELVIX_UPDATE_GOLDENS=1 writes it from the current render)";
    }
    const FilePixels golden = readPng(goldenFile);

    std::ostringstream problem;
    if (golden.width != actual.width || golden.height != actual.height ||
        golden.deep != actual.deep) {
        problem << "the golden image is " << golden.width << "x" << golden.height
                << (golden.deep ? " 16-bit" : " 8-bit") << ", the render " << actual.width << "x"
                << actual.height << (actual.deep ? " 16-bit" : " 8-bit");
    } else {
        std::size_t differing = 0;
        int firstX = -1;
        int firstY = -1;
        for (int y = 0; y < actual.height; ++y) {
            for (int x = 0; x < actual.width; ++x) {
                const std::uint16_t* g = golden.at(x, y);
                if (!std::equal(g, g + 4, actual.at(x, y))) {
                    if (differing++ == 0) {
                        firstX = x;
                        firstY = y;
                    }
                }
            }
        }
        if (differing == 0) {
            return;
        }
        const std::uint16_t* g = golden.at(firstX, firstY);
        const std::uint16_t* a = actual.at(firstX, firstY);
        problem << differing << " of " << std::size_t(actual.width) * std::size_t(actual.height)
                << " pixels differ; the first at (" << firstX << ", " << firstY << "): RGBA "
                << a[0] << " " << a[1] << " " << a[2] << " " << a[3] << ", golden " << g[0] << " "
                << g[1] << " " << g[2] << " " << g[3];
        const fs::path diff = failureFolder() / (caseName(c) + ".diff.png");
        writePng(diff, differencePicture(golden, actual));
        problem << "\n  differing pixels (red): " << diff.string();
    }
    const fs::path actualFile = failureFolder() / (caseName(c) + ".actual.png");
    writePng(actualFile, actual);
    ADD_FAILURE() << "the render of " << c << " differs from its golden image "
                  << goldenFile.string() << ": " << problem.str()
                  << "\n  rendered image: " << actualFile.string();
}

// Every small frame at both depths, key off and on, tolerance 6; one also with grain.
std::vector<GoldenCase> smallCases()
{
    std::vector<GoldenCase> cases;
    for (const char* file :
         {"small/s00_aliased.png", "small/s01_aliased.png", "small/s02_aliased.png",
          "small/s03_aliased.png", "small/s04_aliased.png"}) {
        for (bool deep : {false, true}) {
            for (bool key : {false, true}) {
                cases.push_back({file, deep, false, key, 6, 0});
            }
        }
    }
    // With grain, where the tolerance decides what is similar (grain compresses poorly, so two).
    cases.push_back({"small/s01_aliased.png", false, true, false, 6, 0});
    cases.push_back({"small/s01_aliased.png", true, true, true, 6, 0});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(SmallFrames, RenderGoldenImage, ::testing::ValuesIn(smallCases()),
                         testName);

}  // namespace
