// The temporary file an output is written to before it replaces the output, and the removal of
// those that killed runs left behind.
#pragma once

#include <cstddef>
#include <filesystem>

namespace telvix::cli {

// A file created beside the destination, removed again unless it is committed (renamed over
// the destination). Its name is ".<stem>.telvix-<host>-<pid>-<six random characters><extension>":
// hidden, named after the output, and naming the machine and the process that writes it, so
// that a later run can tell a file left by a killed run from one being written. It is registered
// with the signal handling, which removes it if the process is ended at once, and held locked
// (flock) while it lives, so that another run's orphan sweep leaves it alone.
class TemporaryFile {
public:
    // Creates the file beside `destination`. Throws CliError naming the destination when the
    // folder takes no new file, Interrupted on a stop request.
    explicit TemporaryFile(const std::filesystem::path& destination);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    const std::filesystem::path& path() const { return path_; }

    // Renames the file over `destination`. Throws CliError naming it when that fails.
    void commitAs(const std::filesystem::path& destination);

private:
    std::filesystem::path path_;
    int lock_ = -1;  // held open, and locked, until the file is renamed or removed
    int slot_ = -1;  // its place in the signal handling's registry
    bool committed_ = false;
};

// True when process `pid` of this machine has ended: no such process, or one that has exited
// and not been reaped yet (a zombie).
bool processIsGone(long long pid);

// Removes the temporary files that runs on this machine killed outright (SIGKILL, a power cut)
// left in `folder`: files of the command's own temporary naming, from this machine, whose
// process is gone and which no process holds locked. Nothing else is touched. Returns how many
// were removed.
std::size_t removeOrphanedTemporaries(const std::filesystem::path& folder);

}  // namespace telvix::cli
