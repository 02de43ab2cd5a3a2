#include "frame_sequence.h"

#include <OpenImageIO/imageio.h>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <set>
#include <system_error>
#include <utility>

#include "cli_error.h"
#include "plan_checks.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

bool isDirectory(const std::string& text)
{
    std::error_code ec;
    return !text.empty() && fs::is_directory(text, ec);
}

// The file extensions, lower case without the dot, that OpenImageIO has a reader for.
const std::set<std::string>& readableExtensions()
{
    static const std::set<std::string> extensions = [] {
        std::set<std::string> all;
        for (const auto& [format, list] : OIIO::get_extension_map()) {
            for (std::string ext : list) {
                std::transform(ext.begin(), ext.end(), ext.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                all.insert(ext);
            }
        }
        return all;
    }();
    return extensions;
}

std::string frameLabel(long frame) { return fmt::format("frame {}", frame); }

std::string lowerExtension(const fs::path& path)
{
    std::string ext = path.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// OUTPUT names a folder: one that exists, one written with a trailing '/', or a name without
// an image file's extension (a folder still to be created). "out.png" stays a file name, so
// that a folder given as INPUT with an image OUTPUT is the single-image error it always was.
bool namesFolder(const std::string& output)
{
    if (output.empty()) return false;
    if (isDirectory(output) || output.back() == '/') return true;
    std::error_code ec;
    return !fs::exists(output, ec) && readableExtensions().count(lowerExtension(output)) == 0;
}

// The inputs of the frames a plan asks for, those missing included.
std::vector<KnownInput> plannedInputs(const SequencePlan& plan)
{
    std::vector<KnownInput> inputs;
    inputs.reserve(plan.jobs.size() + plan.missing.size());
    for (const FrameJob& job : plan.jobs) inputs.push_back({job.input, job.label});
    for (const FrameJob& job : plan.missing) inputs.push_back({job.input, job.label});
    return inputs;
}

// A plan is refused before any work when an output would replace an input or another output.
void checkPlan(const SequencePlan& plan, const std::vector<KnownInput>& inputs,
               const std::string& output)
{
    checkNoOutputIsAnInput(plan, inputs, output);
    checkOutputsDistinct(plan, output);
}

}  // namespace

std::optional<FramePattern> FramePattern::parseOutput(const std::string& text)
{
    if (auto pattern = parse(text)) return pattern;
    // A placeholder in a folder (out/%04d/f.png): the whole path is the name around it.
    if (fs::path(text).parent_path().string().find_first_of("#@%") == std::string::npos) {
        return std::nullopt;
    }
    return parseName(text, text, fs::path());
}

std::optional<FramePattern> FramePattern::parse(const std::string& text)
{
    const fs::path path(text);
    return parseName(text, path.filename().string(), path.parent_path());
}

std::optional<FramePattern> FramePattern::parseName(const std::string& text,
                                                    const std::string& name, const fs::path& folder)
{
    FramePattern pattern;
    pattern.text_ = text;
    pattern.folder_ = folder;

    // '#' and '@' both stand for one digit each.
    const auto hash = name.find_first_of("#@");
    const auto percent = name.find('%');
    if (hash == std::string::npos && percent == std::string::npos) return std::nullopt;
    if (hash != std::string::npos && percent != std::string::npos) {
        throw UsageError(
            fmt::format("'{}' mixes '{}' and '%' frame placeholders", text, name[hash]));
    }
    std::size_t end = 0;
    if (hash != std::string::npos) {
        end = name.find_first_not_of(name[hash], hash);
        if (end == std::string::npos) end = name.size();
        pattern.padding_ = static_cast<int>(end - hash);
        pattern.prefix_ = name.substr(0, hash);
    } else {
        // %d or %0Nd; nothing else of printf's is a frame number.
        std::size_t digitsEnd = percent + 1;
        while (digitsEnd < name.size() && std::isdigit(static_cast<unsigned char>(name[digitsEnd])))
            ++digitsEnd;
        const std::string width = name.substr(percent + 1, digitsEnd - percent - 1);
        const bool zeroPadded = !width.empty() && width[0] == '0';
        if (digitsEnd >= name.size() || name[digitsEnd] != 'd' || (!width.empty() && !zeroPadded)) {
            throw UsageError(
                fmt::format("'{}': the frame placeholder must be %d or %0Nd (e.g. %04d)", text));
        }
        if (width.size() > 3) {
            throw UsageError(fmt::format("'{}': frame numbers of more than 18 digits", text));
        }
        pattern.padding_ = width.empty() ? 1 : std::max(1, std::atoi(width.c_str()));
        end = digitsEnd + 1;
        pattern.prefix_ = name.substr(0, percent);
    }
    pattern.suffix_ = name.substr(end);
    if (pattern.suffix_.find_first_of("#@%") != std::string::npos) {
        throw UsageError(fmt::format("'{}' has more than one frame placeholder", text));
    }
    if (pattern.padding_ > 18) {
        throw UsageError(fmt::format("'{}': frame numbers of more than 18 digits", text));
    }
    return pattern;
}

fs::path FramePattern::pathOf(long frame) const
{
    const std::string digits = frame < 0 ? fmt::format("-{:0{}}", -frame, padding_)
                                         : fmt::format("{:0{}}", frame, padding_);
    return folder_ / (prefix_ + digits + suffix_);
}

std::optional<long> FramePattern::frameOf(const std::string& fileName) const
{
    if (fileName.size() <= prefix_.size() + suffix_.size()) return std::nullopt;
    if (fileName.compare(0, prefix_.size(), prefix_) != 0) return std::nullopt;
    if (fileName.compare(fileName.size() - suffix_.size(), suffix_.size(), suffix_) != 0)
        return std::nullopt;
    const std::string digits =
        fileName.substr(prefix_.size(), fileName.size() - prefix_.size() - suffix_.size());
    long frame = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), frame);
    // Negative numbers are matched too ("shot.-001.png"), so that a plan can refuse them.
    if (ec != std::errc() || end != digits.data() + digits.size() || frame == LONG_MIN)
        return std::nullopt;
    // Only the spelling the pattern writes counts: "0012" is not frame 12 of "%03d".
    if (pathOf(frame).filename().string() != fileName) return std::nullopt;
    return frame;
}

namespace {

// The frame numbers of every file on disk that `pattern` names, negative ones included.
std::set<long> framesOnDisk(const FramePattern& pattern)
{
    const fs::path folder = pattern.folder().empty() ? fs::path(".") : pattern.folder();
    std::set<long> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (const auto frame = pattern.frameOf(entry.path().filename().string())) {
            found.insert(*frame);
        }
    }
    return found;
}

bool hasPlaceholder(const std::string& text)
{
    return fs::path(text).filename().string().find_first_of("#@%") != std::string::npos;
}

// INPUT names an existing file whose name holds a placeholder character (icon@2x.png): it is
// that one file, unless the name, read as a pattern, also matches frames on disk.
void refuseAmbiguousFile(const std::string& input)
{
    std::optional<FramePattern> pattern;
    try {
        pattern = FramePattern::parse(input);
    } catch (const UsageError&) {
        return;  // not a pattern at all (50%_done.png)
    }
    if (!pattern) return;
    const std::set<long> frames = framesOnDisk(*pattern);
    if (frames.empty()) return;
    throw UsageError(fmt::format(
        "INPUT '{}' is a file, and as a frame pattern it also names '{}'; --literal smooths "
        "the one file, --frames the frames of the pattern",
        input, pattern->pathOf(*frames.begin()).string()));
}

}  // namespace

bool isSequenceRequest(const std::string& input, const std::string& output, bool framesGiven)
{
    if (hasPlaceholder(input) && !framesGiven) {
        std::error_code ec;
        if (fs::is_regular_file(input, ec)) {
            refuseAmbiguousFile(input);
            return false;
        }
    }
    return hasPlaceholder(input) || hasPlaceholder(output) ||
           (isDirectory(input) && namesFolder(output));
}

std::vector<fs::path> imagesInFolder(const fs::path& folder)
{
    std::vector<fs::path> images;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || !entry.is_regular_file(ec)) continue;
        if (readableExtensions().count(lowerExtension(entry.path())) > 0) {
            images.push_back(entry.path());
        }
    }
    if (ec) throw CliError(fmt::format("cannot list '{}': {}", folder.string(), ec.message()));
    std::sort(images.begin(), images.end());
    return images;
}

SequencePlan planImage(const fs::path& input, const fs::path& output)
{
    std::error_code ec;
    if (fs::exists(output, ec) && fs::equivalent(input, output, ec)) {
        throw UsageError(fmt::format("OUTPUT '{}' is the same file as INPUT '{}'", output.string(),
                                     input.string()));
    }
    SequencePlan plan;
    plan.jobs.push_back(FrameJob{"", -1, input, output});
    plan.inputDescription = input.string();
    plan.singleImage = true;
    return plan;
}

SequencePlan planSequence(const std::string& input, const std::string& output,
                          const std::optional<std::string>& frames)
{
    SequencePlan plan;
    const auto inPattern = FramePattern::parse(input);
    // Outputs may also number their folders (out/%04d/f.png); inputs are found by file name.
    const auto outPattern =
        inPattern ? FramePattern::parseOutput(output) : FramePattern::parse(output);
    const bool outFolder = namesFolder(output);

    if (!inPattern) {
        // Folder mode: every image of the folder, same names in the output folder.
        if (!isDirectory(input)) {
            throw UsageError(fmt::format(
                "INPUT '{}' is one image but OUTPUT '{}' is a frame pattern; give INPUT "
                "a pattern (shot.####.png) or a folder, or --literal to write that very name",
                input, output));
        }
        if (outPattern || !outFolder) {
            throw UsageError(
                fmt::format("INPUT '{}' is a folder, so OUTPUT must be a folder too", input));
        }
        if (frames) throw UsageError("--frames needs INPUT as a frame pattern (shot.####.png)");
        plan.inputDescription = input;
        for (const fs::path& file : imagesInFolder(input)) {
            plan.jobs.push_back(
                {file.filename().string(), -1, file, fs::path(output) / file.filename()});
        }
        if (plan.jobs.empty()) {
            throw CliError(fmt::format("no images to process in the folder '{}'", input));
        }
        checkPlan(plan, plannedInputs(plan), output);
        return plan;
    }

    if (!outPattern && !outFolder) {
        throw UsageError(fmt::format(
            "INPUT '{}' is a frame pattern, so OUTPUT must be a pattern (shot.####.png or "
            "shot.%04d.png) or a folder",
            input));
    }
    plan.inputDescription = input;
    auto outputOf = [&](long frame) {
        return outPattern ? outPattern->pathOf(frame)
                          : fs::path(output) / inPattern->pathOf(frame).filename();
    };
    auto addFrame = [&](long frame, bool exists) {
        FrameJob job{frameLabel(frame), frame, inPattern->pathOf(frame), outputOf(frame)};
        (exists ? plan.jobs : plan.missing).push_back(std::move(job));
    };

    // Every file of the pattern on disk is an input an output must not replace, whether or not
    // --frames asks for it.
    const std::set<long> found = framesOnDisk(*inPattern);
    if (frames) {
        for (long frame : parseFrameList(*frames)) {
            std::error_code ec;
            addFrame(frame, fs::exists(inPattern->pathOf(frame), ec));
        }
    } else {
        // Discovery: the frames on disk; numbers missing between the first and the last are
        // reported as gaps.
        if (found.empty()) {
            throw CliError(fmt::format("no input frames match '{}'", input));
        }
        if (*found.begin() < 0) {
            throw CliError(fmt::format(
                "'{}' names files with negative frame numbers, such as '{}'; frames are numbered "
                "from 0 (--frames smooths the others)",
                input, inPattern->pathOf(*found.begin()).string()));
        }
        if (found.size() > kMaxPlannedFrames) {
            throw CliError(
                fmt::format("'{}' matches {} frames; at most {} are planned in one "
                            "run (use --frames to split it)",
                            input, found.size(), kMaxPlannedFrames));
        }
        // The plan is made from the files found. Holes between them are reported as gaps,
        // except a hole too wide to be frames gone missing (a stray shot.99999999.png beside
        // five frames): that is a separate numbering, not thousands of missing frames.
        std::optional<long> previous;
        for (long frame : found) {
            if (previous && frame - *previous - 1 <= kMaxReportedGap) {
                for (long missing = *previous + 1; missing < frame; ++missing) {
                    plan.gaps.push_back(missing);
                }
            }
            addFrame(frame, true);
            previous = frame;
        }
    }
    std::vector<KnownInput> inputs = plannedInputs(plan);
    if (frames) {
        for (long frame : found) inputs.push_back({inPattern->pathOf(frame), frameLabel(frame)});
    }
    checkPlan(plan, inputs, output);
    return plan;
}

}  // namespace telvix::cli
