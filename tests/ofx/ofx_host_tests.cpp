// The OFX plug-in loaded from its bundle by the test host: what it describes, and its renders,
// which must be exactly what the telvix command's path gives for the same samples (the sample
// exchange around the After Effects entry point) at every depth, layout, thread count and
// render window; and errors, never crashes, on broken input.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "effect_entry.h"
#include "ofx_frames.h"
#include "ofx_test_host.h"
#include "plugin_driver.h"
#include "sample_exchange.h"

namespace {

using namespace telvix::ofxtest;
using telvix::cli::SampleRows;

// One host for the program: the plug-in keeps the suites it fetched at load.
std::unique_ptr<Host>& sharedHost()
{
    static std::unique_ptr<Host> host;
    return host;
}

Host& host()
{
    auto& h = sharedHost();
    if (!h) h = std::make_unique<Host>(TELVIX_OFX_BINARY);
    return *h;
}

struct Controls {
    bool key = false;
    std::array<double, 3> colour{1, 1, 1};
    int tolerance = 6;
};

std::unique_ptr<Instance> instanceWith(const Controls& c)
{
    auto instance = host().createInstance();
    EXPECT_TRUE(instance->setParam("useColorKey", {c.key ? 1.0 : 0.0}));
    EXPECT_TRUE(instance->setParam("colorKey", {c.colour[0], c.colour[1], c.colour[2]}));
    EXPECT_TRUE(instance->setParam("smoothRange", {double(c.tolerance)}));
    return instance;
}

// The command's path for packed samples (top row first): into a host world, through the AE
// entry point, back with every untouched sample its original.
template <typename Sample>
std::vector<std::uint8_t> commandPathOf(const std::vector<std::uint8_t>& bytes, int width,
                                        int height, int channels, bool associated,
                                        const Controls& c)
{
    const int bits = sizeof(Sample) == 1 ? 8 : 16;
    std::vector<Sample> in(bytes.size() / sizeof(Sample));
    std::memcpy(in.data(), bytes.data(), bytes.size());
    const SampleRows<const Sample> rows{in.data(), width, channels, bits, associated};
    standin::World world(width, height, bits == 16);
    telvix::cli::samplesIntoWorld(rows, 0, height, world.def());
    telvix::cli::RenderRequest request;
    request.settings.useColorKey = c.key;
    const auto code = [](double v) {
        return A_u_char(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
    };
    request.settings.keyColor =
        PF_Pixel8{255, code(c.colour[0]), code(c.colour[1]), code(c.colour[2])};
    request.settings.tolerance = c.tolerance;
    request.depth = bits;
    world = telvix::cli::renderWorld(&entryPointFunc, std::move(world), request);
    std::vector<Sample> out(in.size());
    telvix::cli::worldIntoSamples(
        world.def(), &rows, 0, height,
        SampleRows<Sample>{out.data(), width, channels, bits, associated});
    std::vector<std::uint8_t> result(bytes.size());
    std::memcpy(result.data(), out.data(), result.size());
    return result;
}

std::vector<std::uint8_t> commandPath(const RenderSetup& s, const Controls& c)
{
    const int w = s.source.width(), h = s.source.height();
    const int channels = componentCount(s.source.components);
    const bool associated = s.source.premultiplication == kOfxImagePreMultiplied;
    if (s.source.depth == kOfxBitDepthByte) {
        return commandPathOf<std::uint8_t>(s.sourcePixels, w, h, channels, associated, c);
    }
    if (s.source.depth == kOfxBitDepthShort) {
        return commandPathOf<std::uint16_t>(s.sourcePixels, w, h, channels, associated, c);
    }
    return commandPathOf<float>(s.sourcePixels, w, h, channels, associated, c);
}

RenderSetup setupOf(std::vector<std::uint8_t> pixels, int width, int height,
                    const std::string& depth = kOfxBitDepthByte,
                    const std::string& components = kOfxImageComponentRGBA)
{
    RenderSetup s;
    s.source.depth = depth;
    s.source.components = components;
    s.source.bounds = {0, 0, width, height};
    s.output = s.source;
    s.sourcePixels = std::move(pixels);
    return s;
}

RenderSetup celSetup(int width, int height, std::uint32_t seed,
                     const std::string& depth = kOfxBitDepthByte,
                     const std::string& components = kOfxImageComponentRGBA)
{
    return setupOf(celFrame(width, height, depth, components, seed), width, height, depth,
                   components);
}

// Moves both images' bounds to start at (x1, y1).
void moveTo(RenderSetup& s, int x1, int y1)
{
    for (ImageLayout* l : {&s.source, &s.output}) {
        l->bounds = {x1, y1, x1 + l->width(), y1 + l->height()};
    }
}

// The output's window pixels (frame order) out of its packed pixels.
std::vector<std::uint8_t> windowOf(const std::vector<std::uint8_t>& pixels, const ImageLayout& l,
                                   const OfxRectI& w)
{
    std::vector<std::uint8_t> out;
    const int pixel = l.pixelBytes();
    for (int y = w.y2 - 1; y >= w.y1; --y) {
        const std::size_t row = std::size_t(l.bounds.y2 - 1 - y);
        const auto* start = pixels.data() + (row * l.width() + (w.x1 - l.bounds.x1)) * pixel;
        out.insert(out.end(), start, start + std::size_t(w.x2 - w.x1) * pixel);
    }
    return out;
}

// Renders `s` through the plug-in and checks it against the command's path: every pixel of the
// render window equal, nothing outside it written, every image released.
::testing::AssertionResult rendersAsCommand(const RenderSetup& s, const Controls& c)
{
    auto instance = instanceWith(c);
    const RenderResult r = instance->render(s);
    if (r.status != kOfxStatOK) {
        return ::testing::AssertionFailure() << r.failedAction << " returned " << r.status;
    }
    if (r.imagesLeaked != 0) {
        return ::testing::AssertionFailure() << r.imagesLeaked << " images not released";
    }
    if (!r.outsideUntouched) {
        return ::testing::AssertionFailure() << "bytes outside the render window were written";
    }
    const OfxRectI window = s.renderWindow.value_or(s.output.bounds);
    const std::vector<std::uint8_t> full = commandPath(s, c);
    const std::vector<std::uint8_t> expected = windowOf(full, s.source, window);
    const std::vector<std::uint8_t> actual = windowOf(r.pixels, s.output, window);
    if (expected != actual) {
        std::size_t i = 0;
        while (expected[i] == actual[i]) ++i;
        return ::testing::AssertionFailure()
               << "window byte " << i << " (pixel " << i / s.output.pixelBytes() << ") is "
               << int(actual[i]) << ", the command's path gives " << int(expected[i]);
    }
    return ::testing::AssertionSuccess();
}

// ---- The test host's own suites, as the plug-in sees them

template <typename Suite>
const Suite* suite(const char* name, int version = 1)
{
    const OfxHost* h = host().ofxHost();
    return static_cast<const Suite*>(h->fetchSuite(h->host, name, version));
}

TEST(OfxTestHost, PropertiesAreTypedWithDimensions)
{
    const auto* p = suite<OfxPropertySuiteV1>(kOfxPropertySuite);
    ASSERT_NE(p, nullptr);
    OfxPropertySetHandle set = host().ofxHost()->host;
    char* name = nullptr;
    ASSERT_EQ(p->propGetString(set, kOfxPropName, 0, &name), kOfxStatOK);
    EXPECT_STREQ(name, kHostName);
    int count = 0;
    EXPECT_EQ(p->propGetDimension(set, kOfxPropAPIVersion, &count), kOfxStatOK);
    EXPECT_EQ(count, 2);
    int value = 0;
    EXPECT_EQ(p->propGetInt(set, kOfxPropAPIVersion, 2, &value), kOfxStatErrBadIndex);
    EXPECT_EQ(p->propGetInt(set, "OfxNoSuchProperty", 0, &value), kOfxStatErrUnknown);
    EXPECT_EQ(p->propSetInt(set, "OfxNoSuchProperty", 0, 1), kOfxStatErrUnknown);
    double d = 0;
    EXPECT_EQ(p->propGetDouble(set, kOfxPropAPIVersion, 0, &d), kOfxStatErrValue);
    EXPECT_EQ(suite<OfxMessageSuiteV2>(kOfxMessageSuite, 3), nullptr);
}

std::atomic<unsigned> seenThreads{0};
std::atomic<int> spawnedThreads{0};
void countThread(unsigned index, unsigned count, void* /*arg*/)
{
    const auto* mt = suite<OfxMultiThreadSuiteV1>(kOfxMultiThreadSuite);
    unsigned reported = 99;
    mt->multiThreadIndex(&reported);
    if (reported == index && count == 8) seenThreads |= 1U << index;
    spawnedThreads += mt->multiThreadIsSpawnedThread();
    // Not recursive.
    if (mt->multiThread(countThread, 2, nullptr) != kOfxStatErrExists) seenThreads |= 1U << 31;
}

TEST(OfxTestHost, MultithreadRunsEveryIndexOnItsOwnThread)
{
    const auto* mt = suite<OfxMultiThreadSuiteV1>(kOfxMultiThreadSuite);
    ASSERT_NE(mt, nullptr);
    ASSERT_EQ(mt->multiThread(countThread, 8, nullptr), kOfxStatOK);
    EXPECT_EQ(seenThreads.load(), 0xFFU);
    EXPECT_EQ(spawnedThreads.load(), 8);
    EXPECT_EQ(mt->multiThreadIsSpawnedThread(), 0);
    OfxMutexHandle m = nullptr;
    ASSERT_EQ(mt->mutexCreate(&m, 0), kOfxStatOK);
    EXPECT_EQ(mt->mutexLock(m), kOfxStatOK);
    std::thread([&] { EXPECT_EQ(mt->mutexTryLock(m), kOfxStatFailed); }).join();
    EXPECT_EQ(mt->mutexUnLock(m), kOfxStatOK);
    EXPECT_EQ(mt->mutexDestroy(m), kOfxStatOK);
}

// ---- What the plug-in describes

TEST(OfxDescribe, PluginIdentityAndCapabilities)
{
    ASSERT_EQ(host().error(), "");
    const OfxPlugin* plugin = host().plugin();
    EXPECT_STREQ(plugin->pluginIdentifier, "com.kesp.Telvix");
    EXPECT_EQ(plugin->pluginVersionMajor, 1U);
    EXPECT_EQ(plugin->pluginVersionMinor, 0U);
    PropertySet& d = host().descriptor();
    EXPECT_EQ(d.stringValue(kOfxPropLabel), "Telvix");
    EXPECT_EQ(d.stringValue(kOfxImageEffectPluginPropGrouping), "Kesp Plug-ins");
    EXPECT_EQ(d.stringValue(kOfxPropPluginDescription), "Smooth line of cell animation.");
    EXPECT_EQ(d.ints(kOfxPropVersion), (std::vector<int>{1, 0, 6}));
    EXPECT_EQ(d.stringValue(kOfxPropVersionLabel), "1.0.6");
    EXPECT_EQ(
        d.strings(kOfxImageEffectPropSupportedContexts),
        (std::vector<std::string>{kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}));
    auto depths = d.strings(kOfxImageEffectPropSupportedPixelDepths);
    std::sort(depths.begin(), depths.end());
    EXPECT_EQ(depths,
              (std::vector<std::string>{kOfxBitDepthByte, kOfxBitDepthFloat, kOfxBitDepthShort}));
    EXPECT_EQ(d.intValue(kOfxImageEffectPropSupportsTiles, 0, -1), 0);
    EXPECT_EQ(d.stringValue(kOfxImageEffectPluginRenderThreadSafety),
              kOfxImageEffectRenderFullySafe);
    EXPECT_EQ(d.intValue(kOfxImageEffectPluginPropHostFrameThreading, 0, -1), 0);
    for (const std::string& name : d.addedNames()) {
        std::printf("note: the plug-in set descriptor property %s, unknown to this host\n",
                    name.c_str());
    }
}

TEST(OfxDescribe, ClipsTakeRgbaAndRgbButNotAlpha)
{
    for (const char* context : {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}) {
        for (const char* clip : {"Source", "Output"}) {
            PropertySet* p = host().clipDescriptor(context, clip);
            ASSERT_NE(p, nullptr) << context << " " << clip;
            auto components = p->strings(kOfxImageEffectPropSupportedComponents);
            std::sort(components.begin(), components.end());
            EXPECT_EQ(components,
                      (std::vector<std::string>{kOfxImageComponentRGB, kOfxImageComponentRGBA}));
            EXPECT_EQ(p->intValue(kOfxImageEffectPropSupportsTiles, 0, -1), 0);
        }
    }
}

TEST(OfxDescribe, ParametersWithLabelsDefaultsAndRanges)
{
    for (const char* context : {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}) {
        PropertySet* key = host().paramDescriptor(context, "useColorKey");
        PropertySet* colour = host().paramDescriptor(context, "colorKey");
        PropertySet* range = host().paramDescriptor(context, "smoothRange");
        ASSERT_TRUE(key && colour && range) << context;
        EXPECT_EQ(key->stringValue("OfxParamPropType"), kOfxParamTypeBoolean);
        EXPECT_EQ(key->stringValue(kOfxPropLabel), "Use Color Key");
        EXPECT_EQ(key->ints(kOfxParamPropDefault), std::vector<int>{0});
        EXPECT_EQ(colour->stringValue("OfxParamPropType"), kOfxParamTypeRGB);
        EXPECT_EQ(colour->stringValue(kOfxPropLabel), "Color Key");
        EXPECT_EQ(colour->doubles(kOfxParamPropDefault), (std::vector<double>{1, 1, 1}));
        EXPECT_EQ(range->stringValue("OfxParamPropType"), kOfxParamTypeInteger);
        EXPECT_EQ(range->stringValue(kOfxPropLabel), "Do Smooth Range");
        EXPECT_EQ(range->ints(kOfxParamPropDefault), std::vector<int>{6});
        EXPECT_EQ(range->ints(kOfxParamPropMin), std::vector<int>{0});
        EXPECT_EQ(range->ints(kOfxParamPropMax), std::vector<int>{255});
        PropertySet* page = host().paramDescriptor(context, "Controls");
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->stringValue("OfxParamPropType"), kOfxParamTypePage);
    }
    auto instance = host().createInstance(kOfxImageEffectContextGeneral);
    EXPECT_EQ(instance->createStatus(), kOfxStatOK);
    EXPECT_EQ(instance->paramValue("smoothRange"), std::vector<double>{6});
}

TEST(OfxDescribe, AsksForTheWholeSourceAsRegionOfInterest)
{
    RenderSetup s = celSetup(40, 30, 3);
    moveTo(s, -7, 5);
    s.renderWindow = OfxRectI{0, 10, 20, 20};
    auto instance = instanceWith({});
    const RenderResult r = instance->render(s);
    ASSERT_EQ(r.status, kOfxStatOK) << r.failedAction;
    ASSERT_TRUE(r.roiSource);
    EXPECT_EQ(*r.roiSource, (std::vector<double>{-7, 5, 33, 35}));
}

// ---- Pixels against the command's path

std::filesystem::path frames() { return TELVIX_FRAMES_DIR; }

// A PNG's samples as stored (straight alpha; OpenImageIO would otherwise premultiply them).
std::unique_ptr<OIIO::ImageInput> openStraight(const std::filesystem::path& file)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    return OIIO::ImageInput::open(file.string(), &config);
}

// A shipped PNG's samples (RGBA, top row first) as OFX byte or short samples.
RenderSetup shippedFrame(const std::filesystem::path& file)
{
    auto in = openStraight(file);
    EXPECT_TRUE(in) << file;
    if (!in) return {};
    const OIIO::ImageSpec& spec = in->spec();
    const bool deep = spec.format.size() == 2;
    EXPECT_EQ(spec.nchannels, 4);
    std::vector<std::uint8_t> bytes(spec.image_bytes());
    EXPECT_TRUE(in->read_image(0, 0, 0, 4, deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8,
                               bytes.data()));
    return setupOf(std::move(bytes), spec.width, spec.height,
                   deep ? kOfxBitDepthShort : kOfxBitDepthByte);
}

// The same frame's 8-bit samples as floats, code / 255.
RenderSetup asFloat(const RenderSetup& byteFrame)
{
    std::vector<float> floats(byteFrame.sourcePixels.begin(), byteFrame.sourcePixels.end());
    for (float& f : floats) f /= 255.0f;
    std::vector<std::uint8_t> bytes(floats.size() * 4);
    std::memcpy(bytes.data(), floats.data(), bytes.size());
    return setupOf(std::move(bytes), byteFrame.source.width(), byteFrame.source.height(),
                   kOfxBitDepthFloat);
}

TEST(OfxPixels, ShippedFramesAsTheCommandRendersThem)
{
    std::vector<std::filesystem::path> files;
    for (const auto& dir : {frames(), std::filesystem::path(TELVIX_SAMPLES_DIR)}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() == ".png") files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 10U);
    host().setThreads(2);
    for (const auto& file : files) {
        const RenderSetup s = shippedFrame(file);
        EXPECT_TRUE(rendersAsCommand(s, {})) << file.filename();
        if (s.source.depth == kOfxBitDepthByte) {
            EXPECT_TRUE(rendersAsCommand(asFloat(s), {})) << file.filename() << " as float";
        }
    }
    host().setThreads(1);
}

TEST(OfxPixels, KeyAndTolerancesAtEveryDepth)
{
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}) {
        for (const bool key : {false, true}) {
            for (const int tolerance : {0, 6, 255}) {
                const RenderSetup s = celSetup(61, 47, std::uint32_t(tolerance + key), depth);
                EXPECT_TRUE(rendersAsCommand(s, {key, {1, 1, 1}, tolerance}))
                    << depth << " key " << key << " tolerance " << tolerance;
            }
        }
        const Controls green{true, {0.1, 0.996, 0.0}, 6};
        EXPECT_TRUE(rendersAsCommand(celSetup(50, 40, 9, depth), green)) << depth;
    }
}

TEST(OfxPixels, EveryThreadCountAndNoMultithreadSuite)
{
    const RenderSetup s = celSetup(97, 83, 11);
    for (const unsigned threads : {1U, 2U, 3U, 8U, 16U}) {
        host().setThreads(threads);
        EXPECT_TRUE(rendersAsCommand(s, {})) << threads << " threads";
    }
    host().setThreads(1);
    sharedHost().reset();
    HostOptions options;
    options.multiThreadSuiteMissing = true;
    sharedHost() = std::make_unique<Host>(TELVIX_OFX_BINARY, options);
    ASSERT_EQ(host().error(), "");
    EXPECT_TRUE(rendersAsCommand(s, {})) << "without the multithread suite";
    sharedHost().reset();
}

TEST(OfxPixels, OriginsRowStridesAndPadding)
{
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}) {
        for (const auto& origin : {std::array{0, 0}, std::array{13, 7}, std::array{-20, -33}}) {
            for (const bool negative : {false, true}) {
                for (const int padding : {0, 12}) {
                    RenderSetup s = celSetup(45, 38, std::uint32_t(origin[0] + padding), depth);
                    moveTo(s, origin[0], origin[1]);
                    s.source.negativeRowBytes = negative;
                    s.source.rowPadding = padding;
                    s.output.negativeRowBytes = !negative;
                    s.output.rowPadding = 16 - padding;
                    EXPECT_TRUE(rendersAsCommand(s, {}))
                        << depth << " origin " << origin[0] << "," << origin[1] << " negative "
                        << negative << " padding " << padding;
                }
            }
        }
    }
}

TEST(OfxPixels, RenderWindowGetsTheFullFrameResultAndNothingElseIsWritten)
{
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
        RenderSetup s = celSetup(70, 50, 21, depth);
        moveTo(s, -10, 4);
        for (const OfxRectI window : {OfxRectI{-10, 4, 60, 54}, OfxRectI{5, 20, 30, 41},
                                      OfxRectI{-10, 53, 60, 54}, OfxRectI{59, 4, 60, 54}}) {
            s.renderWindow = window;
            EXPECT_TRUE(rendersAsCommand(s, {true, {1, 1, 1}, 6}))
                << depth << " window " << window.x1 << "," << window.y1 << " " << window.x2 << ","
                << window.y2;
        }
    }
}

TEST(OfxPixels, RgbImages)
{
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}) {
        EXPECT_TRUE(rendersAsCommand(celSetup(40, 33, 5, depth, kOfxImageComponentRGB),
                                     {true, {1, 1, 1}, 6}))
            << depth;
    }
}

// Colour multiplied by alpha, as a premultiplied host hands it over.
RenderSetup premultiplied(const std::string& depth)
{
    RenderSetup s = celSetup(48, 36, 17, depth);
    const std::size_t n = s.sourcePixels.size() / bytesPerSample(depth);
    for (std::size_t px = 0; px + 3 < n; px += 4) {
        for (std::size_t c = 0; c < 3; ++c) {
            if (depth == kOfxBitDepthByte) {
                auto& v = s.sourcePixels[px + c];
                v = std::uint8_t((v * s.sourcePixels[px + 3] + 127) / 255);
            } else {
                float v, a;
                std::memcpy(&v, &s.sourcePixels[(px + c) * 4], 4);
                std::memcpy(&a, &s.sourcePixels[(px + 3) * 4], 4);
                v *= a;
                std::memcpy(&s.sourcePixels[(px + c) * 4], &v, 4);
            }
        }
    }
    s.source.premultiplication = s.output.premultiplication = kOfxImagePreMultiplied;
    return s;
}

TEST(OfxPixels, PremultipliedInputAsTheCommandsAssociatedAlphaPath)
{
    EXPECT_TRUE(rendersAsCommand(premultiplied(kOfxBitDepthByte), {}));
    EXPECT_TRUE(rendersAsCommand(premultiplied(kOfxBitDepthFloat), {}));
}

TEST(OfxPixels, FloatsOutsideZeroToOneKeepTheirBitsWhereUntouched)
{
    RenderSetup s = celSetup(64, 48, 23, kOfxBitDepthFloat);
    std::vector<float> f(s.sourcePixels.size() / 4);
    std::memcpy(f.data(), s.sourcePixels.data(), s.sourcePixels.size());
    for (std::size_t i = 0; i < f.size(); i += 4) {
        if (f[i + 3] == 0) continue;
        // Paper brighter than white, ink darker than black, and a few odd values.
        for (std::size_t c = 0; c < 3; ++c) {
            f[i + c] = f[i + c] > 0.9f ? 1.75f : (f[i + c] < 0.2f ? -0.25f : f[i + c] + 1e-7f);
        }
    }
    std::memcpy(s.sourcePixels.data(), f.data(), s.sourcePixels.size());
    auto instance = instanceWith({});
    const RenderResult r = instance->render(s);
    ASSERT_EQ(r.status, kOfxStatOK) << r.failedAction;
    const std::vector<std::uint8_t> expected = commandPath(s, {});
    EXPECT_TRUE(expected == r.pixels);
    const auto sameBits = [](const std::uint8_t* a, const std::uint8_t* b) {
        return std::equal(a, a + 4, b);
    };
    std::size_t untouched = 0, changed = 0, outsideKept = 0;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const bool same = sameBits(&r.pixels[i * 4], &s.sourcePixels[i * 4]);
        (same ? untouched : changed)++;
        if (same && (f[i] > 1 || f[i] < 0)) ++outsideKept;
        if (sameBits(&expected[i * 4], &s.sourcePixels[i * 4])) {
            EXPECT_TRUE(same) << "sample " << i << " was left by the command but not the plug-in";
        }
    }
    EXPECT_GT(changed, 0U) << "no line was smoothed";
    EXPECT_GT(outsideKept, 0U) << "no sample outside 0-1 kept";
    EXPECT_GT(untouched, f.size() / 2);
}

TEST(OfxPixels, ThousandsOfSmallRandomFrames)
{
    std::mt19937 rng(20261209);
    const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(rng); };
    const char* depths[] = {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat};
    for (int i = 0; i < 2000; ++i) {
        const int w = pick(1, 20), h = pick(1, 20);
        const char* depth = depths[pick(0, 2)];
        const char* comps = pick(0, 3) == 0 ? kOfxImageComponentRGB : kOfxImageComponentRGBA;
        RenderSetup s = celSetup(w, h, std::uint32_t(i + 1), depth, comps);
        moveTo(s, pick(-30, 30), pick(-30, 30));
        s.source.negativeRowBytes = pick(0, 1) == 1;
        s.output.rowPadding = 4 * pick(0, 2);
        Controls c;
        c.key = pick(0, 1) == 1;
        if (pick(0, 2) == 0) c.colour = {pick(0, 255) / 255.0, 1.0, pick(0, 255) / 255.0};
        c.tolerance = pick(0, 3) == 0 ? 255 : pick(0, 20);
        host().setThreads(unsigned(pick(1, 4)));
        ASSERT_TRUE(rendersAsCommand(s, c))
            << "frame " << i << ": " << w << "x" << h << " " << depth << " " << comps;
    }
    host().setThreads(1);
}

TEST(OfxPixels, SeveralInstancesOnSeveralThreadsAtOnce)
{
    host().setThreads(3);
    std::vector<RenderSetup> setups;
    std::vector<std::vector<std::uint8_t>> expected;
    for (std::uint32_t t = 0; t < 4; ++t) {
        setups.push_back(
            celSetup(80 + int(t), 60, 31 + t, t % 2 == 0 ? kOfxBitDepthByte : kOfxBitDepthFloat));
        expected.push_back(commandPath(setups.back(), {}));
    }
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto instance = instanceWith({});
            for (int round = 0; round < 5; ++round) {
                const RenderResult r = instance->render(setups[t]);
                if (r.status != kOfxStatOK || r.pixels != expected[t]) ++failures[t];
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    host().setThreads(1);
}

// ---- Abort and broken input: an error status, every image released, nothing kept

TEST(OfxFailures, AbortPartWayFailsAndReleasesEverything)
{
    host().setThreads(4);
    const long memory = host().liveMemory(), mutexes = host().liveMutexes();
    const long imageMemory = host().liveImageMemory(), bad = host().badReleases();
    RenderSetup s = celSetup(300, 200, 41);
    long calls = 0;
    {
        auto instance = instanceWith({});
        calls = instance->render(s).abortCalls;
    }
    ASSERT_GT(calls, 0) << "the render never polls abort()";
    for (const long after : {0L, 1L, calls / 2, calls - 1}) {
        s.abortAfter = after;
        auto instance = instanceWith({});
        const RenderResult r = instance->render(s);
        EXPECT_EQ(r.status, kOfxStatFailed) << "abort after " << after;
        EXPECT_EQ(r.imagesLeaked, 0) << "abort after " << after;
    }
    EXPECT_EQ(host().liveMemory(), memory);
    EXPECT_EQ(host().liveImageMemory(), imageMemory);
    EXPECT_EQ(host().liveMutexes(), mutexes);
    EXPECT_EQ(host().badReleases(), bad);
    host().setThreads(1);
}

OfxStatus statusOf(const RenderSetup& s)
{
    auto instance = instanceWith({});
    const RenderResult r = instance->render(s);
    EXPECT_EQ(r.imagesLeaked, 0);
    return r.status;
}

TEST(OfxFailures, BrokenInputGivesAnErrorNeverACrash)
{
    // An empty frame with an empty window has nothing to render, and that succeeds.
    EXPECT_EQ(statusOf(setupOf({}, 0, 0)), kOfxStatOK) << "0x0 frame";
    // Strides shorter than a row of pixels (a stride too large for the memory behind it is
    // beyond what a plug-in can see).
    for (const int rowBytes : {3, 79, 0, -79}) {
        RenderSetup absurd = celSetup(20, 10, 1);
        absurd.source.rowBytes = rowBytes;
        EXPECT_NE(statusOf(absurd), kOfxStatOK) << "source rowBytes " << rowBytes;
    }
    RenderSetup depth = celSetup(20, 10, 1);
    depth.source.depth = depth.output.depth = "OfxBitDepthBogus";
    EXPECT_NE(statusOf(depth), kOfxStatOK) << "unknown depth";
    RenderSetup half = celSetup(20, 10, 1, kOfxBitDepthShort);
    half.source.depth = half.output.depth = kOfxBitDepthHalf;
    EXPECT_NE(statusOf(half), kOfxStatOK) << "half floats";
    RenderSetup alpha = setupOf(std::vector<std::uint8_t>(200, 128), 20, 10, kOfxBitDepthByte,
                                kOfxImageComponentAlpha);
    EXPECT_NE(statusOf(alpha), kOfxStatOK) << "Alpha components";
}

TEST(OfxPixels, OutputLargerThanTheSourceIsTransparentBlackAroundIt)
{
    RenderSetup s = celSetup(20, 10, 3);
    s.output.bounds = {-3, -2, 25, 14};
    s.output.rowPadding = 4;
    auto instance = instanceWith({});
    const RenderResult r = instance->render(s);
    ASSERT_EQ(r.status, kOfxStatOK) << r.failedAction;
    EXPECT_EQ(windowOf(r.pixels, s.output, s.source.bounds), commandPath(s, {}));
    std::size_t nonZero = 0;
    for (int y = s.output.bounds.y1; y < s.output.bounds.y2; ++y) {
        for (int x = s.output.bounds.x1; x < s.output.bounds.x2; ++x) {
            if (x >= 0 && x < 20 && y >= 0 && y < 10) continue;
            const auto px = windowOf(r.pixels, s.output, {x, y, x + 1, y + 1});
            nonZero += std::size_t(std::count_if(px.begin(), px.end(), [](auto v) { return v; }));
        }
    }
    EXPECT_EQ(nonZero, 0U);
}

TEST(OfxFailures, NoSourceImageRendersTransparentBlack)
{
    RenderSetup s = celSetup(20, 10, 1);
    s.sourceMissing = true;
    s.renderWindow = OfxRectI{2, 1, 15, 9};
    auto instance = instanceWith({});
    const RenderResult r = instance->render(s);
    ASSERT_EQ(r.status, kOfxStatOK) << r.failedAction;
    EXPECT_TRUE(r.outsideUntouched);
    const auto window = windowOf(r.pixels, s.output, *s.renderWindow);
    EXPECT_EQ(window, std::vector<std::uint8_t>(window.size(), 0));
}

TEST(OfxFailures, OnePixelFrameRendersAsTheCommand)
{
    for (const bool key : {false, true}) {
        EXPECT_TRUE(rendersAsCommand(celSetup(1, 1, 5), {key, {1, 1, 1}, 6}));
    }
}

// ---- The built command on a shipped file, read back, against the OFX render

TEST(OfxCommand, CommandOutputFileEqualsTheOfxRender)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("telvix-ofx-command-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path in = std::filesystem::path(TELVIX_SAMPLES_DIR) / "cel_small.png";
    const std::filesystem::path out = dir / "smoothed.png";
    const std::string line = std::string("'") + TELVIX_COMMAND + "' smooth '" + in.string() +
                             "' '" + out.string() + "' --tolerance 9 --key FFFFFF --quiet";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
    const RenderSetup s = shippedFrame(in);
    auto written = openStraight(out);
    ASSERT_TRUE(written);
    std::vector<std::uint8_t> file(written->spec().image_bytes());
    ASSERT_EQ(written->spec().nchannels, 4);
    ASSERT_TRUE(written->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, file.data()));
    written.reset();
    std::filesystem::remove_all(dir);
    auto instance = instanceWith({true, {1, 1, 1}, 9});
    const RenderResult r = instance->render(s);
    ASSERT_EQ(r.status, kOfxStatOK);
    ASSERT_EQ(file.size(), r.pixels.size());
    const auto diff = std::mismatch(file.begin(), file.end(), r.pixels.begin());
    EXPECT_TRUE(diff.first == file.end())
        << "the command's file and the OFX render differ first at sample "
        << diff.first - file.begin() << ": " << int(*diff.first) << " against "
        << int(*diff.second);
}

}  // namespace
