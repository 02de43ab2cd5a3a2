// The temporary output file as writers reach it: a stdio file whose every failed write is seen,
// and an OpenImageIO I/O proxy over it that keeps the first failed write to itself.
#pragma once

#include <OpenImageIO/filesystem.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace telvix::cli {

// An output file opened by us rather than by OpenImageIO, so that every failed write is seen:
// some format writers ignore short writes (a full disk), which would otherwise leave a
// truncated file that looks complete. stdio's error flag is sticky, so one check at the end
// catches any failure on the way.
class CheckedOutputFile {
public:
    explicit CheckedOutputFile(const std::filesystem::path& path);
    CheckedOutputFile(const CheckedOutputFile&) = delete;
    CheckedOutputFile& operator=(const CheckedOutputFile&) = delete;
    ~CheckedOutputFile();

    FILE* handle() const { return file_; }
    // Why the file could not be opened; empty when it is open.
    const std::string& openError() const { return error_; }

    // Flushes and closes the file; the system's reason when any write or the close failed.
    std::string finish();

private:
    FILE* file_;
    std::string error_;
};

// The temporary file as a writer's I/O proxy, keeping the first failed write to itself: some
// writers end the process on a failed write (libjpeg exits on a full disk), so every write is
// reported done and the failure comes out after the writer has closed. It is a proxy of its
// own, not a file proxy, so that no writer reaches past it to the file.
class StickyFileProxy final : public OIIO::Filesystem::IOProxy {
public:
    StickyFileProxy(FILE* file, const std::string& name);
    const char* proxytype() const override { return "telvix"; }
    std::size_t write(const void* data, std::size_t size) override;
    std::size_t pwrite(const void* data, std::size_t size, std::int64_t offset) override;
    std::size_t read(void*, std::size_t) override { return 0; }
    std::size_t pread(void*, std::size_t, std::int64_t) override { return 0; }
    std::size_t size() const override { return static_cast<std::size_t>(end_); }
    // The system's reason for the first failed write; empty when none failed.
    std::string failure() const;

private:
    int fd_;
    std::int64_t end_ = 0;
    int error_ = 0;
};

}  // namespace telvix::cli
