// Running the built telvix command as a user runs it, inside a test's scratch folder.
// Needs TELVIX_COMMAND, the path of the built command.
#pragma once

#include <fmt/format.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "cli_tests_support.h"

namespace telvix::cli::test {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every file of a folder with its content, to show what a run changed.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files[entry.path().filename().string()] =
            entry.is_regular_file() ? slurp(entry.path()) : std::string("<folder>");
    }
    return files;
}

class Command : public ScratchFolder {
protected:
    // Runs telvix with `args` inside the scratch folder; stdout and stderr are captured (so
    // stderr is not a terminal).
    RunResult telvix(const std::string& args)
    {
        const std::filesystem::path out = dir.string() + ".out";
        const std::filesystem::path err = dir.string() + ".err";
        const std::string line = fmt::format("cd '{}' && '{}' {} >'{}' 2>'{}'", dir.string(),
                                             TELVIX_COMMAND, args, out.string(), err.string());
        const int status = std::system(line.c_str());
        RunResult run;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = slurp(out);
        run.err = slurp(err);
        std::filesystem::remove(out);
        std::filesystem::remove(err);
        return run;
    }
};

}  // namespace telvix::cli::test
