// The telvix command line: subcommands, their options and the values they carry.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telvix::cli {

inline constexpr int kDefaultTolerance = 6;

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

    // Sequences and folders (smooth with a frame pattern or a folder as INPUT).
    std::optional<std::string> frames;  // --frames list; unset: the frames found on disk
    int jobs = 0;                       // frames in parallel; 0: one per core
    std::string compression;            // passed to the output format; empty: its default
    bool skipExisting = false;          // leave frames whose output exists alone
    bool keepGoing = false;             // process every frame it can, report failures at the end
    bool quiet = false;                 // only errors on stderr
    bool verbose = false;               // one line per frame
};

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
