// The test host's own objects behind the opaque handles it hands the plug-in: effects
// (descriptors and instances), clips, parameters, images and the state of one render.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ofx_test_host.h"

namespace telvix::ofxtest {

inline constexpr std::uint32_t kEffectMagic = 0x45464654;    // "EFFT"
inline constexpr std::uint32_t kClipMagic = 0x434c4950;      // "CLIP"
inline constexpr std::uint32_t kParamMagic = 0x5041524d;     // "PARM"
inline constexpr std::uint32_t kParamSetMagic = 0x50534554;  // "PSET"

struct Effect;

struct Param {
    std::uint32_t magic = kParamMagic;
    std::string type, name;
    PropertySet props{false};
    std::vector<double> values;  // the instance's value, one per component
};

struct ParamSet {
    std::uint32_t magic = kParamSetMagic;
    bool descriptor = true;  // paramDefine works on descriptors alone
    PropertySet props{false};
    std::vector<std::unique_ptr<Param>> params;
    Param* find(const std::string& name) const;
};

struct Clip {
    std::uint32_t magic = kClipMagic;
    std::string name;
    PropertySet props{false};
    Effect* owner = nullptr;
};

// An image's memory as a layout asks: `stride` bytes a row, rows bottom-up from data or, with
// a negative row stride, top-down so that data sits at the start of the last stored row.
struct Buffer {
    std::vector<std::uint8_t> bytes;
    std::size_t dataOffset = 0;
    int rowBytes = 0;  // signed, as the image says (before any announced override)
    int stride = 0;
    std::uint8_t* data() { return bytes.data() + dataOffset; }
    std::uint8_t* row(int fromBottom)
    {
        return data() + static_cast<std::ptrdiff_t>(fromBottom) * rowBytes;
    }
};

struct RenderState {
    RenderSetup setup;
    ImageLayout output;
    Buffer source, out;
    std::atomic<long> abortCalls{0};
    std::atomic<int> liveImages{0};
};

struct Effect {
    enum class Kind { Plugin, Context, Instance };
    explicit Effect(Kind k) : kind(k) { props = std::make_unique<PropertySet>(false); }
    std::uint32_t magic = kEffectMagic;
    Kind kind;
    std::unique_ptr<PropertySet> props;
    ParamSet params;
    std::vector<std::unique_ptr<Clip>> clips;
    std::unique_ptr<RenderState> render;  // while an instance renders
    Clip* clip(const std::string& name) const;
};

struct Image {
    PropertySet props;
    Effect* owner = nullptr;
};

const OfxImageEffectSuiteV1& imageEffectSuite();
const OfxParameterSuiteV1& parameterSuite();
void defineDescriptorProperties(PropertySet& props, const std::filesystem::path& binary);
void registerImage(std::unique_ptr<Image> image);
OfxStatus releaseImage(OfxPropertySetHandle handle);
int dropImagesOf(const Effect* owner);  // images not released; forgets them
void countImageMemory(long delta);

}  // namespace telvix::ofxtest
