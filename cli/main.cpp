// telvix: smooths the lines of cel-animation images with the Telvix effect, loaded and driven
// the way an effect host drives it.
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli_error.h"
#include "frame_sequence.h"
#include "interrupt.h"
#include "memory_budget.h"
#include "options.h"
#include "plan_run.h"
#include "plugin_driver.h"
#include "plugin_library.h"
#include "run_outcome.h"

namespace {

using namespace telvix::cli;

// Prints "telvix: error: <message>" as one line on stderr and returns `exitCode`.
int report(const std::string& message, int exitCode)
{
    printError(message);
    return exitCode;
}

// The end of a run stopped by a signal: quietly by SIGPIPE when its output was closed, else
// one line and status 130.
int reportStop(const std::string& message)
{
    finishAfterStop();
    markFinalMessage();
    return report(message, kExitInterrupted);
}

// Smooths one image, a frame sequence or a folder: one image is a plan of one frame, run as a
// sequence is. Everything that can be refused is planned and checked before the plug-in is
// loaded and before anything is written; each output appears only once it is complete.
int smooth(const CommandLine& commandLine)
{
    const bool sequence =
        !commandLine.literal &&
        isSequenceRequest(commandLine.input, commandLine.output, commandLine.frames.has_value());
    const SequencePlan plan = planSmooth(commandLine, sequence);
    const PluginLibrary plugin(findPlugin(commandLine.plugin));
    return runSequence(plan, commandLine, plugin.entryPoint());
}

// A cluster smooths frame patterns: one image or a folder is refused before Python starts, with
// what to do instead.
void checkClusterInput(const CommandLine& commandLine)
{
    const std::string& input = commandLine.input;
    if (isSequenceRequest(input, commandLine.output, commandLine.frames.has_value()) &&
        FramePattern::parse(input)) {
        return;
    }
    std::error_code ec;
    throw UsageError(fmt::format(
        "--scheduler smooths a frame pattern (shot.####.png) on a cluster, and INPUT '{}' is {}; "
        "smooth it here without --scheduler",
        input, std::filesystem::is_directory(input, ec) ? "a folder" : "one image"));
}

// Hands a --scheduler run to the Python module's shell entry, which smooths the shot on a Dask
// cluster: this process becomes `python3 -m telvix.cluster` with the arguments after "smooth".
// Run from a build folder (<build>/cli/telvix), the package is <build>/python; installed, the
// interpreter finds it on its own path.
[[noreturn]] void runOnCluster(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<char*> args{const_cast<char*>(TELVIX_PYTHON), const_cast<char*>("-m"),
                            const_cast<char*>("telvix.cluster")};
    int first = 1;
    while (first < argc && std::string_view(argv[first]) != "smooth") ++first;
    for (int i = first + 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path package = self.parent_path().parent_path() / "python";
    if (!ec && fs::is_regular_file(package / "telvix" / "cluster.py", ec)) {
        std::string path = package.string();
        const char* inherited = std::getenv("PYTHONPATH");
        if (inherited != nullptr && *inherited != '\0') path += std::string(":") + inherited;
        setenv("PYTHONPATH", path.c_str(), 1);
    }
    // The interpreter starts with default signals: handlers are reset by exec, but an ignored
    // signal (SIGXFSZ, see installSignalHandlers) and the blocked mask would carry over.
    std::signal(SIGXFSZ, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::fflush(stdout);
    execvp(args[0], args.data());
    throw CliError(
        fmt::format("--scheduler: cannot run {}: {}", TELVIX_PYTHON, std::strerror(errno)));
}

int run(const CommandLine& commandLine, int argc, char** argv)
{
    switch (commandLine.command) {
        case Command::About: {
            const PluginLibrary plugin(findPlugin(commandLine.plugin));
            fmt::print("{}\n", aboutText(plugin.entryPoint()));
            return 0;
        }
        case Command::Params: {
            const PluginLibrary plugin(findPlugin(commandLine.plugin));
            fmt::print("{}", describeParameters(plugin.entryPoint()));
            return 0;
        }
        case Command::Smooth:
            if (!commandLine.scheduler.empty()) {
                checkClusterInput(commandLine);
                runOnCluster(argc, argv);
            }
            return smooth(commandLine);
    }
    return kExitFailure;
}

int runCommand(int argc, char** argv)
{
    try {
        CommandLineParser parser;
        CommandLine commandLine;
        try {
            commandLine = parser.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            // Help and version requests arrive as "errors" with status 0.
            if (e.get_exit_code() == 0) return parser.exit(e);
            return report(fmt::format("{} (see telvix --help)", e.what()), kExitUsage);
        }
        return run(commandLine, argc, argv);
    } catch (const Interrupted&) {
        return reportStop("interrupted; nothing written");
    } catch (const CliError& e) {
        return report(e.what(), e.exitCode());
    } catch (const std::bad_alloc&) {
        return report(outOfMemoryMessage(), kExitFailure);
    } catch (const std::system_error& e) {
        // A thread that cannot be started (EAGAIN) under a memory or process limit.
        return report(e.code() == std::errc::resource_unavailable_try_again
                          ? noThreadMessage(e.code().message())
                          : oneLine(e.what()),
                      kExitFailure);
    } catch (const std::exception& e) {
        return report(oneLine(e.what()), kExitFailure);
    } catch (...) {
        return report("failed for a reason the libraries did not give", kExitFailure);
    }
}

}  // namespace

// The command's entry, called by the telvix executable once it has loaded this library.
extern "C" __attribute__((visibility("default"))) int telvix_main(int argc, char** argv)
{
    // Before anything is written: stop requests, closed pipes, file-size limits and crashes.
    installSignalHandlers();
    fitAllocatorToLimits();
    const int status = runCommand(argc, argv);
    // Output lost to a closed pipe ends the process as SIGPIPE would (see finishAfterStop).
    if (std::fflush(stdout) != 0 && errno == EPIPE) requestStop(SIGPIPE);
    if (stopSignal() == SIGPIPE) finishAfterStop();
    return status;
}
