// telvix: smooths the lines of cel-animation images with the Telvix effect, loaded and driven
// the way an effect host drives it.
#include <fmt/format.h>
#include <oneapi/tbb/info.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "cli_error.h"
#include "frame_sequence.h"
#include "frame_world.h"
#include "image_read.h"
#include "interrupt.h"
#include "options.h"
#include "output_format.h"
#include "plugin_driver.h"
#include "plugin_library.h"
#include "sequence_runner.h"
#include "temporary_file.h"

namespace {

namespace fs = std::filesystem;
using namespace telvix::cli;

// Prints "telvix: error: <message>" as one line on stderr and returns `exitCode`.
int report(const std::string& message, int exitCode)
{
    printError(message);
    return exitCode;
}

// Writing over the input would destroy it before the run could be checked; links and
// different spellings of one file count as the same file.
void checkDistinctFiles(const fs::path& input, const fs::path& output)
{
    std::error_code ec;
    if (fs::exists(output, ec) && fs::equivalent(input, output, ec)) {
        throw UsageError(fmt::format("OUTPUT '{}' is the same file as INPUT '{}'", output.string(),
                                     input.string()));
    }
}

int smoothImage(const CommandLine& commandLine, const WriteOptions& writeOptions);

// The end of a run stopped by a signal: quietly by SIGPIPE when its output was closed, else
// one line and status 130.
int reportStop(const std::string& message)
{
    finishAfterStop();
    markFinalMessage();
    return report(message, kExitInterrupted);
}

int smooth(const CommandLine& commandLine)
{
    if (isSequenceRequest(commandLine.input, commandLine.output)) {
        // Everything is planned and checked before the plug-in is loaded.
        const SequencePlan plan =
            planSequence(commandLine.input, commandLine.output, commandLine.frames);
        const PluginLibrary plugin(findPlugin(commandLine.plugin));
        return runSequence(plan, commandLine, plugin.entryPoint());
    }
    if (commandLine.frames) {
        throw UsageError(
            "--frames needs INPUT as a frame pattern (shot.####.png or shot.%04d.png)");
    }

    const fs::path input = commandLine.input;
    const fs::path output = commandLine.output;
    // Everything that can be refused is checked before the plug-in is loaded and before
    // anything is written; the output appears only once it is complete.
    checkDistinctFiles(input, output);
    checkCompression(output, commandLine.compression);
    std::error_code ec;
    if (commandLine.skipExisting && fs::exists(output, ec)) {
        if (isCompleteImage(output)) {
            if (commandLine.verbose)
                printOut(fmt::format("{}: skipped, it exists\n", output.string()));
            return 0;
        }
        if (!commandLine.quiet) {
            fmt::print(stderr, "telvix: '{}' exists but is incomplete; writing it again\n",
                       output.string());
        }
    }
    // The file goes straight into the host's input world, and the result is written from the
    // output world: at most the render's own three worlds are ever held.
    const WriteOptions writeOptions{commandLine.compression, commandLine.dropAlpha,
                                    commandLine.key.has_value()};
    try {
        return smoothImage(commandLine, writeOptions);
    } catch (const Interrupted&) {
        return reportStop("interrupted; nothing written");
    }
}

// Reads, renders and writes the one image of `commandLine`, each of its pages a frame.
int smoothImage(const CommandLine& commandLine, const WriteOptions& writeOptions)
{
    const fs::path input = commandLine.input;
    const fs::path output = commandLine.output;
    const int depth = commandLine.depth.value_or(0);
    std::vector<Frame> pages =
        readFrames(input, depth, ReadOptions{depth, commandLine.clip},
                   [&](const Image& page) { planOutputLayout(output, page, writeOptions); });
    if (commandLine.extent) {
        for (const Frame& page : pages) {
            checkExtentInFrame(*commandLine.extent, page.world.width(), page.world.height());
        }
    }

    const PluginLibrary plugin(findPlugin(commandLine.plugin));
    // One frame: its render gets every core unless --threads says otherwise. Each page of a
    // file is a frame of its own.
    const Parallelism parallelism =
        chooseParallelism(commandLine, 1, oneapi::tbb::info::default_concurrency());
    for (Frame& page : pages) {
        const RenderRequest request =
            renderRequestFor(commandLine, page.world.deep() ? 16 : 8, parallelism.threads);
        page.world = renderWorld(plugin.entryPoint(), std::move(page.world), request);
        // Interrupted while rendering: nothing is written.
        throwIfInterrupted();
    }
    // Files a killed run left beside the output go before a new one is written.
    removeOrphanedTemporaries(output.parent_path());
    writeFramesReplacing(output, pages, writeOptions);
    // A stop that came after the file was renamed into place: the file is whole.
    if (interrupted()) {
        return reportStop(fmt::format("interrupted; '{}' was written whole", output.string()));
    }
    const std::string clipped = clippedNote(input, pages);
    if (!clipped.empty() && !commandLine.quiet) fmt::print(stderr, "{}\n", clipped);
    if (commandLine.verbose) {
        printOut(fmt::format("{} -> {} ({} host {})\n", input.string(), output.string(),
                             parallelism.threads, parallelism.threads == 1 ? "thread" : "threads"));
    }
    return 0;
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
