// telvix: smooths the lines of cel-animation images with the Telvix effect, loaded and driven
// the way an effect host drives it.
#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>

#include "cli_error.h"
#include "frame_sequence.h"
#include "interrupt.h"
#include "options.h"
#include "plugin_driver.h"
#include "plugin_library.h"
#include "sequence_runner.h"

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
    const SequencePlan plan =
        planSmooth(commandLine, isSequenceRequest(commandLine.input, commandLine.output));
    const PluginLibrary plugin(findPlugin(commandLine.plugin));
    return runSequence(plan, commandLine, plugin.entryPoint());
}

int run(const CommandLine& commandLine)
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
        return run(commandLine);
    } catch (const Interrupted&) {
        return reportStop("interrupted; nothing written");
    } catch (const CliError& e) {
        return report(e.what(), e.exitCode());
    } catch (const std::bad_alloc&) {
        return report("out of memory", kExitFailure);
    } catch (const std::exception& e) {
        return report(e.what(), kExitFailure);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything is written: stop requests, closed pipes, file-size limits and crashes.
    installSignalHandlers();
    const int status = runCommand(argc, argv);
    // Output lost to a closed pipe ends the process as SIGPIPE would (see finishAfterStop).
    if (std::fflush(stdout) != 0 && errno == EPIPE) requestStop(SIGPIPE);
    if (stopSignal() == SIGPIPE) finishAfterStop();
    return status;
}
