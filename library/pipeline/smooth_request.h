// What one smoothing run is asked to do, in the library's own terms: the command builds it from
// its command line, the Python module from a call's keywords; the plan and the run read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "telvix_params.h"

namespace telvix::cli {

inline constexpr int kDefaultTolerance = telvix::kSmoothRangeDefault;
// The most host threads one frame's render may use: far beyond any machine's cores, and few
// enough that a typing slip cannot ask the host for thousands of threads per call.
inline constexpr int kMaxHostThreads = 256;
// The most frames one run may smooth at once: more than any machine's cores, to allow for frames
// that wait on a network file system, and few enough to bound the run's memory.
inline constexpr int kMaxJobs = 1024;

// A rectangle of the frame: left and top inclusive, right and bottom exclusive.
struct Extent {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const Extent&) const = default;
};

struct KeyColour {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const KeyColour&) const = default;
};

// One image, a frame sequence or a folder to smooth, the effect's controls and how the run goes.
struct SmoothRequest {
    std::string input;   // the image, frame pattern or folder to read
    std::string output;  // the image, frame pattern or folder to write
    int tolerance = kDefaultTolerance;
    std::optional<KeyColour> key;  // set: the colour key is on with this colour
    std::optional<Extent> extent;  // unset: the whole frame
    std::optional<int> depth;      // 8 or 16; unset: the input file's depth
    bool literal = false;          // INPUT and OUTPUT are file names, never frame patterns

    // Sequences and folders (a frame pattern or a folder as INPUT).
    std::optional<std::string> frames;  // frame list; unset: the frames found on disk
    int jobs = 0;                       // frames in parallel; 0: chosen (see chooseParallelism)
    int threads = 0;                    // host threads per frame; 0: chosen likewise
    std::string compression;            // passed to the output format; empty: its default
    bool dropAlpha = false;             // drop alpha where the output format cannot hold it
    bool clip = false;                  // clip floating-point samples outside 0-1, not refuse
    bool skipExisting = false;          // leave frames whose output exists alone
    bool keepGoing = false;             // process every frame it can, report failures at the end
    bool quiet = false;                 // only errors on stderr
    bool verbose = false;               // one line per frame
    std::string report;                 // the JSON report to write; empty: none
};

// How a run shares the cores: `jobs` frames at once, each rendered by a host that splits its
// iterate and copy into `threads` bands at once.
struct Parallelism {
    int jobs = 1;
    int threads = 1;
    bool operator==(const Parallelism&) const = default;
};

// The jobs and host threads for `frames` frames on `cores` cores. Unless the request sets
// them: jobs = min(frames, cores), so that a long sequence runs one frame per core, and
// threads = cores / jobs (at least 1), so that a single big frame still uses every core. The
// output is the same for any choice; only the time differs.
Parallelism chooseParallelism(const SmoothRequest& request, std::size_t frames, int cores);

// "RRGGBB" (six hex digits, optionally after '#') to a colour; throws UsageError otherwise.
KeyColour parseKeyColour(std::string_view text);

// "L,T,R,B" (four integers) to an extent; throws UsageError when malformed or empty.
Extent parseExtent(std::string_view text);

// Throws UsageError unless `extent` lies inside a width x height frame.
void checkExtentInFrame(const Extent& extent, int width, int height);

}  // namespace telvix::cli
