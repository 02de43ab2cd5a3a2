// The telvix command line: subcommands, their options and the values they carry.
#pragma once

#include <CLI/CLI.hpp>
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
// The most frames one run may smooth at once (--jobs): more than any machine's cores, to allow
// for frames that wait on a network file system, and few enough to bound the run's memory.
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

enum class Command { Smooth, About, Params };

// Everything one run was asked to do.
struct CommandLine {
    Command command = Command::Smooth;
    std::string input;   // smooth: the image to read
    std::string output;  // smooth: the image to write
    int tolerance = kDefaultTolerance;
    std::optional<KeyColour> key;  // set: the colour key is on with this colour
    std::optional<Extent> extent;  // unset: the whole frame
    std::optional<int> depth;      // 8 or 16; unset: the input file's depth
    std::string plugin;            // empty: look for the plug-in in the usual places
    bool literal = false;          // INPUT and OUTPUT are file names, never frame patterns

    // Sequences and folders (smooth with a frame pattern or a folder as INPUT).
    std::optional<std::string> frames;  // --frames list; unset: the frames found on disk
    int jobs = 0;                       // frames in parallel; 0: chosen (see chooseParallelism)
    int threads = 0;                    // host threads per frame; 0: chosen likewise
    std::string compression;            // passed to the output format; empty: its default
    bool dropAlpha = false;             // drop alpha where the output format cannot hold it
    bool clip = false;                  // clip floating-point samples outside 0-1, not refuse
    bool skipExisting = false;          // leave frames whose output exists alone
    bool keepGoing = false;             // process every frame it can, report failures at the end
    bool quiet = false;                 // only errors on stderr
    bool verbose = false;               // one line per frame
    std::string report;                 // --report: the JSON report to write; empty: none

    // A Dask cluster's scheduler (tcp://HOST:8786): the run is handed to the Python module's
    // shell entry, python3 -m telvix.cluster, with the same arguments. Empty: run here.
    std::string scheduler;
    int chunk = 0;           // with a scheduler: frames per task; 0: the module's default
    double waitTimeout = 0;  // with a scheduler: seconds to wait for a worker; unset: 60
};

// How a run shares the cores: `jobs` frames at once, each rendered by a host that splits its
// iterate and copy into `threads` bands at once.
struct Parallelism {
    int jobs = 1;
    int threads = 1;
    bool operator==(const Parallelism&) const = default;
};

// The jobs and host threads for `frames` frames on `cores` cores. Unless the command line sets
// them: jobs = min(frames, cores), so that a long sequence runs one frame per core, and
// threads = cores / jobs (at least 1), so that a single big frame still uses every core. The
// output is the same for any choice; only the time differs.
Parallelism chooseParallelism(const CommandLine& commandLine, std::size_t frames, int cores);

// "RRGGBB" (six hex digits, optionally after '#') to a colour; throws UsageError otherwise.
KeyColour parseKeyColour(std::string_view text);

// "L,T,R,B" (four integers) to an extent; throws UsageError when malformed or empty.
Extent parseExtent(std::string_view text);

// Throws UsageError unless `extent` lies inside a width x height frame.
void checkExtentInFrame(const Extent& extent, int width, int height);

// Owns the CLI11 description of the command line. parse() throws CLI::ParseError for what
// CLI11 rejects or answers itself (help, version) and UsageError for malformed values.
class CommandLineParser {
public:
    CommandLineParser();
    CommandLine parse(int argc, const char* const* argv);
    // Prints what a CLI11 error asks for (help, version) and returns its exit status.
    int exit(const CLI::ParseError& error) { return app_.exit(error); }

private:
    CLI::App app_;
    CLI::App* smooth_ = nullptr;
    CLI::App* about_ = nullptr;
    CLI::App* params_ = nullptr;
    CommandLine values_;
    std::string key_;
    std::string extent_;
    std::string frames_;
    int depth_ = 0;
};

}  // namespace telvix::cli
