#include "temporary_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <system_error>

#include "cli_error.h"
#include "interrupt.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// This machine's name as temporary file names carry it: letters and digits, at most 16.
const std::string& hostTag()
{
    static const std::string tag = [] {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        std::string kept;
        for (const char* c = host; *c != '\0' && kept.size() < 16; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) kept += *c;
        }
        return kept.empty() ? std::string("host") : kept;
    }();
    return tag;
}

// Six random letters and digits for a temporary name.
std::string randomSuffix()
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kAlphabet[random() % (sizeof kAlphabet - 1)];
    return suffix;
}

// The names TemporaryFile gives, with the machine and the process id as groups 1 and 2.
const std::regex& temporaryNamePattern()
{
    static const std::regex pattern(
        R"(\..+\.telvix-([A-Za-z0-9]+)-([0-9]{1,10})-[A-Za-z0-9]{6}(\.[^.]*)?)");
    return pattern;
}

}  // namespace

TemporaryFile::TemporaryFile(const fs::path& destination)
{
    const fs::path folder =
        destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
    // The stem is shortened so that every legal output name gives a legal temporary one
    // (255 bytes at most), and an extension too long to keep is left off.
    std::string extension = destination.extension().string();
    if (extension.size() > 32) extension.clear();
    const std::string tag = fmt::format(".telvix-{}-{}-", hostTag(), getpid());
    std::string stem = destination.stem().string();
    const std::size_t room = 255 - 1 - tag.size() - 6 - extension.size();
    if (stem.size() > room) stem.resize(room);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            (folder / fmt::format(".{}{}{}{}", stem, tag, randomSuffix(), extension)).string();
        int slot = -1;
        const int fd = createRegisteredFile(name, slot);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            if (errno == EINTR) throw Interrupted();
            throw CliError(fmt::format("cannot write '{}': cannot create a file in '{}': {}",
                                       destination.string(), folder.string(),
                                       std::strerror(errno)));
        }
        // A sweep that got to the new file first is removing it: take another name. File
        // systems without locks leave every file unlocked, and a sweep removes none there.
        struct stat info {};
        const bool sweeping = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (sweeping || (fstat(fd, &info) == 0 && info.st_nlink == 0)) {
            unregisterFile(slot);
            close(fd);
            continue;
        }
        lock_ = fd;
        slot_ = slot;
        path_ = name;
        return;
    }
    throw CliError(fmt::format("cannot write '{}': cannot create a temporary file in '{}'",
                               destination.string(), folder.string()));
}

TemporaryFile::~TemporaryFile()
{
    if (!committed_) unlink(path_.c_str());
    unregisterFile(slot_);
    close(lock_);
}

void TemporaryFile::commitAs(const fs::path& destination)
{
    std::error_code ec;
    fs::rename(path_, destination, ec);
    if (ec) {
        throw CliError(fmt::format("cannot write '{}': {}", destination.string(), ec.message()));
    }
    committed_ = true;
}

bool processIsGone(long long pid)
{
    if (pid <= 0 || pid > INT_MAX) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    // A zombie has ended: its files are closed and its locks released, but its number lives on
    // until its parent (or, for an orphan, init) reaps it, which some containers' init never
    // does. Its state is the first field after the command name's closing parenthesis.
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t name = line.rfind(')');
    if (name == std::string::npos || name + 2 >= line.size()) return false;
    const char state = line[name + 2];
    return state == 'Z' || state == 'X';
}

std::size_t removeOrphanedTemporaries(const fs::path& folder)
{
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] != '.' || name.find(".telvix-") == std::string::npos) continue;
        std::smatch parts;
        if (!std::regex_match(name, parts, temporaryNamePattern())) continue;
        // Only this machine's files: a process elsewhere cannot be asked whether it lives.
        if (parts[1].str() != hostTag()) continue;
        const long long pid = std::stoll(parts[2].str());
        if (pid == getpid() || !processIsGone(pid)) continue;
        const std::string file = entry.path().string();
        const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened {};
        struct stat named {};
        // Removed only when it is a regular file that no process holds locked, still under
        // the name looked at.
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(file.c_str(), &named) == 0 &&
            named.st_ino == opened.st_ino && named.st_dev == opened.st_dev &&
            unlink(file.c_str()) == 0) {
            ++removed;
        }
        close(fd);
    }
    return removed;
}

}  // namespace telvix::cli
