// The options of a smoothing run, declared once: the command's parser, the Python package's
// checks and the manual's option table are all built from this list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "smooth_request.h"
#include "telvix_params.h"

namespace telvix::cli {

enum class OptionKind : std::uint8_t {
    Integer,    // a decimal integer in [min, max]
    Either,     // a decimal integer, min or max
    Seconds,    // a non-negative number
    Flag,       // on when given; Python: a bool
    Text,       // a string taken as it is
    Colour,     // RRGGBB; Python: also (r, g, b)
    Extent,     // L,T,R,B; Python: also (left, top, right, bottom)
    FrameList,  // 1001-1100 or 1-10,20; Python: also a sequence of int
};

// Where an option is offered (bits of OptionSpec::where).
enum OptionPlace : unsigned {
    kInCommand = 1u << 0,   // telvix smooth --NAME
    kInSmooth = 1u << 1,    // telvix.smooth(array, NAME=)
    kInFile = 1u << 2,      // telvix.smooth_file(..., NAME=)
    kInSequence = 1u << 3,  // telvix.smooth_sequence(..., NAME=)
    kInShot = 1u << 4,      // telvix.cluster.smooth_shot(..., NAME=)
};

struct OptionSpec {
    std::string_view name;       // the command's --name; Python's keyword with '_' for '-'
    std::string_view shortName;  // the command's one-letter form, or empty
    OptionKind kind;
    std::string_view valueName;  // what the command's help shows for the value
    long long min = 0;           // Integer and Either only
    long long max = 0;
    // The default: a number (Integer and Seconds options whose default is a value), else
    // words that describe it (empty: none to state).
    long long defaultValue = 0;
    std::string_view defaultText;
    std::string_view help;
    unsigned where = kInCommand;

    bool hasDefaultValue() const { return defaultText.empty() && isNumber(); }
    bool isNumber() const
    {
        return kind == OptionKind::Integer || kind == OptionKind::Either ||
               kind == OptionKind::Seconds;
    }
};

inline constexpr unsigned kInAllFunctions = kInSmooth | kInFile | kInSequence;
inline constexpr unsigned kInFileFunctions = kInFile | kInSequence;

// In the order the command's help lists them.
inline constexpr OptionSpec kOptions[] = {
    {"tolerance", "", OptionKind::Integer, "N", kSmoothRangeMin, kSmoothRangeMax,
     kSmoothRangeDefault, "",
     "Do Smooth Range: how far colours may differ per channel and still match",
     kInCommand | kInAllFunctions},
    {"key", "", OptionKind::Colour, "RRGGBB", 0, 0, 0, "off",
     "Use Color Key with this colour (RRGGBB): its pixels become transparent before smoothing",
     kInCommand | kInAllFunctions},
    {"extent", "", OptionKind::Extent, "L,T,R,B", 0, 0, 0, "whole frame",
     "Area to smooth as LEFT,TOP,RIGHT,BOTTOM (right and bottom exclusive)",
     kInCommand | kInAllFunctions},
    {"depth", "", OptionKind::Either, "BITS", 8, 16, 0, "the input's depth",
     "Process and write at 8 or 16 bits per channel", kInCommand | kInFileFunctions},
    {"frames", "", OptionKind::FrameList, "LIST", 0, 0, 0, "the frames on disk",
     "Frames of a pattern INPUT to process, e.g. 1001-1100 or 1-10,20,30-40",
     kInCommand | kInSequence | kInShot},
    {"jobs", "j", OptionKind::Integer, "N", 0, kMaxJobs, 0, "0 (all cores)",
     "Frames smoothed at once (0: one per core, no more than there are frames); the files are "
     "the same for any number",
     kInCommand | kInSequence},
    {"threads", "", OptionKind::Integer, "N", 1, kMaxHostThreads, 0, "cores / jobs, at least 1",
     "Host threads per frame: each render splits its rows into this many bands at once; the "
     "files are the same for any number",
     kInCommand | kInAllFunctions},
    {"compression", "", OptionKind::Text, "VALUE", 0, 0, 0,
     "the input's, else the format's default",
     "Output compression: PNG level 0-9, or the format's method (TIFF lzw, zip, none ...)",
     kInCommand | kInFileFunctions},
    {"drop-alpha", "", OptionKind::Flag, "", 0, 0, 0, "",
     "Drop alpha where the output format cannot hold it (JPEG) instead of refusing",
     kInCommand | kInFileFunctions},
    {"clip", "", OptionKind::Flag, "", 0, 0, 0, "",
     "Clip floating-point samples outside 0-1 (and NaN) to 0-1, counting them, instead of "
     "refusing the file",
     kInCommand | kInFileFunctions},
    {"skip-existing", "", OptionKind::Flag, "", 0, 0, 0, "",
     "Leave frames whose output file already exists (resume a run)", kInCommand | kInFileFunctions},
    {"keep-going", "", OptionKind::Flag, "", 0, 0, 0, "",
     "Process every frame it can and list the failures at the end", kInCommand | kInSequence},
    {"scheduler", "", OptionKind::Text, "URL", 0, 0, 0, "",
     "Smooth the frame pattern INPUT on the Dask cluster of this scheduler (tcp://HOST:8786), a "
     "chunk of frames per task (python3 -m telvix.cluster)"},
    {"chunk", "", OptionKind::Integer, "N", 1, 1'000'000, 10, "",
     "With --scheduler: frames per task", kInCommand | kInShot},
    {"literal", "", OptionKind::Flag, "", 0, 0, 0, "",
     "INPUT and OUTPUT are the names of one image each, taken as they are: '#', '@' and '%' in "
     "them are not frame placeholders"},
    {"wait-timeout", "", OptionKind::Seconds, "SECONDS", 0, 0, 60, "",
     "With --scheduler: give up after this many seconds without a worker", kInCommand | kInShot},
    {"report", "", OptionKind::Text, "FILE", 0, 0, 0, "",
     "Write what became of each frame, and the totals, to this JSON file"},
    {"quiet", "q", OptionKind::Flag, "", 0, 0, 0, "", "Print errors only"},
    {"verbose", "v", OptionKind::Flag, "", 0, 0, 0, "", "Print one line per frame"},
    {"plugin", "", OptionKind::Text, "PATH", 0, 0, 0, "",
     "Effect library to load (default: Telvix.so beside the command, in ../lib/telvix, or in a "
     "build folder's top, all relative to the command)"},
};

// The option of that command-line or Python name ('_' read as '-'); throws std::out_of_range
// for a name that is not declared, so that a slip in a front end fails its first test.
const OptionSpec& option(std::string_view name);

// The option's name as a Python keyword: "drop-alpha" is drop_alpha.
std::string pythonName(const OptionSpec& spec);

// The manual's option table (Markdown), one row per option, in the order above.
std::string optionTableMarkdown();

}  // namespace telvix::cli
