#include "frame_work.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

namespace telvix::cli {

namespace fs = std::filesystem;

bool foundDiskFull(const std::string& error, const FrameJob& job)
{
    static const std::string noSpace = std::strerror(ENOSPC);
    static const std::string noQuota = std::strerror(EDQUOT);
    if (error.find(noSpace) != std::string::npos || error.find(noQuota) != std::string::npos) {
        return true;
    }
    struct statvfs disk {};
    const fs::path folder =
        job.output.parent_path().empty() ? fs::path(".") : job.output.parent_path();
    if (statvfs(folder.c_str(), &disk) != 0) return false;
    std::error_code ec;
    const std::uintmax_t needed = fs::file_size(job.input, ec);
    const std::uintmax_t room = static_cast<std::uintmax_t>(disk.f_bavail) * disk.f_frsize;
    return disk.f_bavail == 0 || disk.f_favail == 0 || (!ec && room < needed);
}

}  // namespace telvix::cli
