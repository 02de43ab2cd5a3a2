#include "output_folders.h"

#include <fmt/format.h>

#include <system_error>

#include "cli_error.h"
#include "temporary_file.h"

namespace telvix::cli {

namespace fs = std::filesystem;

void OutputFolders::prepare(const fs::path& folder)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (prepared_.count(folder.string()) > 0) return;
    if (create_ && !folder.empty()) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) {
            throw CliError(
                fmt::format("cannot create the folder '{}': {}", folder.string(), ec.message()));
        }
    }
    removeOrphanedTemporaries(folder);
    // A frame per folder (out/0001/f.png ...) would fill the set: it is forgotten from time
    // to time, which only means a folder may be looked through twice.
    if (prepared_.size() >= 10'000) prepared_.clear();
    prepared_.insert(folder.string());
}

}  // namespace telvix::cli
