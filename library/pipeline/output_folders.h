// The folders a run writes its outputs to.
#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>

namespace telvix::cli {

// The folders outputs go to: each is created when missing (for a sequence; one image's folder
// must exist), and temporary files that killed runs left in it are removed, before the first
// frame is written there.
class OutputFolders {
public:
    explicit OutputFolders(bool create) : create_(create) {}

    // Readies `folder` for a frame's output; throws CliError when it cannot be created.
    void prepare(const std::filesystem::path& folder);

private:
    bool create_;
    std::mutex mutex_;
    std::set<std::string> prepared_;
};

}  // namespace telvix::cli
