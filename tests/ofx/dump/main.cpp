// telvix_ofxtest <bundle binary> <out dir>: loads the OFX plug-in through the test host, renders
// a fixed set of generated cel frames at every depth, with the key off and on, at several
// tolerances, origins, row strides and render windows, each at 1, 2, 3, 8 and 16 host threads
// (which must all give the same bytes), and writes each output's bytes to <out dir>/<case>.ofxd
// and one line per case to <out dir>/cases.txt, so that the Windows build run under Wine and the
// Linux build can be compared file for file.
// Exit status: 0 every case rendered alike at every thread count, 1 a case failed or differed,
// 2 bad arguments or the plug-in did not load.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ofx_frames.h"
#include "ofx_test_host.h"

namespace {

using namespace telvix::ofxtest;

struct Case {
    std::string name;
    RenderSetup setup;
    bool key = false;
    double keyGreen = 1.0;
    int tolerance = 6;
};

Case makeCase(const std::string& name, int width, int height, const char* depth,
              const char* components, std::uint32_t seed)
{
    Case c;
    c.name = name;
    RenderSetup& s = c.setup;
    s.source.depth = depth;
    s.source.components = components;
    s.source.bounds = {0, 0, width, height};
    s.sourcePixels = celFrame(width, height, depth, components, seed);
    s.output = s.source;
    return c;
}

std::vector<Case> cases()
{
    std::vector<Case> all;
    std::uint32_t seed = 1;
    const int origins[3][2] = {{0, 0}, {17, -9}, {-31, 12}};
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}) {
        const std::string d = depth == std::string(kOfxBitDepthByte)    ? "d8"
                              : depth == std::string(kOfxBitDepthShort) ? "d16"
                                                                        : "f32";
        for (const bool key : {false, true}) {
            for (const int tolerance : {0, 6, 255}) {
                const std::uint32_t v = seed++;
                const bool rgb = v % 4 == 0;
                Case c = makeCase(d + (key ? "_key" : "_nokey") + "_tol" +
                                      std::to_string(tolerance) + (rgb ? "_rgb" : "_rgba"),
                                  40 + int(v % 5) * 7, 33 + int(v % 3) * 5, depth,
                                  rgb ? kOfxImageComponentRGB : kOfxImageComponentRGBA, v);
                c.key = key;
                c.tolerance = tolerance;
                RenderSetup& s = c.setup;
                const int* o = origins[v % 3];
                for (ImageLayout* l : {&s.source, &s.output}) {
                    l->bounds = {o[0], o[1], o[0] + l->width(), o[1] + l->height()};
                }
                s.source.negativeRowBytes = v % 2 == 1;
                s.output.negativeRowBytes = v % 3 == 1;
                s.source.rowPadding = 4 * int(v % 3);
                s.output.rowPadding = 8 * int(v % 2);
                if (!rgb && v % 5 == 0) {
                    s.source.premultiplication = s.output.premultiplication =
                        kOfxImagePreMultiplied;
                }
                if (v % 2 == 0) {
                    const OfxRectI& b = s.output.bounds;
                    s.renderWindow = OfxRectI{b.x1 + 5, b.y1 + 4, b.x2 - 9, b.y2 - 3};
                }
                all.push_back(c);
            }
        }
        Case green = makeCase(d + "_greenkey", 64, 48, depth, kOfxImageComponentRGBA, seed++);
        green.key = true;
        green.keyGreen = 0.5;
        all.push_back(green);
        all.push_back(makeCase(d + "_large", 160, 120, depth, kOfxImageComponentRGBA, seed++));
        all.push_back(makeCase(d + "_tiny", 3, 2, depth, kOfxImageComponentRGBA, seed++));
        all.push_back(makeCase(d + "_single", 1, 1, depth, kOfxImageComponentRGBA, seed++));
    }
    return all;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: telvix_ofxtest <bundle binary> <out dir>\n");
        return 2;
    }
    const std::filesystem::path out = argv[2];
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    Host host(argv[1]);
    if (!host.error().empty()) {
        std::fprintf(stderr, "telvix_ofxtest: %s\n", host.error().c_str());
        return 2;
    }
    std::ofstream list(out / "cases.txt", std::ios::binary);
    int failures = 0;
    for (const Case& c : cases()) {
        auto instance = host.createInstance();
        if (!instance || instance->createStatus() != kOfxStatOK ||
            !instance->setParam("useColorKey", {c.key ? 1.0 : 0.0}) ||
            !instance->setParam("colorKey", {1.0, c.keyGreen, 1.0}) ||
            !instance->setParam("smoothRange", {double(c.tolerance)})) {
            std::fprintf(stderr, "FAIL: %s: no instance with the three controls\n", c.name.c_str());
            return 1;
        }
        std::vector<std::uint8_t> first;
        std::string verdict = "ok";
        for (const unsigned threads : {1U, 2U, 3U, 8U, 16U}) {
            host.setThreads(threads);
            const RenderResult r = instance->render(c.setup);
            if (r.status != kOfxStatOK || r.imagesLeaked != 0 || !r.outsideUntouched) {
                verdict = r.failedAction + " returned " + std::to_string(r.status) + " at " +
                          std::to_string(threads) + " threads";
                break;
            }
            if (threads == 1) {
                first = r.pixels;
            } else if (r.pixels != first) {
                verdict = "differs at " + std::to_string(threads) + " threads";
                break;
            }
        }
        if (verdict != "ok") {
            ++failures;
            std::fprintf(stderr, "FAIL: %s: %s\n", c.name.c_str(), verdict.c_str());
        }
        std::ofstream(out / (c.name + ".ofxd"), std::ios::binary)
            .write(reinterpret_cast<const char*>(first.data()), std::streamsize(first.size()));
        const OfxRectI& b = c.setup.output.bounds;
        list << c.name << " " << b.x1 << "," << b.y1 << "," << b.x2 << "," << b.y2 << " "
             << first.size() << " bytes: " << verdict << "\n";
    }
    host.setThreads(1);
    std::printf("%s: %d of %zu cases failed\n", failures == 0 ? "PASS" : "FAIL", failures,
                cases().size());
    return failures == 0 ? 0 : 1;
}
