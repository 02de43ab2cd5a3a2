// A small render driver for profilers and memory measurement: loads one frame, renders it a
// given number of times through the entry point and the stand-in host, and prints the time per
// render. Under callgrind or /usr/bin/time it measures exactly one kind of render and nothing of
// the benchmark library.
//
//   render_driver FILE [--depth 8|16] [--tolerance N] [--key] [--floor|--copy] [--repeat N]
//                      [--threads N] [--split-seed S]
// It also prints a checksum of the rendered pixels, so that renders on different numbers of the
// host's threads can be compared. `--phases` adds where each render's time went, from the host's
// own record of its callbacks (medians over the repeats): the host's copies, the key pass, the
// smoothing pass's recording and applying iterates, the time between them, the temporary world
// and the rest; "serial" is the share of the render spent outside the host's banded calls
// (copies and iterates), which no number of threads shortens.
//   render_driver synthetic:WxH|uniform:WxH [options]   one of the benchmark's drawn frames
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "effect_entry.h"
#include "frame_makers.h"
#include "frame_world.h"
#include "image_read.h"
#include "standin_host.h"
#include "timed_render.h"

namespace {

// A field of /proc/self/status in kB (VmRSS: resident now, VmHWM: peak resident), or -1.
double statusKilobytes(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtod(line.c_str() + field.size() + 1, nullptr);
        }
    }
    return -1;
}

// One render's time by phase, in ms, from the host's spans of its callbacks.
enum Phase { kCopies, kKey, kRecord, kBetween, kApply, kWorlds, kOther, kSerial, kPhases };
constexpr std::array<const char*, kPhases> kPhaseNames = {"copies", "key",    "record", "between",
                                                          "apply",  "worlds", "other",  "serial"};

std::array<double, kPhases> phasesOf(const standin::Host& host, bool key)
{
    std::array<double, kPhases> ms{};
    std::vector<const standin::Host::CallSpan*> iterates;
    double inCalls = 0.0;
    for (const auto& span : host.lastCommandSpans()) {
        const double length = (span.end - span.start) * 1e3;
        inCalls += length;
        switch (span.callback) {
            case standin::Callback::Copy:
                ms[kCopies] += length;
                break;
            case standin::Callback::Iterate8:
            case standin::Callback::Iterate16:
                iterates.push_back(&span);
                break;
            case standin::Callback::NewWorld:
            case standin::Callback::DisposeWorld:
                ms[kWorlds] += length;
                break;
            default:
                break;
        }
    }
    // Iterates in order: the key pass when the key is on, the recording, the applying.
    std::size_t first = key && !iterates.empty() ? 1 : 0;
    if (first == 1) ms[kKey] = (iterates[0]->end - iterates[0]->start) * 1e3;
    if (iterates.size() >= first + 2) {
        const auto* apply = iterates.back();
        ms[kApply] = (apply->end - apply->start) * 1e3;
        for (std::size_t i = first; i + 1 < iterates.size(); ++i) {
            ms[kRecord] += (iterates[i]->end - iterates[i]->start) * 1e3;
        }
        ms[kBetween] = (apply->start - iterates[iterates.size() - 2]->end) * 1e3;
    }
    const double total = host.lastCommandSeconds() * 1e3;
    ms[kOther] = total - inCalls - ms[kBetween];
    // Outside the banded calls: the allocations, the time between the phases and the rest.
    ms[kSerial] = total - ms[kCopies] - ms[kKey] - ms[kRecord] - ms[kApply];
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

// The frame to render: a file, or one of the benchmark's frames drawn at a size:
// "synthetic:WxH" (the synthetic cel frame) or "uniform:WxH" (one flat colour).
standin::World loadFrame(const std::string& name, int depth)
{
    for (const std::string prefix : {"synthetic:", "uniform:"}) {
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        int width = 0, height = 0;
        char rest = 0;
        if (std::sscanf(name.c_str() + prefix.size(), "%dx%d%c", &width, &height, &rest) != 2 ||
            width < 1 || height < 1 || width > 65535 || height > 65535) {
            throw std::runtime_error(
                fmt::format("cannot read the size in '{}' ({}WxH)", name, prefix));
        }
        standin::World world(width, height, depth == 16);
        if (prefix == "uniform:") {
            telvix::test::fillUniformGrey(world);
        } else {
            telvix::test::drawSyntheticCelFrame(world, 20261208u);  // the benchmark's seed
        }
        return world;
    }
    // The decoded file is released before rendering, so that peak memory counts the worlds.
    const auto image = telvix::cli::readImage(name);
    return telvix::cli::imageToWorld(image, depth);
}

int run(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s FILE [--depth 8|16] [--tolerance N] [--key] [--floor|--copy] "
                     "[--repeat N] [--threads N] [--split-seed S] [--phases]\n",
                     argv[0]);
        return 2;
    }
    int depth = 8;
    int repeat = 1;
    bool floor = false;
    bool copyOnly = false;
    bool phases = false;
    standin::Settings settings;
    standin::Threading threading;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--depth" && i + 1 < argc)
            depth = std::atoi(argv[++i]);
        else if (a == "--tolerance" && i + 1 < argc)
            settings.tolerance = std::atoi(argv[++i]);
        else if (a == "--repeat" && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc)
            threading.threads = std::max(1, std::atoi(argv[++i]));
        else if (a == "--split-seed" && i + 1 < argc)
            threading.splitSeed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--key")
            settings.useColorKey = true;
        else if (a == "--floor")
            floor = true;
        else if (a == "--copy")
            copyOnly = true;
        else if (a == "--phases")
            phases = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    standin::World input = loadFrame(argv[1], depth);
    standin::World output(input.width(), input.height(), input.deep());
    standin::Host host(&entryPointFunc);
    host.setPixelFunctionsSkipped(floor);
    host.setThreading(threading);

    const double residentBefore = statusKilobytes("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    // The fastest render as well as the mean: on a shared machine the fastest is the one least
    // disturbed by other work.
    double fastest = 0.0;
    std::array<std::vector<double>, kPhases> phaseTimes;
    std::vector<double> totals;
    for (int i = 0; i < repeat; ++i) {
        const auto renderStart = std::chrono::steady_clock::now();
        const PF_Err err = bench::renderOrCopy(host, input, output, settings, copyOnly);
        if (err != PF_Err_NONE) {
            std::fprintf(stderr, "render failed: %d\n", static_cast<int>(err));
            return 1;
        }
        const std::chrono::duration<double, std::milli> one =
            std::chrono::steady_clock::now() - renderStart;
        fastest = i == 0 ? one.count() : std::min(fastest, one.count());
        const auto split = phasesOf(host, settings.useColorKey);
        for (int p = 0; p < kPhases; ++p) phaseTimes[p].push_back(split[p]);
        totals.push_back(host.lastCommandSeconds() * 1e3);
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    std::printf("%dx%d %d-bit, %d thread%s: %.3f ms per render (fastest %.3f ms), pixels %016llx\n",
                static_cast<int>(input.width()), static_cast<int>(input.height()), depth,
                threading.threads, threading.threads == 1 ? "" : "s", elapsed.count() / repeat,
                fastest, static_cast<unsigned long long>(output.pixelChecksum()));
    if (phases && !copyOnly) {
        std::printf("phases, ms (medians of %d): render %.2f", repeat, median(totals));
        for (int p = 0; p < kPhases; ++p)
            std::printf(", %s %.2f", kPhaseNames[p], median(phaseTimes[p]));
        std::printf(" (%.1f %%)\n", 100.0 * median(phaseTimes[kSerial]) / median(totals));
    }
    // Memory: the frame's own size, what was resident before rendering (program, libraries,
    // input and output worlds), and the peak of the whole run.
    const double frameMB = double(input.rowbytes()) * input.height() / 1e6;
    std::printf(
        "frame %.1f MB; resident before render %.1f MB; peak resident %.1f MB (%.2fx the "
        "frame); render added %.1f MB\n",
        frameMB, residentBefore / 1e3 * 1.024, statusKilobytes("VmHWM") / 1e3 * 1.024,
        statusKilobytes("VmHWM") * 1.024e3 / (frameMB * 1e6),
        (statusKilobytes("VmHWM") - residentBefore) / 1e3 * 1.024);
    return 0;
}

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "render_driver: %s\n", e.what());
        return 1;
    }
}
