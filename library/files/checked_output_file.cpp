#include "checked_output_file.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace telvix::cli {

CheckedOutputFile::CheckedOutputFile(const std::filesystem::path& path)
    : file_(std::fopen(path.c_str(), "wb"))
{
    if (file_ == nullptr) error_ = std::strerror(errno);
}

CheckedOutputFile::~CheckedOutputFile()
{
    if (file_ != nullptr) std::fclose(file_);
}

std::string CheckedOutputFile::finish()
{
    const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const int flushErrno = errno;
    const bool closed = std::fclose(file_) == 0;
    const int closeErrno = errno;
    file_ = nullptr;
    if (!flushed) return std::strerror(flushErrno != 0 ? flushErrno : EIO);
    if (!closed) return std::strerror(closeErrno);
    return {};
}

StickyFileProxy::StickyFileProxy(FILE* file, const std::string& name)
    : IOProxy(name, IOProxy::Write), fd_(fileno(file))
{
}

std::size_t StickyFileProxy::write(const void* data, std::size_t size)
{
    pwrite(data, size, m_pos);
    m_pos += static_cast<std::int64_t>(size);
    return size;
}

std::size_t StickyFileProxy::pwrite(const void* data, std::size_t size, std::int64_t offset)
{
    const auto* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; error_ == 0 && done < size;) {
        const ssize_t n = ::pwrite(fd_, bytes + done, size - done,
                                   static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error_ = n < 0 ? errno : EIO;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    end_ = std::max(end_, offset + static_cast<std::int64_t>(size));
    return size;
}

std::string StickyFileProxy::failure() const
{
    return error_ == 0 ? std::string() : std::strerror(error_);
}

}  // namespace telvix::cli
