// libFuzzer target: every input becomes one command sent through the plug-in's entry point by the
// stand-in host, usually a render of a small random frame under a random host fault plan. Built
// with AddressSanitizer and UndefinedBehaviorSanitizer, it checks after every command:
//  * the result is a code the host can receive: 0, 512 (an exception inside the plug-in), 517
//    (an interrupt), 4 (the host ran out of memory) or a code the fault plan injected;
//  * every world created through new_world was disposed of once (a world whose dispose call was
//    made to fail is the host's to keep), and every suite table delivered was released once;
//  * the input layer was never written;
//  * output pixels whose row and column both lie outside the extent hold exactly what the
//    render's whole-world copies left there: the smoothing pass writes only along the row and
//    the column of the pixel it visits, and the key pass only inside the extent;
//  * a render runs on a host of 1-16 threads, its iterate and copy split into bands of rows with
//    random boundaries, and gives the same result code as the same render on one thread, and,
//    unless an interrupt was planned (which stops the bands wherever they are), the same output
//    bytes, padding included.
//
// Input layout, byte by byte (missing bytes read as 0, so any input is valid):
//   0  flags: bit 0 deep, bit 1 colour key on, bit 2 output size differs from the input's,
//      bit 3 a fault plan follows, bits 4-5 == 3 selects About (bit 6 clear) or parameter setup
//   1, 2  input width and height, 0-64          3, 4  output width and height (bit 2)
//   5, 6  input and output row padding, in channels
//   7  tolerance: 0-255, or, with the top bit of byte 8 set, a value up to 40 outside that range
//   9  palette size 1-4, then 4 bytes alpha, red, green, blue per colour
//      (8-bit values; 16-bit frames use them widened as the host widens the key colour)
//   +1 key: below 128 picks a palette colour, otherwise 4 raw bytes follow
//   +4 extent: left, width, top, height, each reduced into what is left of the output frame
//   +1 initial byte value of the output world (padding included)
//   +1 host threads: 1 + byte % 16     +2 split seed: 1 + the two bytes, little-endian
//   fault plan (bit 3): count 0-3, then per fault callback, call index 1-4, code choice; one
//   byte of refused (bits 0-2) and null (bits 3-5) suites; one byte for an interrupt after
//   that many pixels (255: none)
//   rest: pixels, 2 bits each (a palette index), row by row.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AE_Macros.h"
#include "effect_entry.h"
#include "standin_host.h"

namespace {

using standin::Callback;
using standin::FaultPlan;
using standin::Host;
using standin::World;

// Codes a fault may inject: the host's own errors, the interrupt, and two no host would send.
constexpr PF_Err kFaultCodes[] = {PF_Err_OUT_OF_MEMORY,
                                  PF_Err_INTERNAL_STRUCT_DAMAGED,
                                  PF_Err_INVALID_INDEX,
                                  PF_Err_BAD_CALLBACK_PARAM,
                                  PF_Interrupt_CANCEL,
                                  PF_Err_INVALID_CALLBACK,
                                  4242,
                                  -7};
const char* const kSuiteNames[] = {kPFIterate8Suite, kPFIterate16Suite, kPFANSISuite};

// Reads the input front to back; past its end every byte is 0.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A value in [0, n], n <= 255.
    int upTo(int n) { return byte() % (n + 1); }
    // The next 2-bit field, for pixels.
    int twoBits()
    {
        if (bitsLeft_ == 0) {
            bits_ = byte();
            bitsLeft_ = 8;
        }
        const int v = bits_ & 3;
        bits_ >>= 2;
        bitsLeft_ -= 2;
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    int bits_ = 0;
    int bitsLeft_ = 0;
};

[[noreturn]] void fail(const char* what, long long a = 0, long long b = 0)
{
    std::fprintf(stderr, "render_fuzzer: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

void require(bool ok, const char* what, long long a = 0, long long b = 0)
{
    if (!ok) {
        fail(what, a, b);
    }
}

// The host's 8-to-16 widening, as the key colour gets it.
A_u_short widen(A_u_char c) { return static_cast<A_u_short>(CONVERT8TO16(c)); }

const std::uint8_t* pixelAddress(const World& w, A_long x, A_long y)
{
    const std::size_t size = w.deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
    return reinterpret_cast<const std::uint8_t*>(w.def().data) + std::ptrdiff_t(y) * w.rowbytes() +
           std::ptrdiff_t(x) * std::ptrdiff_t(size);
}

bool samePixel(const World& a, A_long ax, A_long ay, const World& b, A_long bx, A_long by)
{
    const std::size_t size = a.deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
    return std::memcmp(pixelAddress(a, ax, ay), pixelAddress(b, bx, by), size) == 0;
}

// Whole-world byte copy, padding included.
std::vector<std::uint8_t> bytesOf(const World& w)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(w.def().data);
    return std::vector<std::uint8_t>(p, p + std::size_t(w.rowbytes()) * std::size_t(w.height()));
}

struct Case {
    bool deep = false;
    A_long inWidth = 0, inHeight = 0, outWidth = 0, outHeight = 0;
    A_long inPadding = 0, outPadding = 0;
    standin::Settings settings;
    PF_LRect extent{};
    bool withFaults = false;
};

// Reads the fault plan part of the input into `plan`.
void readFaults(Reader& in, FaultPlan& plan)
{
    const int count = in.upTo(3);
    for (int i = 0; i < count; ++i) {
        const auto callback = static_cast<Callback>(in.upTo(standin::kCallbackCount - 1));
        const int atCall = 1 + in.upTo(3);
        const PF_Err code = kFaultCodes[in.upTo(7)];
        plan.failures.push_back({callback, atCall, code});
    }
    const std::uint8_t suites = in.byte();
    for (int s = 0; s < 3; ++s) {
        if (suites & (1 << s)) {
            plan.refusedSuites.emplace_back(kSuiteNames[s]);
        }
        if (suites & (8 << s)) {
            plan.nullSuites.emplace_back(kSuiteNames[s]);
        }
    }
    const std::uint8_t cancel = in.byte();
    plan.cancelAfterPixels = cancel == 255 ? -1 : cancel;
}

// True when `code` is one the host may receive from the plug-in under `plan`.
bool receivable(PF_Err code, const FaultPlan& plan)
{
    if (code == PF_Err_NONE || code == PF_Err_INTERNAL_STRUCT_DAMAGED ||
        code == PF_Interrupt_CANCEL || code == PF_Err_OUT_OF_MEMORY) {
        return true;
    }
    return std::any_of(plan.failures.begin(), plan.failures.end(),
                       [&](const standin::Fault& f) { return f.code == code; });
}

// True when the fault plan made call number `n` of `callback` fail (it was then reached).
bool faultFired(const Host& host, const FaultPlan& plan, Callback callback)
{
    return std::any_of(plan.failures.begin(), plan.failures.end(), [&](const standin::Fault& f) {
        return f.callback == callback && f.code != PF_Err_NONE && f.atCall <= host.calls(callback);
    });
}

// What holds after every command, whatever it was: nothing the plug-in took is still held.
void checkHostBooks(const Host& host, const FaultPlan& plan, PF_Err result)
{
    require(receivable(result, plan), "result the host cannot receive", result);
    const bool clean = plan.failures.empty() && plan.refusedSuites.empty() &&
                       plan.nullSuites.empty() && plan.cancelAfterPixels < 0;
    require(!clean || result == PF_Err_NONE, "command failed on a faultless host", result);
    // Each created world is disposed of exactly once; a dispose the host failed keeps its world.
    require(host.calls(Callback::DisposeWorld) == host.worldsCreated(), "world not disposed of",
            host.calls(Callback::DisposeWorld), host.worldsCreated());
    const int kept = faultFired(host, plan, Callback::DisposeWorld) ? 1 : 0;
    require(host.liveWorlds() == kept, "live worlds after the command", host.liveWorlds(), kept);
    // Each delivered table is released exactly once (a failing release is still a release).
    require(host.calls(Callback::ReleaseSuite) == host.suitesAcquired(), "suite not released",
            host.calls(Callback::ReleaseSuite), host.suitesAcquired());
}

// Renders `input` into a fresh output world holding `outputBefore`'s bytes and extent, on a host
// with `threading` and `plan`; checks the host's books and returns the output.
World renderOnHost(const Case& c, World& input, const World& outputBefore,
                   const standin::Settings& settings, const FaultPlan& plan,
                   standin::Threading threading, PF_Err& result)
{
    World output(c.outWidth, c.outHeight, c.deep, c.outPadding);
    std::memcpy(output.def().data, outputBefore.def().data,
                std::size_t(output.rowbytes()) * std::size_t(c.outHeight));
    output.def().extent_hint = outputBefore.def().extent_hint;
    Host host(&entryPointFunc);
    host.setThreading(threading);
    host.faults() = plan;
    result = host.render(input, output, settings);
    checkHostBooks(host, plan, result);
    return output;
}

void fuzzRender(Reader& in, const Case& c)
{
    World input(c.inWidth, c.inHeight, c.deep, c.inPadding);
    World output(c.outWidth, c.outHeight, c.deep, c.outPadding);

    // A palette of few colours, so that edges are dense.
    const int paletteSize = 1 + in.upTo(3);
    PF_Pixel8 palette8[4]{};
    for (int i = 0; i < paletteSize; ++i) {
        palette8[i] = PF_Pixel8{in.byte(), in.byte(), in.byte(), in.byte()};
    }
    standin::Settings settings = c.settings;
    const std::uint8_t keyChoice = in.byte();
    settings.keyColor = keyChoice < 128 ? palette8[keyChoice % paletteSize]
                                        : PF_Pixel8{in.byte(), in.byte(), in.byte(), in.byte()};

    PF_LRect& extent = output.def().extent_hint;
    extent.left = in.upTo(c.outWidth);
    extent.right = extent.left + in.upTo(c.outWidth - extent.left);
    extent.top = in.upTo(c.outHeight);
    extent.bottom = extent.top + in.upTo(c.outHeight - extent.top);

    const std::uint8_t fill = in.byte();
    std::memset(output.def().data, fill, std::size_t(output.rowbytes()) * std::size_t(c.outHeight));

    // Like a host rendering on several threads, with band boundaries drawn anew for every
    // iterate from a nonzero seed.
    standin::Threading threading;
    threading.threads = 1 + in.byte() % 16;
    const std::uint32_t seedLow = in.byte();
    threading.splitSeed = 1 + (seedLow | std::uint32_t(in.byte()) << 8);

    Host host(&entryPointFunc);
    host.setThreading(threading);
    if (c.withFaults) {
        readFaults(in, host.faults());
    }
    for (A_long y = 0; y < c.inHeight; ++y) {
        for (A_long x = 0; x < c.inWidth; ++x) {
            const PF_Pixel8 p = palette8[in.twoBits() % paletteSize];
            if (c.deep) {
                input.at<PF_Pixel16>(x, y) =
                    PF_Pixel16{widen(p.alpha), widen(p.red), widen(p.green), widen(p.blue)};
            } else {
                input.at<PF_Pixel8>(x, y) = p;
            }
        }
    }

    const std::vector<std::uint8_t> inputBefore = bytesOf(input);
    World outputBefore(c.outWidth, c.outHeight, c.deep, c.outPadding);
    std::memcpy(outputBefore.def().data, output.def().data,
                std::size_t(output.rowbytes()) * std::size_t(c.outHeight));
    outputBefore.def().extent_hint = extent;

    const FaultPlan plan = host.faults();
    const PF_Err result = host.render(input, output, settings);
    checkHostBooks(host, plan, result);
    require(bytesOf(input) == inputBefore, "input layer written");

    // Once the first copy has run, the overlap of the two frames holds the input; elsewhere the
    // output keeps what it had.
    const bool copied =
        host.calls(Callback::Copy) >= 1 &&
        !std::any_of(plan.failures.begin(), plan.failures.end(), [](const standin::Fault& f) {
            return f.callback == Callback::Copy && f.atCall == 1 && f.code != PF_Err_NONE;
        });
    for (A_long y = 0; y < c.outHeight; ++y) {
        const bool rowVisited = y >= extent.top && y < extent.bottom;
        for (A_long x = 0; x < c.outWidth; ++x) {
            const bool inSource = x < c.inWidth && y < c.inHeight;
            if (!inSource) {
                require(samePixel(output, x, y, outputBefore, x, y),
                        "output pixel outside the input frame changed", x, y);
                continue;
            }
            if (rowVisited || (x >= extent.left && x < extent.right)) {
                continue;  // within reach of a visited pixel
            }
            const bool same = copied ? samePixel(output, x, y, input, x, y)
                                     : samePixel(output, x, y, outputBefore, x, y);
            require(same, "output pixel out of the extent's reach changed", x, y);
        }
    }

    // The same render on one thread: the plug-in's output must not depend on how the host
    // splits its rows. A planned interrupt stops the bands at whatever pixels they have reached,
    // so only the result code is compared then.
    PF_Err serialResult = PF_Err_NONE;
    const World serial =
        renderOnHost(c, input, outputBefore, settings, plan, standin::Threading{}, serialResult);
    require(serialResult == result, "result differs from the one-thread render", result,
            serialResult);
    if (plan.cancelAfterPixels < 0) {
        require(bytesOf(serial) == bytesOf(output), "output differs from the one-thread render",
                threading.threads, threading.splitSeed);
    }
    require(bytesOf(input) == inputBefore, "input layer written by the one-thread render");
}

// About or parameter setup under a fault plan.
void fuzzSetup(Reader& in, bool about)
{
    Host host(&entryPointFunc);
    readFaults(in, host.faults());
    const FaultPlan plan = host.faults();
    std::string text;
    const PF_Err result = about ? host.about(&text) : host.paramsSetup();
    checkHostBooks(host, plan, result);
    // Setup stops at the first refused parameter and never adds more than three.
    if (!about) {
        require(host.registeredParams().size() <= 3, "too many parameters",
                static_cast<long long>(host.registeredParams().size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    const std::uint8_t flags = in.byte();
    if (((flags >> 4) & 3) == 3) {
        fuzzSetup(in, (flags & 0x40) == 0);
        return 0;
    }
    Case c;
    c.deep = flags & 1;
    c.settings.useColorKey = (flags & 2) != 0;
    c.withFaults = (flags & 8) != 0;
    c.inWidth = in.upTo(64);
    c.inHeight = in.upTo(64);
    const A_long otherWidth = in.upTo(64);
    const A_long otherHeight = in.upTo(64);
    c.outWidth = (flags & 4) ? otherWidth : c.inWidth;
    c.outHeight = (flags & 4) ? otherHeight : c.inHeight;
    // Padding in whole channels, so that 16-bit rows stay aligned as a host keeps them.
    const A_long channel = c.deep ? 2 : 1;
    c.inPadding = in.upTo(15) * channel;
    c.outPadding = in.upTo(15) * channel;
    const std::uint8_t tolerance = in.byte();
    const std::uint8_t range = in.byte();
    // A host keeps the slider in 0-255; now and then try a value outside that range.
    c.settings.tolerance =
        (range & 0x80) ? A_long(tolerance % 81) - 40 + (range & 1) * 255 : A_long(tolerance);
    fuzzRender(in, c);
    return 0;
}
