// A small OpenFX host for tests: it loads an image-effect plug-in's binary, hands it the
// property, image-effect, parameter, memory, multithread and message suites, and drives its
// actions as a strict host would, from Load and Describe to Render and Unload. Images are laid
// out as a test asks (depth, components, premultiplication, bounds anywhere, rows bottom-up or
// top-down in memory, padded rows, even nonsensical row strides), output images are pre-filled
// with a sentinel byte so that writes outside the render window show, and every image, memory
// block and mutex handed out is counted so that leaks show too.
//
// One Host loads one binary; the plug-in keeps the suites it fetched, so only one Host should be
// alive at a time. Instances of one Host may render on several threads at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_platform.h"
#include "ofxCore.h"
#include "ofxImageEffect.h"
#include "ofxMemory.h"
#include "ofxMessage.h"
#include "ofxMultiThread.h"
#include "ofxParam.h"
#include "ofxProperty.h"

namespace telvix::ofxtest {

inline constexpr const char* kHostName = "org.telvix.ofxtesthost";
inline constexpr std::uint8_t kSentinel = 0xA5;

// Bytes per sample of a depth string (0 for strings the host does not lay out) and samples per
// pixel of a components string (0 likewise).
int bytesPerSample(const std::string& depth);
int componentCount(const std::string& components);

enum class PropType { Int, Double, String, Pointer };

struct Property {
    PropType type = PropType::Int;
    bool fixedDimension = true;  // false: the dimension follows what is set
    std::vector<int> ints;
    std::vector<double> doubles;
    std::vector<std::string> strings;
    std::vector<void*> pointers;
    std::size_t size() const;
};

// A typed property set. A strict set refuses names it was not made with (ErrUnknown); a loose
// one (descriptors) takes new names from the plug-in and remembers them in `addedNames`.
class PropertySet {
public:
    explicit PropertySet(bool strict = true) : strict_(strict) {}
    PropertySet(const PropertySet& other);
    PropertySet& operator=(const PropertySet& other);

    // Declaring properties with their values (and dimension: fixed unless `variable`).
    void defineInts(const std::string& name, std::vector<int> values, bool variable = false);
    void defineDoubles(const std::string& name, std::vector<double> values, bool variable = false);
    void defineStrings(const std::string& name, std::vector<std::string> values,
                       bool variable = false);
    void definePointer(const std::string& name, void* value);

    // The suite's work: one value at `index`, or (`many`) the first `count` values.
    template <typename T>
    OfxStatus set(const char* name, int index, int count, const T* values, bool many);
    template <typename T>
    OfxStatus get(const char* name, int index, int count, T* values, bool many) const;
    void setStrict(bool strict) { strict_ = strict; }
    OfxStatus reset(const char* name);
    OfxStatus dimension(const char* name, int* count) const;

    // Reads for the host and the tests (defaults when missing or mistyped).
    int intValue(const std::string& name, int index = 0, int fallback = 0) const;
    double doubleValue(const std::string& name, int index = 0, double fallback = 0) const;
    std::string stringValue(const std::string& name, int index = 0) const;
    std::vector<std::string> strings(const std::string& name) const;
    std::vector<int> ints(const std::string& name) const;
    std::vector<double> doubles(const std::string& name) const;
    bool has(const std::string& name) const;
    std::vector<std::string> addedNames() const;

    OfxPropertySetHandle handle() { return reinterpret_cast<OfxPropertySetHandle>(this); }
    static PropertySet* from(OfxPropertySetHandle handle);

private:
    std::uint32_t magic_ = 0x50524f50;  // "PROP"
    bool strict_;
    mutable HostLock mutex_;
    std::map<std::string, Property> props_;
    std::map<std::string, Property> initial_;
    std::vector<std::string> added_;
};

// How the host lays out one clip's images.
struct ImageLayout {
    std::string depth = kOfxBitDepthByte;
    std::string components = kOfxImageComponentRGBA;
    std::string premultiplication = kOfxImageUnPreMultiplied;
    OfxRectI bounds{0, 0, 0, 0};
    int rowPadding = 0;             // bytes after each row's pixels
    bool negativeRowBytes = false;  // rows top-down in memory: data points at the last stored row
    std::optional<int> rowBytes;    // announced instead of the true stride (the memory stays)

    int width() const { return bounds.x2 - bounds.x1; }
    int height() const { return bounds.y2 - bounds.y1; }
    int pixelBytes() const { return bytesPerSample(depth) * componentCount(components); }
};

// One render as a test asks for it. Pixels are packed rows, top row first (frame order: the
// first row is OFX row bounds.y2 - 1), of source.bounds for the input and output.bounds for the
// result.
struct RenderSetup {
    ImageLayout source;
    ImageLayout output;  // bounds default (all zero) to the source's, depth and layout to its own
    std::vector<std::uint8_t> sourcePixels;
    std::optional<OfxRectI> renderWindow;  // default: the output's bounds
    bool sourceMissing = false;            // clipGetImage on Source fails
    long abortAfter = -1;                  // >= 0: abort() answers 1 once called this many times
    double time = 0;
    int renderRepeats = 1;  // Render sent this many times on the same images
};

struct RenderResult {
    OfxStatus status = kOfxStatOK;     // the first failing action's status, else Render's
    std::string failedAction;          // empty when every action succeeded
    std::vector<std::uint8_t> pixels;  // output.bounds in frame order
    bool outsideUntouched = true;      // no byte outside the window (and no padding) written
    int imagesLeaked = 0;              // images not released when Render returned
    std::optional<std::vector<double>> roiSource;  // what GetRegionsOfInterest answered
    std::optional<std::vector<double>> rod;        // what GetRegionOfDefinition answered
    long abortCalls = 0;
    std::vector<double> renderSeconds;  // each Render action's wall time
};

struct Message {
    std::string type, id, text;
};

struct HostOptions {
    unsigned threads = 1;  // what multiThreadNumCPUs answers (1-16)
    bool multiThreadSuiteMissing = false;
    bool messageSuiteV2 = true;
};

class Host;
struct Effect;
struct Clip;

class Instance {
public:
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // Sets a parameter's value(s): one for Integer/Boolean/Choice/Double, three for RGB, four
    // for RGBA. False for an unknown name or count.
    bool setParam(const std::string& name, const std::vector<double>& values);
    std::vector<double> paramValue(const std::string& name) const;
    RenderResult render(const RenderSetup& setup);
    OfxStatus createStatus() const { return createStatus_; }

private:
    friend class Host;
    Instance() = default;
    Host* host_ = nullptr;
    std::unique_ptr<Effect> effect_;
    OfxStatus createStatus_ = kOfxStatOK;
};

class Host {
public:
    explicit Host(const std::filesystem::path& binary, HostOptions options = {});
    ~Host();  // destroys nothing the tests hold; sends Unload and closes the binary
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Empty when the binary loaded and Load, Describe and DescribeInContext (filter, general)
    // all succeeded; else what went wrong.
    const std::string& error() const { return error_; }
    const OfxPlugin* plugin() const { return plugin_; }
    PropertySet& hostProperties();
    const OfxHost* ofxHost() const;  // what the plug-in was handed
    PropertySet& descriptor();       // the plug-in descriptor's properties after Describe
    // A context's descriptor (after DescribeInContext): its properties, clip and param
    // descriptors; null for a context not described.
    Effect* contextDescriptor(const std::string& context);
    OfxStatus describeInContext(const std::string& context);  // again, for another context
    PropertySet* clipDescriptor(const std::string& context, const std::string& clip);
    PropertySet* paramDescriptor(const std::string& context, const std::string& param);
    std::vector<std::string> paramNames(const std::string& context);

    std::unique_ptr<Instance> createInstance(
        const std::string& context = kOfxImageEffectContextFilter);

    void setThreads(unsigned threads);  // multiThreadNumCPUs from now on
    std::vector<Message> messages() const;
    // Memory blocks, image memory and mutexes still held by the plug-in.
    long liveMemory() const;
    long liveImageMemory() const;
    long liveMutexes() const;
    long badReleases() const;  // clipReleaseImage calls with handles not handed out

    OfxStatus callAction(const char* action, const void* handle, PropertySet* inArgs,
                         PropertySet* outArgs);

private:
    friend class Instance;
    void start(const std::filesystem::path& binary);
    std::string error_;
    void* library_ = nullptr;
    OfxPlugin* plugin_ = nullptr;
    bool loaded_ = false;
    std::unique_ptr<Effect> descriptor_;
    std::map<std::string, std::unique_ptr<Effect>> contexts_;
};

}  // namespace telvix::ofxtest
