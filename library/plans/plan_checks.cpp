#include "plan_checks.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "cli_error.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// As many links as the system itself follows in one path.
constexpr int kMaxLinkHops = 40;

// `folder` made absolute with its links and ".." resolved. The part that exists is resolved as
// it is; its first missing part may still be a link that leads nowhere yet (out/1001 -> 1002
// before out/1002 is made), which writing follows as soon as its target exists, so it is
// followed here too.
fs::path resolvedFolder(const fs::path& folder)
{
    std::error_code ec;
    fs::path current = fs::absolute(folder.empty() ? fs::path(".") : folder, ec);
    if (ec) return folder.lexically_normal();
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        fs::path canonical = fs::weakly_canonical(current, ec);
        if (ec) return current.lexically_normal();
        fs::path prefix;
        auto part = canonical.begin();
        for (; part != canonical.end(); ++part) {
            prefix /= *part;
            if (!fs::exists(prefix, ec)) break;
        }
        if (part == canonical.end() || !fs::is_symlink(fs::symlink_status(prefix, ec))) {
            return canonical;
        }
        const fs::path target = fs::read_symlink(prefix, ec);
        if (ec) return canonical;
        fs::path next = target.is_absolute() ? target : prefix.parent_path() / target;
        for (++part; part != canonical.end(); ++part) next /= *part;
        current = next;
    }
    return current.lexically_normal();
}

// Paths resolved as the system resolves them when writing there, each folder once (a shot's
// frames share one): the folder's links (those that lead nowhere yet too) and ".." followed,
// made absolute, and the file name kept as it is, since writing replaces the entry of that name.
class Resolver {
public:
    fs::path entry(const fs::path& path)
    {
        const std::string folder = path.parent_path().string();
        auto known = folders_.find(folder);
        if (known == folders_.end()) {
            if (folders_.size() >= 10'000) folders_.clear();  // a folder per frame: no reuse
            known = folders_.emplace(folder, resolvedFolder(path.parent_path())).first;
        }
        return known->second / path.filename();
    }
    // The file `path` stands for, as far as it exists: its entry, and a link there followed.
    std::string file(const fs::path& path)
    {
        const fs::path named = entry(path);
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(named, ec))) return named.string();
        const fs::path target = fs::weakly_canonical(named, ec);
        return ec ? named.string() : target.string();
    }

private:
    std::unordered_map<std::string, fs::path> folders_;
};

using FileId = std::pair<dev_t, ino_t>;

}  // namespace

void checkNoOutputIsAnInput(const SequencePlan& plan, const std::vector<KnownInput>& inputs,
                            const std::string& outputText)
{
    Resolver resolver;
    std::unordered_map<std::string, std::size_t> inputPaths;
    std::map<FileId, std::size_t> inputFiles;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        inputPaths.emplace(resolver.file(inputs[i].path), i);
        struct stat info {};
        if (stat(inputs[i].path.c_str(), &info) == 0)
            inputFiles.emplace(FileId{info.st_dev, info.st_ino}, i);
    }
    auto check = [&](const FrameJob& job) {
        std::size_t hit = inputs.size();
        struct stat info {};
        if (stat(job.output.c_str(), &info) == 0) {
            const auto same = inputFiles.find({info.st_dev, info.st_ino});
            if (same != inputFiles.end()) hit = same->second;
        }
        if (hit == inputs.size()) {
            const auto same = inputPaths.find(resolver.file(job.output));
            if (same != inputPaths.end()) hit = same->second;
        }
        if (hit == inputs.size()) return;
        const KnownInput& input = inputs[hit];
        const bool named = input.label != input.path.filename().string();
        throw UsageError(fmt::format(
            "OUTPUT '{}' would write over the input file '{}'{}: {} goes to '{}'", outputText,
            input.path.string(), named ? fmt::format(" ({})", input.label) : "", job.label,
            job.output.string()));
    };
    for (const FrameJob& job : plan.jobs) check(job);
    for (const FrameJob& job : plan.missing) check(job);
}

void checkOutputsDistinct(const SequencePlan& plan, const std::string& outputText)
{
    Resolver resolver;
    std::unordered_map<std::string, std::size_t> entries;
    std::map<FileId, std::size_t> files;
    auto clash = [&](std::size_t first, std::size_t second) {
        const FrameJob& a = plan.jobs[first];
        const FrameJob& b = plan.jobs[second];
        return UsageError(
            fmt::format("OUTPUT '{}' would write two frames to one file: {} to '{}' and {} to '{}'",
                        outputText, a.label, a.output.string(), b.label, b.output.string()));
    };
    for (std::size_t i = 0; i < plan.jobs.size(); ++i) {
        const fs::path& output = plan.jobs[i].output;
        const auto [entry, fresh] = entries.emplace(resolver.entry(output).string(), i);
        if (!fresh) throw clash(entry->second, i);
        // Only a file with more than one name can be reached under another.
        struct stat info {};
        if (lstat(output.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink > 1) {
            const auto [file, first] = files.emplace(FileId{info.st_dev, info.st_ino}, i);
            if (!first) throw clash(file->second, i);
        }
    }
}

}  // namespace telvix::cli
