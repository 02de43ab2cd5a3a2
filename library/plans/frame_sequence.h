// Frame sequences: file-name patterns with a frame number, frame lists, and the plan of which
// file each frame reads and writes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvix::cli {

// A file name with a frame-number placeholder: `shot.####.png` (one '#' per digit) or
// `shot.%04d.png` / `shot.%d.png` (printf style). Numbers wider than the padding are written in
// full, as both conventions do.
class FramePattern {
public:
    // The pattern in `text`, or nothing when the file name holds no placeholder. Throws
    // UsageError for a name with more than one placeholder or a malformed printf one.
    static std::optional<FramePattern> parse(const std::string& text);
    // As parse, and where the file name holds no placeholder, one in a folder of an output
    // (out/%04d/f.png): each frame then writes into a folder of its own.
    static std::optional<FramePattern> parseOutput(const std::string& text);

    std::filesystem::path pathOf(long frame) const;
    // The frame number a file name stands for, when it matches the pattern's file-name part
    // (negative numbers too, written "-0012").
    std::optional<long> frameOf(const std::string& fileName) const;

    const std::filesystem::path& folder() const { return folder_; }
    const std::string& text() const { return text_; }

private:
    // `name` holds the placeholder; `folder` is the path before it.
    static std::optional<FramePattern> parseName(const std::string& text, const std::string& name,
                                                 const std::filesystem::path& folder);

    std::string text_;              // as the user wrote it
    std::filesystem::path folder_;  // the folder part, without placeholder
    std::string prefix_;            // the file name before the placeholder
    std::string suffix_;            // and after it
    int padding_ = 1;               // minimum digits
};

// The most frames one run plans, from a --frames list or found on disk.
inline constexpr std::size_t kMaxPlannedFrames = 1'000'000;
// Holes between frames found on disk up to this wide are reported as missing frames; wider ones
// separate numberings.
inline constexpr long kMaxReportedGap = 10'000;

// "1001-1100", "1-10,20,30-40", "1-99x2" (every second frame): frame numbers in the order
// given, without repeats. Throws UsageError when malformed, when a range runs backwards, or
// for more than kMaxPlannedFrames frames.
std::vector<long> parseFrameList(std::string_view text);

// "1-3, 7, 9-10": a sorted list of frames written back as compact ranges.
std::string describeFrames(const std::vector<long>& frames);

// One frame of the work: where it is read, where it goes, and how it is named in messages.
struct FrameJob {
    std::string label;  // "frame 1001" or, in folder mode, the file name
    long number = -1;   // the frame number; -1 in folder mode
    std::filesystem::path input;
    std::filesystem::path output;
};

// Everything a sequence run will do, worked out before any frame is touched.
struct SequencePlan {
    std::vector<FrameJob> jobs;     // frames to process, in order
    std::vector<FrameJob> missing;  // asked-for frames whose input does not exist
    std::vector<long> gaps;         // discovered ranges: numbers missing between first and last
    std::string inputDescription;   // how messages name the input (pattern or folder)
    // One image named on the command line, a plan of one frame without a label: messages name
    // the image, its output folder must exist, and its failure ends the run as it is.
    bool singleImage = false;
};

// True when INPUT/OUTPUT of `smooth` name a sequence or a folder rather than one image. An
// INPUT that names an existing file is that one image, even when its name holds '#', '@' or
// '%' (icon@2x.png), unless `framesGiven` (a --frames list asks for a pattern); then OUTPUT is a
// file name too. Throws UsageError when such a name, read as a pattern, also matches files on
// disk: which one is meant cannot be told.
bool isSequenceRequest(const std::string& input, const std::string& output, bool framesGiven);

// Works out the plan for INPUT and OUTPUT with an optional --frames list: a pattern on both
// sides (or a pattern and an output folder), or a folder on both sides. Throws UsageError for
// combinations that make no sense, for an empty selection, for an output that would write over
// any input file (every file of the pattern on disk, not only the frames asked for; paths
// compared after resolving links and ".."), and for two frames written to one file. Files of
// the pattern with negative frame numbers are refused when the frames are found on disk, and a
// --frames list cannot name them.
SequencePlan planSequence(const std::string& input, const std::string& output,
                          const std::optional<std::string>& frames);

// The plan for one image INPUT written to OUTPUT. Throws UsageError when OUTPUT is INPUT (links
// and different spellings of one file count as the same file): writing over the input would
// destroy it before the run could be checked.
SequencePlan planImage(const std::filesystem::path& input, const std::filesystem::path& output);

// The image files of `folder` that OpenImageIO can read (by extension), hidden files skipped,
// sorted by name.
std::vector<std::filesystem::path> imagesInFolder(const std::filesystem::path& folder);

}  // namespace telvix::cli
