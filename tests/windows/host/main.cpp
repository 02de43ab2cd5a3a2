// telvix_wintest: loads the effect library as a host does and checks it from outside.
//
//   telvix_wintest <plug-in library> <output folder>
//
// It runs About, global setup and parameter setup and checks their results, checks that a
// missing basic suite gives PF_Err_INTERNAL_STRUCT_DAMAGED, renders every frame of
// frameCases() and writes each result to <output folder>/<case>.tvxd, checks that renders on 2,
// 3, 8 and 16 host threads give the very same pixels, and on Windows reads the PiPL resource back
// and checks it property by property. What the commands returned is also written to
// <output folder>/commands.txt. Built for Windows and for Linux from these same sources, the two
// runs' folders must be identical file for file, byte for byte.
// Exit status 0 when every check passed, 1 otherwise, 2 on bad arguments.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "frame_dump.h"
#include "pipl.h"
#include "plugin_module.h"
#include "standin_host.h"
#include "telvix_version.h"
#include "test_frames.h"

namespace telvix::wintest {

namespace {

// Counts and prints failed checks.
class Checks {
public:
    void expect(bool ok, const std::string& what)
    {
        if (!ok) {
            ++failures_;
            std::printf("FAIL: %s\n", what.c_str());
        }
    }
    template <typename T>
    void expectEq(const T& actual, const T& expected, const std::string& what)
    {
        std::ostringstream text;
        text << what << ": got " << actual << ", expected " << expected;
        expect(actual == expected, text.str());
    }
    int failures() const { return failures_; }

private:
    int failures_ = 0;
};

// `text` with control characters and quotes escaped, in quotes.
std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hex(A_long v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
}

// Reads the PiPL resource back and checks it; global setup's numbers must equal eVER and eGLO.
void checkPiplResource(const PluginModule& module, const PF_OutData& afterGlobalSetup,
                       Checks& checks)
{
    const auto bytes = module.resource("PiPL", kPiplResourceId, kPiplLanguage);
    checks.expect(bytes.has_value(), "PiPL resource 16000, language 1033, found");
    if (!bytes) {
        return;
    }
    checks.expectEq(bytes->size(), std::size_t(282), "PiPL payload length");
    checks.expectEq(expectedPiplBytes().size(), std::size_t(282), "expected PiPL length");
    std::string error;
    const auto pipl = parsePipl(*bytes, &error);
    checks.expect(pipl.has_value(), "PiPL parses: " + error);
    if (!pipl) {
        return;
    }
    for (const std::string& problem : checkPipl(*pipl, *bytes)) {
        checks.expect(false, "PiPL " + problem);
    }
    checks.expectEq(piplLong(*pipl, "eVER").value_or(0), std::uint32_t(afterGlobalSetup.my_version),
                    "PiPL eVER equals global setup's my_version");
    checks.expectEq(piplLong(*pipl, "eGLO").value_or(0), std::uint32_t(afterGlobalSetup.out_flags),
                    "PiPL eGLO equals global setup's out_flags");
    std::printf("PiPL: %zu properties, %zu bytes\n", pipl->properties.size(), bytes->size());
}

void checkParams(const standin::Host& host, Checks& checks, std::ostream& record)
{
    const auto& params = host.registeredParams();
    checks.expectEq(params.size(), std::size_t(3), "parameters added");
    if (params.size() != 3) {
        return;
    }
    const PF_ParamDef& useKey = params[0];
    const PF_ParamDef& key = params[1];
    const PF_ParamDef& range = params[2];
    // The label pointer points into the plug-in's own string table, valid while it is loaded.
    const std::string label = useKey.u.bd.u.nameptr != nullptr ? useKey.u.bd.u.nameptr : "(null)";
    record << "param type=" << useKey.param_type << " id=" << useKey.uu.id
           << " name=" << quoted(useKey.name) << " ui_flags=" << useKey.ui_flags
           << " flags=" << useKey.flags << " value=" << useKey.u.bd.value
           << " default=" << int(useKey.u.bd.dephault) << " label=" << quoted(label) << "\n";
    auto colour = [](const PF_Pixel8& p) {
        return std::to_string(p.alpha) + "," + std::to_string(p.red) + "," +
               std::to_string(p.green) + "," + std::to_string(p.blue);
    };
    record << "param type=" << key.param_type << " id=" << key.uu.id << " name=" << quoted(key.name)
           << " ui_flags=" << key.ui_flags << " flags=" << key.flags
           << " value=" << colour(key.u.cd.value) << " default=" << colour(key.u.cd.dephault)
           << "\n";
    const PF_SliderDef& s = range.u.sd;
    record << "param type=" << range.param_type << " id=" << range.uu.id
           << " name=" << quoted(range.name) << " ui_flags=" << range.ui_flags
           << " flags=" << range.flags << " value=" << s.value << " default=" << s.dephault
           << " valid=" << s.valid_min << ".." << s.valid_max << " slider=" << s.slider_min << ".."
           << s.slider_max << " value_str=" << quoted(s.value_str)
           << " value_desc=" << quoted(s.value_desc) << "\n";

    checks.expect(useKey.param_type == PF_Param_CHECKBOX && useKey.uu.id == 1 &&
                      std::string(useKey.name) == "Use Color Key" && useKey.u.bd.value == 0 &&
                      useKey.u.bd.dephault == 0 && label == "Use Color Key",
                  "parameter 1 is the check box \"Use Color Key\", off");
    const PF_Pixel8 white{255, 255, 255, 255};
    checks.expect(key.param_type == PF_Param_COLOR && key.uu.id == 2 &&
                      std::string(key.name) == "Color Key" &&
                      colour(key.u.cd.value) == colour(white) &&
                      colour(key.u.cd.dephault) == colour(white),
                  "parameter 2 is the colour \"Color Key\", opaque white");
    checks.expect(range.param_type == PF_Param_SLIDER && range.uu.id == 3 &&
                      std::string(range.name) == "Do Smooth Range" && s.value == 6 &&
                      s.dephault == 6 && s.valid_min == 0 && s.valid_max == 255 &&
                      s.slider_min == 0 && s.slider_max == 255 && s.value_str[0] == 0 &&
                      s.value_desc[0] == 0,
                  "parameter 3 is the slider \"Do Smooth Range\", 0..255, 6");
    for (const PF_ParamDef* p : {&useKey, &key, &range}) {
        checks.expect(p->ui_flags == 0 && p->flags == 0,
                      std::string("no UI or parameter flags on ") + p->name);
    }
}

// Failures raised inside the library must come back as codes: a refused suite is thrown as an
// exception inside the plug-in and caught at its entry point (this exercises the toolchain's
// unwinding through the library), and a user's cancel passes through unchanged. Either way the
// temporary world is disposed of and no suite stays acquired.
void checkFailurePaths(standin::Host& host, Checks& checks, std::ostream& record)
{
    const std::pair<const char*, bool> refusals[] = {
        {kPFANSISuite, false}, {kPFIterate8Suite, false}, {kPFIterate16Suite, true}};
    for (const auto& [suite, deep] : refusals) {
        host.faults() = standin::FaultPlan{};
        host.faults().refusedSuites = {suite};
        host.resetCounters();
        std::snprintf(host.outData().return_msg, sizeof host.outData().return_msg, "untouched");
        // About needs the ANSI suite; a render needs the iterate suite of its depth.
        const bool about = std::string(suite) == kPFANSISuite;
        std::string text;
        standin::World in(8, 8, deep), out(8, 8, deep);
        const PF_Err err = about ? host.about(&text) : host.render(in, out, standin::Settings{});
        record << "refused " << quoted(suite) << ": " << err << "\n";
        checks.expectEq(err, PF_Err(PF_Err_INTERNAL_STRUCT_DAMAGED),
                        std::string("command with ") + suite + " refused");
        checks.expectEq(host.liveWorlds(), 0, std::string("worlds left, ") + suite + " refused");
        checks.expectEq(host.suitesHeld(), 0, std::string("suites held, ") + suite + " refused");
        if (about) {
            checks.expectEq(text, std::string("untouched"),
                            "return_msg with the ANSI suite refused");
        }
    }
    for (const bool deep : {false, true}) {
        host.faults() = standin::FaultPlan{};
        host.faults().cancelAfterPixels = 10;
        host.resetCounters();
        standin::World in(16, 16, deep), out(16, 16, deep);
        const PF_Err err = host.render(in, out, standin::Settings{});
        record << "cancelled render " << (deep ? 16 : 8) << "-bit: " << err << "\n";
        checks.expectEq(err, PF_Err(PF_Interrupt_CANCEL), "cancelled render passes the code on");
        checks.expectEq(host.liveWorlds(), 0, "worlds left after a cancelled render");
        checks.expectEq(host.suitesHeld(), 0, "suites held after a cancelled render");
    }
    host.faults() = standin::FaultPlan{};
}

// How many pixels of `output` differ from `input` (same size and depth).
long changedPixels(const standin::World& input, const standin::World& output)
{
    long changed = 0;
    for (A_long y = 0; y < input.height(); ++y) {
        for (A_long x = 0; x < input.width(); ++x) {
            if (input.deep()) {
                const PF_Pixel16 &a = input.at<PF_Pixel16>(x, y), &b = output.at<PF_Pixel16>(x, y);
                changed +=
                    a.alpha != b.alpha || a.red != b.red || a.green != b.green || a.blue != b.blue;
            } else {
                const PF_Pixel8 &a = input.at<PF_Pixel8>(x, y), &b = output.at<PF_Pixel8>(x, y);
                changed +=
                    a.alpha != b.alpha || a.red != b.red || a.green != b.green || a.blue != b.blue;
            }
        }
    }
    return changed;
}

// The host threads every frame case is rendered with besides one: even bands, and bands whose
// boundaries each iterate draws at random from a fixed seed (some empty, some a single row).
constexpr standin::Threading kThreadedHosts[] = {
    {2, 0},
    {3, 0x7E1u},
    {8, 0},
    {16, 0x5EED16u},
};

// Renders `frameCase` with `host` as it is set up; the result code goes to `err`.
standin::World renderCase(standin::Host& host, const FrameCase& frameCase, standin::World& input,
                          PF_Err& err)
{
    standin::World output(frameCase.width, frameCase.height, frameCase.deep, frameCase.rowPadding);
    // Output and input share size and row padding; only the output's extent is narrowed,
    // since it is the output's extent_hint that the render iterates over.
    if (frameCase.partialExtent) {
        output.def().extent_hint = partialExtent(frameCase.width, frameCase.height);
    }
    host.resetCounters();
    err = host.render(input, output, frameCase.settings);
    return output;
}

// Renders every frame case on one host thread, writing each result next to the others, then
// again on several threads at once (each thread visiting a band of rows, on Windows through
// CreateThread): every threaded result must equal the one-thread result byte for byte.
void renderFrames(standin::Host& host, const std::string& folder, Checks& checks,
                  std::ostream& record)
{
    int rendered = 0;
    int threadedRenders = 0;
    for (const FrameCase& frameCase : frameCases()) {
        standin::World input = makeInput(frameCase);
        host.setThreading(standin::Threading{});
        PF_Err err = PF_Err_NONE;
        const standin::World output = renderCase(host, frameCase, input, err);
        record << "render " << frameCase.name << ": " << err
               << " changed=" << changedPixels(input, output) << "\n";
        checks.expectEq(err, PF_Err(PF_Err_NONE), "render " + frameCase.name);
        checks.expectEq(host.liveWorlds(), 0, "worlds left after render " + frameCase.name);
        checks.expectEq(host.suitesHeld(), 0, "suites held after render " + frameCase.name);
        const std::string path = folder + "/" + frameCase.name + ".tvxd";
        checks.expect(writeFrameDump(path, output, err), "write " + path);
        ++rendered;

        for (const standin::Threading& threading : kThreadedHosts) {
            host.setThreading(threading);
            PF_Err threadedErr = PF_Err_NONE;
            const standin::World threaded = renderCase(host, frameCase, input, threadedErr);
            const std::string what = "render " + frameCase.name + " on " +
                                     std::to_string(threading.threads) + " threads (split seed " +
                                     hex(A_long(threading.splitSeed)) + ")";
            checks.expectEq(threadedErr, err, what + ": result");
            checks.expect(threaded.samePixels(output),
                          what + ": pixels equal the one-thread render");
            checks.expectEq(host.liveWorlds(), 0, "worlds left after " + what);
            checks.expectEq(host.suitesHeld(), 0, "suites held after " + what);
            ++threadedRenders;
        }
        host.setThreading(standin::Threading{});
    }
    checks.expect(rendered >= 20, "at least 20 frames rendered");
    std::printf("rendered %d frames, and %d times more on 2 to 16 host threads\n", rendered,
                threadedRenders);
}

int run(const std::string& pluginPath, const std::string& folder)
{
    Checks checks;
    const PluginModule module(pluginPath);
    checks.expect(module.ok(), "load the plug-in: " + module.error());
    if (!module.ok()) {
        return 1;
    }
    // What the commands returned, in a form that must come out the same on every platform
    // (no addresses, no platform-specific text).
    std::ostringstream record;
    standin::Host host(module.entryPoint());

    std::string aboutText;
    const PF_Err aboutErr = host.about(&aboutText);
    record << "about: " << aboutErr << " " << quoted(aboutText) << "\n";
    checks.expectEq(aboutErr, PF_Err(PF_Err_NONE), "About");
    const std::string aboutStart =
        std::string(TELVIX_NAME) + " v" + std::to_string(TELVIX_MAJOR_VERSION) + "." +
        std::to_string(TELVIX_MINOR_VERSION) + std::to_string(TELVIX_BUG_VERSION) + "\r";
    checks.expect(aboutText.rfind(aboutStart, 0) == 0 && aboutText.size() > aboutStart.size(),
                  "About text " + quoted(aboutText) + " starts " + quoted(aboutStart) +
                      " and goes on with the description");

    // Global setup's numbers are compared with the PiPL's below: the two must never drift apart.
    const PF_Err globalErr = host.globalSetup();
    const PF_OutData& out = host.outData();
    record << "global_setup: " << globalErr << " my_version=" << hex(A_long(out.my_version))
           << " out_flags=" << hex(out.out_flags) << " out_flags2=" << hex(out.out_flags2) << "\n";
    checks.expectEq(globalErr, PF_Err(PF_Err_NONE), "global setup");
    checks.expectEq(hex(A_long(out.my_version)), hex(TELVIX_ENCODED_VERSION), "my_version");
    checks.expectEq(hex(out.out_flags), hex(TELVIX_GLOBAL_OUTFLAGS), "out_flags");
    checks.expectEq(hex(out.out_flags2), hex(TELVIX_GLOBAL_OUTFLAGS2), "out_flags2");
    if (PluginModule::hasResources()) {
        checkPiplResource(module, out, checks);
    }

    const PF_Err paramsErr = host.paramsSetup();
    record << "params_setup: " << paramsErr << " num_params=" << host.outData().num_params << "\n";
    checks.expectEq(paramsErr, PF_Err(PF_Err_NONE), "parameter setup");
    checks.expectEq(host.outData().num_params, A_long(4), "num_params");
    checkParams(host, checks, record);

    // Without the basic suite nothing can be acquired: About and render fail with 512, and
    // About leaves the message alone.
    host.setBasicSuiteMissing(true);
    std::snprintf(host.outData().return_msg, sizeof host.outData().return_msg, "untouched");
    std::string unchanged;
    const PF_Err nullAbout = host.about(&unchanged);
    standin::World in(8, 8, false), outWorld(8, 8, false);
    const PF_Err nullRender = host.render(in, outWorld, standin::Settings{});
    record << "null_basic_suite: about=" << nullAbout << " render=" << nullRender << "\n";
    checks.expectEq(nullAbout, PF_Err(PF_Err_INTERNAL_STRUCT_DAMAGED), "About without basic suite");
    checks.expectEq(unchanged, std::string("untouched"), "return_msg without basic suite");
    checks.expectEq(nullRender, PF_Err(PF_Err_INTERNAL_STRUCT_DAMAGED),
                    "render without basic suite");
    checks.expectEq(host.liveWorlds(), 0, "worlds left after a render without basic suite");
    host.setBasicSuiteMissing(false);

    checkFailurePaths(host, checks, record);
    renderFrames(host, folder, checks, record);

    std::ofstream commands(folder + "/commands.txt", std::ios::binary);
    commands << record.str();
    checks.expect(bool(commands.flush()), "write " + folder + "/commands.txt");

    std::printf("%s: %d failed checks\n", checks.failures() == 0 ? "PASS" : "FAIL",
                checks.failures());
    return checks.failures() == 0 ? 0 : 1;
}

}  // namespace

}  // namespace telvix::wintest

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <plug-in library> <output folder>\n", argv[0]);
        return 2;
    }
    // Leave nothing buffered should the plug-in bring the process down.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    try {
        return telvix::wintest::run(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::printf("FAIL: %s\n", e.what());
        return 1;
    }
}
