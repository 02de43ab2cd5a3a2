// The telvix command line: subcommands, their options and the values they carry.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "smooth_request.h"

namespace telvix::cli {

enum class Command { Smooth, About, Params };

// Everything one run of the command was asked to do: for smooth, a request to the library,
// and what only the command itself acts on.
struct CommandLine : SmoothRequest {
    Command command = Command::Smooth;
    std::string plugin;  // empty: look for the plug-in in the usual places

    // A Dask cluster's scheduler (tcp://HOST:8786): the run is handed to the Python module's
    // shell entry, python3 -m telvix.cluster, with the same arguments. Empty: run here.
    std::string scheduler;
    int chunk = 0;           // with a scheduler: frames per task; 0: the module's default
    double waitTimeout = 0;  // with a scheduler: seconds to wait for a worker; unset: 60
};

// Owns the CLI11 description of the command line. parse() throws CLI::ParseError for what
// CLI11 rejects or answers itself (help, version) and UsageError for malformed values.
class CommandLineParser {
public:
    CommandLineParser();
    CommandLine parse(int argc, const char* const* argv);
    // Prints what a CLI11 error asks for (help, version) and returns its exit status.
    int exit(const CLI::ParseError& error) { return app_.exit(error); }

private:
    CLI::App app_;
    CLI::App* smooth_ = nullptr;
    CLI::App* about_ = nullptr;
    CLI::App* params_ = nullptr;
    CommandLine values_;
    std::string key_;
    std::string extent_;
    std::string frames_;
    int depth_ = 0;
};

}  // namespace telvix::cli
