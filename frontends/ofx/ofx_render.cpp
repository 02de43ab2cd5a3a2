// The render action: the host's images into worlds, the engine's frame, the render window back.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "ofx_image.h"
#include "ofx_instance.h"
#include "ofx_runner.h"
#include "telvix_params.h"

namespace telvix::ofx {

namespace {

// An image fetched from a clip, released when the holder goes: images live only inside the
// action that fetched them.
class HeldImage {
public:
    HeldImage(OfxImageClipHandle clip, OfxTime time)
    {
        if (clip == nullptr ||
            suites().effect->clipGetImage(clip, time, nullptr, &handle_) != kOfxStatOK) {
            handle_ = nullptr;
        }
    }
    HeldImage(const HeldImage&) = delete;
    HeldImage& operator=(const HeldImage&) = delete;
    ~HeldImage()
    {
        if (handle_ != nullptr) suites().effect->clipReleaseImage(handle_);
    }
    explicit operator bool() const { return handle_ != nullptr; }
    Properties properties() const { return Properties(handle_); }

private:
    OfxPropertySetHandle handle_ = nullptr;
};

// A world of the plug-in's own for the length of one render.
class OwnedWorld {
public:
    explicit OwnedWorld(WorldMemory& memory) : memory_(memory) {}
    OwnedWorld(const OwnedWorld&) = delete;
    OwnedWorld& operator=(const OwnedWorld&) = delete;
    ~OwnedWorld() { freeWorld(memory_, world_); }
    bool allocate(A_long width, A_long height, bool deep)
    {
        return allocateWorld(memory_, width, height, deep, world_);
    }
    PF_EffectWorld& world() { return world_; }

private:
    WorldMemory& memory_;
    PF_EffectWorld world_{};
};

A_u_char channel8(double v)
{
    // NaN and values outside 0-1 come in from scripts and expressions; they clamp.
    const double clamped = v >= 0.0 ? std::min(v, 1.0) : 0.0;
    return static_cast<A_u_char>(std::lround(clamped * 255.0));
}

OfxStatus statusOf(PF_Err err)
{
    switch (err) {
        case PF_Err_NONE:
            return kOfxStatOK;
        case PF_Err_OUT_OF_MEMORY:
            return kOfxStatErrMemory;
        default:
            return kOfxStatFailed;  // a cancelled render, or a failure inside the engine
    }
}

// Transparent black over columns [x1, x2) of row y: all bits zero at every depth.
void clearSpan(const ImageView& out, int y, int x1, int x2)
{
    if (x2 > x1) std::memset(out.pixel(x1, y), 0, std::size_t(x2 - x1) * out.pixelBytes());
}

// The row of a world of `frame`'s size that holds the frame's image row y: worlds are top-down.
A_long worldRow(const OfxRectI& frame, int y) { return frame.y2 - 1 - y; }

PF_EffectWorld rowView(const PF_EffectWorld& world, A_long row, A_long column, A_long width)
{
    PF_EffectWorld view = world;
    const std::size_t pixelSize = PF_WORLD_IS_DEEP(&world) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
    view.data = reinterpret_cast<PF_PixelPtr>(reinterpret_cast<std::uint8_t*>(world.data) +
                                              std::ptrdiff_t(row) * world.rowbytes +
                                              std::ptrdiff_t(column) * std::ptrdiff_t(pixelSize));
    view.width = width;
    view.height = 1;
    return view;
}

// The frame's rows, read from the source image into `world`, and copied into `copy` while each
// row is still in cache: the engine's first step, the output's copy of the input, is then done.
template <typename Sample>
PF_Err sourceIntoWorld(const ImageView& in, const OfxRectI& frame, PF_EffectWorld& world,
                       PF_EffectWorld& copy, OfxRowRunner& runner)
{
    const int width = frame.x2 - frame.x1;
    const std::size_t rowBytes =
        std::size_t(width) * (PF_WORLD_IS_DEEP(&world) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8));
    const PF_Err err = runner.forBands(0, world.height, [&](A_long top, A_long bottom) {
        for (A_long row = top; row < bottom; ++row) {
            const int y = frame.y2 - 1 - static_cast<int>(row);
            const auto rows = in.samples<const Sample>(frame.x1, y, width);
            cli::samplesIntoWorld(rows, static_cast<int>(row), 1, world);
            std::memcpy(
                reinterpret_cast<std::uint8_t*>(copy.data) + std::ptrdiff_t(row) * copy.rowbytes,
                reinterpret_cast<const std::uint8_t*>(world.data) +
                    std::ptrdiff_t(row) * world.rowbytes,
                rowBytes);
        }
    });
    if (err == PF_Err_NONE) runner.knownCopy(&world, &copy);
    return err;
}

// The render window of the output image: the rendered world where it covers the frame, with
// every sample the render left unchanged the source's own; transparent black elsewhere.
template <typename Sample>
PF_Err worldIntoWindow(const PF_EffectWorld& world, const ImageView& in, const OfxRectI& frame,
                       const ImageView& out, const OfxRectI& window, OfxRowRunner& runner)
{
    const int x1 = std::clamp(frame.x1, window.x1, window.x2);
    const int x2 = std::clamp(frame.x2, x1, window.x2);
    return runner.forBands(window.y1, window.y2, [&](A_long top, A_long bottom) {
        for (int y = static_cast<int>(top); y < bottom; ++y) {
            if (y < frame.y1 || y >= frame.y2 || x2 <= x1) {
                clearSpan(out, y, window.x1, window.x2);
                continue;
            }
            clearSpan(out, y, window.x1, x1);
            const PF_EffectWorld view = rowView(world, worldRow(frame, y), x1 - frame.x1, x2 - x1);
            const auto original = in.samples<const Sample>(x1, y, x2 - x1);
            cli::worldIntoSamples(view, &original, 0, 1, out.samples<Sample>(x1, y, x2 - x1));
            clearSpan(out, y, x2, window.x2);
        }
    });
}

OfxRectI intersection(const OfxRectI& a, const OfxRectI& b)
{
    OfxRectI r{std::max(a.x1, b.x1), std::max(a.y1, b.y1), std::min(a.x2, b.x2),
               std::min(a.y2, b.y2)};
    r.x2 = std::max(r.x2, r.x1);
    r.y2 = std::max(r.y2, r.y1);
    return r;
}

OfxStatus refuse(OfxImageEffectHandle effect, OfxStatus status, const std::string& problem)
{
    postError(effect, problem.c_str());
    return status;
}

}  // namespace

FrameControls controlsAt(const Instance& instance, OfxTime time)
{
    const OfxParameterSuiteV1* param = suites().parameter;
    int useKey = kUseColorKeyDefault;
    double rgb[3] = {1.0, 1.0, 1.0};
    int range = kSmoothRangeDefault;
    param->paramGetValueAtTime(instance.useColorKey, time, &useKey);
    param->paramGetValueAtTime(instance.colorKey, time, &rgb[0], &rgb[1], &rgb[2]);
    param->paramGetValueAtTime(instance.smoothRange, time, &range);

    FrameControls controls;
    controls.useColorKey = useKey != 0;
    controls.keyColor =
        PF_Pixel{PF_MAX_CHAN8, channel8(rgb[0]), channel8(rgb[1]), channel8(rgb[2])};
    controls.smoothRange = range;
    return controls;
}

OfxStatus regionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs)
{
    // A step run reaches across the frame: every output pixel may read any source pixel.
    const Instance* instance = instanceOf(effect);
    if (instance == nullptr) return kOfxStatErrBadHandle;
    OfxRectD rod{};
    const OfxTime time = Properties(inArgs).getDouble(kOfxPropTime);
    if (suites().effect->clipGetRegionOfDefinition(instance->source, time, &rod) != kOfxStatOK) {
        return kOfxStatReplyDefault;
    }
    Properties(outArgs).setDoubles("OfxImageClipPropRoI_Source", {rod.x1, rod.y1, rod.x2, rod.y2});
    return kOfxStatOK;
}

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs)
{
    const Instance* instance = instanceOf(effect);
    if (instance == nullptr) return kOfxStatErrBadHandle;
    const Properties args(inArgs);
    const OfxTime time = args.getDouble(kOfxPropTime);
    OfxRectI window{};
    if (!args.getRect(kOfxImageEffectPropRenderWindow, window)) return kOfxStatFailed;

    HeldImage outputImage(instance->output, time);
    if (!outputImage) return kOfxStatFailed;
    ImageView out;
    std::string problem;
    if (const OfxStatus s = readImage(outputImage.properties(), out, problem); s != kOfxStatOK) {
        return refuse(effect, s, problem);
    }
    // Only what the output image holds is ever written; an empty window needs nothing.
    window = intersection(window, out.bounds);
    if (window.x2 <= window.x1 || window.y2 <= window.y1) return kOfxStatOK;

    OfxRowRunner runner(effect, worldMemory());
    HeldImage sourceImage(instance->source, time);
    // The window in transparent black: what a missing source image counts as, and what a
    // window beside the source shows.
    const auto clearWindow = [&] {
        return statusOf(runner.forBands(window.y1, window.y2, [&](A_long top, A_long bottom) {
            for (int y = static_cast<int>(top); y < bottom; ++y) {
                clearSpan(out, y, window.x1, window.x2);
            }
        }));
    };
    if (!sourceImage) return clearWindow();
    ImageView in;
    if (const OfxStatus s = readImage(sourceImage.properties(), in, problem); s != kOfxStatOK) {
        return refuse(effect, s, problem);
    }
    if (in.depth != out.depth || in.channels != out.channels) {
        return refuse(effect, kOfxStatErrImageFormat,
                      "Telvix needs the source and output of the same depth and components.");
    }

    const OfxRectI frame = in.bounds;
    const OfxRectI covered = intersection(window, frame);
    if (covered.x2 <= covered.x1 || covered.y2 <= covered.y1) return clearWindow();
    const int width = frame.x2 - frame.x1;
    const int height = frame.y2 - frame.y1;
    const bool deep = in.depth != Depth::Byte;
    OwnedWorld source(worldMemory());
    OwnedWorld output(worldMemory());
    if (!source.allocate(width, height, deep) || !output.allocate(width, height, deep)) {
        return refuse(effect, kOfxStatErrMemory, "Telvix: not enough memory for this frame.");
    }
    FrameControls controls = controlsAt(*instance, time);
    controls.extent = PF_LRect{0, 0, width, height};

    const PF_Err err = withSampleType(in.depth, [&](auto* sampleType) {
        using Sample = std::remove_pointer_t<decltype(sampleType)>;
        PF_Err e = sourceIntoWorld<Sample>(in, frame, source.world(), output.world(), runner);
        if (e == PF_Err_NONE) e = renderFrame(source.world(), output.world(), controls, runner);
        if (e == PF_Err_NONE) {
            e = worldIntoWindow<Sample>(output.world(), in, frame, out, window, runner);
        }
        return e;
    });
    if (err == PF_Err_OUT_OF_MEMORY) {
        return refuse(effect, kOfxStatErrMemory, "Telvix: not enough memory for this frame.");
    }
    return statusOf(err);
}

}  // namespace telvix::ofx
