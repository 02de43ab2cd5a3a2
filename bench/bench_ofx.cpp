// The OpenFX plug-in's render against the stand-in host's render of the same frame: the
// synthetic cel frames of bench_smoothing at 1080p and 2160p, 8-bit, 16-bit and float RGBA,
// loaded from the built bundle by the tests' OpenFX host. Only the Render action is timed (the
// host lays its images out beforehand, and renders twice on the same images so that the output's
// first touch is not counted, as a host reuses its buffers).
//   ofx        the OFX render at `threads` threads of the multithread suite
//   standin    the plug-in's render through the stand-in host, at one thread
// `--quick` shrinks the frames for CTest.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "effect_entry.h"
#include "frame_makers.h"
#include "frame_world.h"
#include "ofx_test_host.h"
#include "standin_host.h"

namespace {

bool gQuick = false;
constexpr std::uint32_t kSeed = 20261208u;

struct Frame {
    const char* name;
    int width, height;
    const char* depth;  // OFX depth of the images
};

int scaled(int n) { return gQuick ? n / 8 : n; }

// The synthetic frame as a world of the stand-in host (8-bit for Byte, 16-bit otherwise).
standin::World syntheticWorld(const Frame& f)
{
    standin::World world(scaled(f.width), scaled(f.height), std::strcmp(f.depth, kOfxBitDepthByte));
    telvix::test::drawSyntheticCelFrame(world, kSeed);
    return world;
}

// The same frame as packed OFX samples, top row first, RGBA.
std::vector<std::uint8_t> ofxSamples(const Frame& f)
{
    const standin::World world = syntheticWorld(f);
    const std::size_t count = std::size_t(world.width()) * std::size_t(world.height()) * 4;
    std::vector<std::uint8_t> bytes;
    if (!world.deep()) {
        bytes.resize(count);
        telvix::cli::worldToSamples(world, 4, bytes.data());
        return bytes;
    }
    std::vector<std::uint16_t> shorts(count);
    telvix::cli::worldToSamples(world, 4, shorts.data());
    if (std::strcmp(f.depth, kOfxBitDepthShort) == 0) {
        bytes.resize(count * 2);
        std::memcpy(bytes.data(), shorts.data(), bytes.size());
        return bytes;
    }
    std::vector<float> floats(count);
    for (std::size_t i = 0; i < count; ++i) floats[i] = float(shorts[i]) / 65535.0f;
    bytes.resize(count * 4);
    std::memcpy(bytes.data(), floats.data(), bytes.size());
    return bytes;
}

telvix::ofxtest::Host& ofxHost()
{
    static telvix::ofxtest::Host host(TELVIX_OFX_BINARY);
    return host;
}

void runOfx(benchmark::State& state, const Frame& f, unsigned threads)
{
    using namespace telvix::ofxtest;
    Host& host = ofxHost();
    if (!host.error().empty()) {
        state.SkipWithError(host.error().c_str());
        return;
    }
    host.setThreads(threads);
    RenderSetup setup;
    setup.source.depth = f.depth;
    setup.output.depth = f.depth;
    setup.source.bounds = OfxRectI{0, 0, scaled(f.width), scaled(f.height)};
    setup.sourcePixels = ofxSamples(f);
    setup.renderRepeats = 2;
    auto instance = host.createInstance();
    for (auto _ : state) {
        const RenderResult r = instance->render(setup);
        if (r.status != kOfxStatOK || r.renderSeconds.size() != 2) {
            state.SkipWithError("render failed");
            break;
        }
        state.SetIterationTime(r.renderSeconds[1]);
    }
    state.SetItemsProcessed(state.iterations() * scaled(f.width) * scaled(f.height));
}

void runStandin(benchmark::State& state, const Frame& f)
{
    standin::World input = syntheticWorld(f);
    standin::World output(input.width(), input.height(), input.deep());
    standin::Host host(&entryPointFunc);
    const standin::Settings settings;
    if (host.render(input, output, settings) != PF_Err_NONE) {
        state.SkipWithError("render failed");
        return;
    }
    for (auto _ : state) {
        if (host.render(input, output, settings) != PF_Err_NONE) {
            state.SkipWithError("render failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * input.width() * input.height());
}

void registerAll()
{
    static const Frame frames[] = {
        {"synthetic1080/8", 1920, 1080, kOfxBitDepthByte},
        {"synthetic1080/16", 1920, 1080, kOfxBitDepthShort},
        {"synthetic1080/float", 1920, 1080, kOfxBitDepthFloat},
        {"synthetic2160/8", 3840, 2160, kOfxBitDepthByte},
        {"synthetic2160/16", 3840, 2160, kOfxBitDepthShort},
        {"synthetic2160/float", 3840, 2160, kOfxBitDepthFloat},
    };
    for (const Frame& f : frames) {
        // The float frame's stand-in render is the 16-bit one: the command smooths floats at 16.
        if (std::strcmp(f.depth, kOfxBitDepthFloat) != 0) {
            benchmark::RegisterBenchmark((std::string(f.name) + "/standin").c_str(),
                                         [f](benchmark::State& s) { runStandin(s, f); })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
        for (const unsigned threads : {1u, 2u}) {
            benchmark::RegisterBenchmark(
                (std::string(f.name) + "/ofx_threads" + std::to_string(threads)).c_str(),
                [f, threads](benchmark::State& s) { runOfx(s, f, threads); })
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime();
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            gQuick = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
