// telvix: the executable is a small launcher. The command itself (telvix-command.so, beside it
// or in ../lib/telvix) links OpenImageIO and its couple of hundred libraries, which take over
// 400 MB of address space before the first line of the command runs. Loaded by the dynamic
// linker at start-up, a memory limit too small for them ends the process with the linker's
// message and status 127, or with a crash inside some library's initialiser (an unchecked
// allocation, a thread that cannot start); loaded here, any of those is one line and status 1.
//
// Only the C library is used, so that the launcher itself starts under any limit.
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kExitFailure = 1;
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE};

// The line a crash while loading prints, composed before loading starts (the handler only
// writes it), and the descriptor of the real stderr.
char crashLine[512];
int realStderr = STDERR_FILENO;

// The memory limit of the process that applies to mappings, as messages name it, or empty.
void describeLimit(char* text, std::size_t size)
{
    text[0] = '\0';
    const struct {
        int resource;
        const char* name;
    } limits[] = {{RLIMIT_AS, "address-space limit (ulimit -v)"},
                  {RLIMIT_DATA, "data limit (ulimit -d)"}};
    for (const auto& limit : limits) {
        rlimit value{};
        if (getrlimit(limit.resource, &value) == 0 && value.rlim_cur != RLIM_INFINITY) {
            std::snprintf(text, size, " within the process's %s of %llu MB", limit.name,
                          static_cast<unsigned long long>(value.rlim_cur / 1000000));
            return;
        }
    }
}

extern "C" void onLoadCrash(int)
{
    (void)!write(realStderr, crashLine, std::strlen(crashLine));
    _exit(kExitFailure);
}

// The folder of the running executable (found through the kernel, not argv[0]), with a
// trailing slash, or empty.
void executableFolder(char* folder, std::size_t size)
{
    const ssize_t length = readlink("/proc/self/exe", folder, size - 1);
    folder[length > 0 ? length : 0] = '\0';
    char* slash = std::strrchr(folder, '/');
    if (slash != nullptr) {
        slash[1] = '\0';
    } else {
        folder[0] = '\0';
    }
}

// Under a memory limit, loading may also end the process from inside the dynamic linker
// ("out of memory", status 127), where nothing can be caught: a child process tries the load
// first. Returns true when it loaded; otherwise `error` holds the last line the child (the
// linker or a library) printed, or how it ended.
bool loadsInChild(const char* path, char* error, std::size_t errorSize)
{
    int messages[2];
    if (pipe(messages) != 0) return true;  // nothing to try it with: the load itself tells
    const pid_t child = fork();
    if (child < 0) {
        close(messages[0]);
        close(messages[1]);
        return true;
    }
    if (child == 0) {
        for (const int signal : kCrashSignals) std::signal(signal, SIG_DFL);
        close(messages[0]);
        dup2(messages[1], STDERR_FILENO);
        void* command = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (command == nullptr) {
            const char* why = dlerror();
            if (why != nullptr) (void)!write(STDERR_FILENO, why, std::strlen(why));
            _exit(kExitFailure);
        }
        _exit(0);
    }
    close(messages[1]);
    char said[8192];
    std::size_t length = 0;
    ssize_t got = 0;
    while ((got = read(messages[0], said + length, sizeof said - 1 - length)) > 0) {
        length += static_cast<std::size_t>(got);
        if (length == sizeof said - 1) length = 0;  // keep reading; the end is what counts
    }
    close(messages[0]);
    said[length] = '\0';
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    // The last line said, without its line end.
    while (length > 0 && (said[length - 1] == '\n' || said[length - 1] == ' '))
        said[--length] = '\0';
    const char* line = std::strrchr(said, '\n');
    line = line != nullptr ? line + 1 : said;
    while (*line == ' ') ++line;
    // std::terminate's "  what():  std::bad_alloc": the exception's own words.
    if (std::strncmp(line, "what():", 7) == 0) line += 7;
    while (*line == ' ') ++line;
    if (*line != '\0') {
        std::snprintf(error, errorSize, "%.300s", line);
    } else if (WIFSIGNALED(status)) {
        std::snprintf(error, errorSize, "a library crashed while loading (signal %d)",
                      WTERMSIG(status));
    } else {
        std::snprintf(error, errorSize, "loading its libraries ended with status %d",
                      WEXITSTATUS(status));
    }
    return false;
}

// Loads the command. Library initialisers that fail under a memory limit may print their own
// lines and abort: while loading, stderr goes to an in-memory file, replayed once the load has
// succeeded, and a crash prints the launcher's line instead.
void* loadCommand(const char* folder, char* error, std::size_t errorSize)
{
    char limit[160];
    describeLimit(limit, sizeof limit);
    std::snprintf(crashLine, sizeof crashLine,
                  "telvix: error: cannot start: its libraries do not load%s (one crashed)\n",
                  limit);
    const int held = memfd_create("telvix-load-messages", 0);
    realStderr = held >= 0 ? dup(STDERR_FILENO) : -1;
    if (realStderr >= 0) {
        dup2(held, STDERR_FILENO);
    } else {
        realStderr = STDERR_FILENO;
    }
    // A sanitizer build leaves crashes to the sanitizer, which reports them itself.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    struct sigaction crash {};
    crash.sa_handler = onLoadCrash;
    sigemptyset(&crash.sa_mask);
    for (const int signal : kCrashSignals) {
        sigaction(signal, &crash, nullptr);
    }
#endif
    const char* places[] = {"telvix-command.so", "../lib/telvix/telvix-command.so"};
    void* command = nullptr;
    error[0] = '\0';
    for (const char* place : places) {
        char path[4096];
        std::snprintf(path, sizeof path, "%s%s", folder, place);
        if (access(path, F_OK) != 0) continue;
        char said[1024];
        if (limit[0] != '\0' && !loadsInChild(path, said, sizeof said)) {
            std::snprintf(error, errorSize, "its libraries do not load%s (%s)", limit, said);
            break;
        }
        command = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (command != nullptr) break;
        const char* why = dlerror();
        std::snprintf(error, errorSize, "its libraries do not load%s (%s)", limit,
                      why != nullptr ? why : path);
        break;
    }
    if (command == nullptr && error[0] == '\0') {
        std::snprintf(error, errorSize, "telvix-command.so is not in %s nor in %s../lib/telvix",
                      folder, folder);
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    crash.sa_handler = SIG_DFL;
    for (const int signal : kCrashSignals) {
        sigaction(signal, &crash, nullptr);
    }
#endif
    if (realStderr != STDERR_FILENO) {
        dup2(realStderr, STDERR_FILENO);
        close(realStderr);
        realStderr = STDERR_FILENO;
        // What the libraries said while loading, now that they loaded.
        if (command != nullptr && lseek(held, 0, SEEK_SET) == 0) {
            char buffer[4096];
            ssize_t got = 0;
            while ((got = read(held, buffer, sizeof buffer)) > 0) {
                (void)!write(STDERR_FILENO, buffer, static_cast<std::size_t>(got));
            }
        }
    }
    if (held >= 0) close(held);
    return command;
}

}  // namespace

int main(int argc, char** argv)
{
    char folder[4096];
    executableFolder(folder, sizeof folder);
    char error[8192];
    void* command = loadCommand(folder, error, sizeof error);
    if (command == nullptr) {
        // A dynamic linker's message is one line already.
        std::fprintf(stderr, "telvix: error: cannot start: %s\n", error);
        return kExitFailure;
    }
    using Entry = int (*)(int, char**);
    const auto entry = reinterpret_cast<Entry>(dlsym(command, "telvix_main"));
    if (entry == nullptr) {
        std::fprintf(stderr, "telvix: error: cannot start: telvix-command.so has no entry\n");
        return kExitFailure;
    }
    return entry(argc, argv);
}
