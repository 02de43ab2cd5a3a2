#include "run_report.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli_error.h"
#include "temporary_file.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8Length(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte (no overlong forms, no surrogates)
    unsigned char high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

// `text` as a JSON string. UTF-8 is kept as it is; a byte that is not part of any (a file name
// in another encoding) becomes \udcXX, the character Python reads such a byte of a file name
// as, so that both read the same name back from a report.
std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        const char c = text.front();
        const std::size_t length = utf8Length(text);
        if (length == 0) {
            out += fmt::format("\\udc{:02x}", static_cast<unsigned char>(c));
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}

// Where a path leads, links and ".." resolved as far as it exists.
fs::path resolved(const fs::path& path)
{
    std::error_code ec;
    fs::path result = fs::weakly_canonical(fs::absolute(path, ec), ec);
    return ec ? path.lexically_normal() : result;
}

}  // namespace

std::string hostName()
{
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    return host;
}

std::string runReportJson(const SequencePlan& plan, const RunSummary& summary,
                          const std::string& host)
{
    std::vector<const FrameResult*> frames;
    for (const FrameResult& frame : summary.frames) frames.push_back(&frame);
    // Frame order, as Python's Summary keeps its frames: numbers first, then a folder's names.
    std::stable_sort(frames.begin(), frames.end(), [](const FrameResult* a, const FrameResult* b) {
        const long x = a->job.number;
        const long y = b->job.number;
        if ((x < 0) != (y < 0)) return y < 0;
        return x != y ? x < y : a->job.label < b->job.label;
    });
    std::size_t counts[3] = {};
    for (const FrameResult* frame : frames) ++counts[static_cast<int>(frame->outcome)];
    static const char* const kStatus[] = {"written", "skipped", "failed"};

    std::string gaps;
    for (const long gap : plan.gaps) gaps += fmt::format("{}{}", gaps.empty() ? "" : ", ", gap);
    std::string out = fmt::format(
        "{{\n  \"planned\": {},\n  \"written\": {},\n  \"skipped\": {},\n  \"failed\": {},\n"
        "  \"interrupted\": {},\n  \"seconds\": {:.3f},\n  \"gaps\": [{}],\n  \"frames\": [",
        summary.planned, counts[0], counts[1], counts[2], summary.interrupted, summary.seconds,
        gaps);
    const std::string hostText = jsonString(host);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameResult& frame = *frames[i];
        out += fmt::format(
            "{}\n    {{\"number\": {}, \"input\": {}, \"output\": {}, \"status\": \"{}\", "
            "\"reason\": {}, \"seconds\": {:.3f}, \"host\": {}}}",
            i == 0 ? "" : ",", frame.job.number >= 0 ? fmt::format("{}", frame.job.number) : "null",
            jsonString(frame.job.input.string()), jsonString(frame.job.output.string()),
            kStatus[static_cast<int>(frame.outcome)],
            frame.outcome == FrameOutcome::Failed ? jsonString(frame.error) : "null", frame.seconds,
            hostText);
    }
    return out + (frames.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

void checkReportPath(const fs::path& report, const SequencePlan& plan)
{
    std::error_code ec;
    if (fs::is_directory(report, ec)) {
        throw UsageError(fmt::format("--report: '{}' is a folder; name a file", report.string()));
    }
    const fs::path folder = report.parent_path().empty() ? fs::path(".") : report.parent_path();
    if (!fs::is_directory(folder, ec)) {
        throw UsageError(fmt::format("--report: the folder '{}' does not exist", folder.string()));
    }
    // Only the same name in the same folder is the same file: the report replaces its name by a
    // rename, so a link of another name to a frame leaves the frame alone.
    const fs::path name = report.filename();
    const fs::path target = resolved(folder) / name;
    for (const auto* jobs : {&plan.jobs, &plan.missing}) {
        for (const FrameJob& job : *jobs) {
            for (const fs::path* file : {&job.input, &job.output}) {
                if (file->filename() != name) continue;
                const fs::path parent =
                    file->parent_path().empty() ? fs::path(".") : file->parent_path();
                if (resolved(parent) / name == target) {
                    throw UsageError(fmt::format("--report: '{}' is a file of the run ('{}')",
                                                 report.string(), file->string()));
                }
            }
        }
    }
}

void writeRunReport(const fs::path& report, const SequencePlan& plan, const RunSummary& summary)
{
    const std::string text = runReportJson(plan, summary, hostName());
    TemporaryFile temporary(report);
    FILE* file = std::fopen(temporary.path().c_str(), "w");
    if (file == nullptr) {
        throw CliError(
            fmt::format("--report: cannot write '{}': {}", report.string(), std::strerror(errno)));
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    const int error = errno;
    if (std::fclose(file) != 0 || !written) {
        throw CliError(fmt::format("--report: cannot write '{}': {}", report.string(),
                                   std::strerror(written ? errno : error)));
    }
    try {
        temporary.commitAs(report);
    } catch (const CliError& e) {
        throw CliError(fmt::format("--report: {}", e.what()));
    }
}

}  // namespace telvix::cli
