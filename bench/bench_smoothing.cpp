// Render benchmarks: the whole render of the plug-in through its entry point and the stand-in
// host, on synthetic cel frames and on the shipped cel frames, beside two floors measured on the
// same frames in the same run:
//   floor  the same render with a per-pixel function that returns at once (the copies, the
//          temporary world and the host's iteration that every render pays anyway);
//   copy   one plain whole-frame copy by the host.
// And the smoothing pass alone on one thread, without the host, each from a fresh copy of the
// frame: `pass_in_place`, the plain serial loop over the rows with every write landed at once;
// `pass_phases`, the pass as a render runs it on one host thread (its bands in order, so they
// land in place); `pass_recorded`, the same with the bands taken last first, so that all but
// the first record their writes and phase 2 lands them (what each band costs on many threads).
// Frames: synthetic cel frames at 1080p and 2160p (scaling), uniform frames (no edges at all),
// and the shipped cel frames (tests/frames, or the folder TELVIX_FRAMES names) at 8 and 16
// bits. bench/run.sh runs everything and the peers.
// Figures are ms per frame and megapixels per second (items/s). `--quick` (or TELVIX_BENCH_QUICK)
// shrinks the frames so that CTest can keep the benchmark building and running.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "banded_runner.h"
#include "effect_entry.h"
#include "frame_makers.h"
#include "frame_world.h"
#include "image_read.h"
#include "render_frame.h"
#include "smoothing_engine.h"
#include "standin_host.h"
#include "timed_render.h"

namespace {

bool gQuick = false;

struct Frame {
    std::string name;
    std::filesystem::path file;  // empty for synthetic frames
    A_long width, height;
    bool deep;
    bool uniform = false;  // one flat colour: what a frame without edges costs
};

standin::World makeInput(const Frame& frame)
{
    if (!frame.file.empty()) {
        const auto image = telvix::cli::readImage(frame.file);
        return telvix::cli::imageToWorld(image, frame.deep ? 16 : 8);
    }
    const A_long w = gQuick ? frame.width / 8 : frame.width;
    const A_long h = gQuick ? frame.height / 8 : frame.height;
    standin::World world(w, h, frame.deep);
    if (frame.uniform) {
        telvix::test::fillUniformGrey(world);
    } else {
        telvix::test::drawSyntheticCelFrame(world, 20261208u);
    }
    return world;
}

enum class Mode { Render, Floor, Copy };

// The smoothing pass alone (key off, tolerance 6), as `pass` says, after a fresh copy.
enum class Pass { InPlace, InOrder, Recorded };

template <typename Pixel>
void runPass(benchmark::State& state, standin::World& input, standin::World& output, Pass pass)
{
    telvix::RenderInfo<Pixel> info{};
    info.tolerance = info.tolerance2 = 6;
    telvix::bindSource(info, &input.def());
    info.output = &output.def();
    const PF_Rect area{0, 0, input.width(), input.height()};
    // One band of the whole area runs the rows in order; bands of one row run last first.
    telvix::test::BandedRunner runner(pass == Pass::Recorded ? 1 : input.height());
    for (auto _ : state) {
        runner.copyWorld(&input.def(), &output.def());
        if (pass == Pass::InPlace) {
            telvix::RenderInfo<Pixel> serial = info;
            serial.writer = nullptr;  // every write lands at once
            for (A_long y = area.top; y < area.bottom; ++y) {
                telvix::smoothRow(serial, y, area.left, area.right);
            }
        } else if (telvix::smoothArea(info, area, runner) != PF_Err_NONE) {
            state.SkipWithError("pass failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * input.width() * input.height());
}

void runPassOf(benchmark::State& state, const Frame& frame, Pass pass)
{
    standin::World input = makeInput(frame);
    standin::World output(input.width(), input.height(), input.deep());
    if (input.deep()) {
        runPass<PF_Pixel16>(state, input, output, pass);
    } else {
        runPass<PF_Pixel8>(state, input, output, pass);
    }
}

void runRender(benchmark::State& state, const Frame& frame, Mode mode, bool key, A_long tolerance,
               int threads)
{
    standin::World input = makeInput(frame);
    standin::World output(input.width(), input.height(), input.deep());
    standin::Host host(&entryPointFunc);
    host.setPixelFunctionsSkipped(mode == Mode::Floor);
    host.setThreading(standin::Threading{threads, 0});
    standin::Settings settings;
    settings.useColorKey = key;
    settings.tolerance = tolerance;
    // One untimed render first, so that the first timed one does not pay for the output world's
    // first touch (fresh pages from the system); a host renders into buffers it reuses.
    if (bench::renderOrCopy(host, input, output, settings, mode == Mode::Copy) != PF_Err_NONE) {
        state.SkipWithError("render failed");
        return;
    }
    for (auto _ : state) {
        const PF_Err err = bench::renderOrCopy(host, input, output, settings, mode == Mode::Copy);
        if (err != PF_Err_NONE) {
            state.SkipWithError("render failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * input.width() * input.height());
    state.counters["Mpx"] = static_cast<double>(input.width()) * input.height() / 1e6;
}

std::filesystem::path framesFolder()
{
    if (const char* env = std::getenv("TELVIX_FRAMES")) return env;
    return std::filesystem::path(TELVIX_SOURCE_DIR) / "tests" / "frames";
}

void registerAll()
{
    std::vector<Frame> frames = {
        {"synthetic1080/8", {}, 1920, 1080, false},
        {"synthetic1080/16", {}, 1920, 1080, true},
        {"synthetic2160/8", {}, 3840, 2160, false},
        {"synthetic2160/16", {}, 3840, 2160, true},
        {"uniform1080/8", {}, 1920, 1080, false, true},
        {"uniform1080/16", {}, 1920, 1080, true, true},
    };
    if (!gQuick) {
        const auto dir = framesFolder();
        const auto add = [&](const char* name, const char* file, bool deep) {
            if (std::filesystem::exists(dir / file))
                frames.push_back({name, dir / file, 0, 0, deep});
        };
        add("h00_1080/8", "h00_aliased.png", false);
        add("h01_1080/8", "h01_aliased.png", false);
        add("h02_1080/8", "h02_aliased.png", false);
        add("h00_1080/16", "h00_aliased16.png", true);
        add("h01_1080/16", "h01_aliased16.png", true);
        add("h02_1080/16", "h02_aliased16.png", true);
        add("u00_2160/8", "u00_aliased.png", false);
        if (!std::filesystem::exists(dir / "h00_aliased.png"))
            frames.push_back({"sample_1080/8",
                              std::filesystem::path(TELVIX_SOURCE_DIR) / "samples" / "cel.png", 0,
                              0, false});
    }
    for (const Frame& f : frames) {
        const auto reg = [&](const std::string& what, Mode mode, bool key, A_long tol,
                             int threads = 1) {
            benchmark::RegisterBenchmark((f.name + "/" + what).c_str(),
                                         [f, mode, key, tol, threads](benchmark::State& s) {
                                             runRender(s, f, mode, key, tol, threads);
                                         })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                // Beside the median: on a shared machine the fastest repetition is the one least
                // disturbed by other work (large frames suffer most from others' memory traffic).
                ->ComputeStatistics("min", [](const std::vector<double>& v) {
                    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
                });
        };
        const std::pair<Pass, const char*> passes[] = {{Pass::InPlace, "/pass_in_place"},
                                                       {Pass::InOrder, "/pass_phases"},
                                                       {Pass::Recorded, "/pass_recorded"}};
        for (const auto& [pass, name] : passes) {
            benchmark::RegisterBenchmark(
                (f.name + name).c_str(),
                [f, pass = pass](benchmark::State& s) { runPassOf(s, f, pass); })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
        reg("copy", Mode::Copy, false, 6);
        reg("floor", Mode::Floor, false, 6);
        reg("floor_key", Mode::Floor, true, 6);
        reg("render_tol6", Mode::Render, false, 6);
        reg("render_tol6_key", Mode::Render, true, 6);
        // The host's iterates and copies split into bands on several threads, as After Effects
        // renders a frame: 2, 4 and 8 where the machine has that many cores.
        for (int threads = 2; threads <= 8; threads *= 2) {
            if (threads <= static_cast<int>(std::thread::hardware_concurrency())) {
                const std::string suffix = "_threads" + std::to_string(threads);
                reg("floor" + suffix, Mode::Floor, false, 6, threads);
                reg("render_tol6" + suffix, Mode::Render, false, 6, threads);
            }
        }
        if (f.file.empty() && !f.deep && !f.uniform && f.width == 1920) {
            reg("render_tol0", Mode::Render, false, 0);
            reg("render_tol255", Mode::Render, false, 255);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            gQuick = true;
        else
            args.push_back(argv[i]);
    }
    if (std::getenv("TELVIX_BENCH_QUICK")) gQuick = true;
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
