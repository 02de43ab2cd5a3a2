// Errors that end a telvix run: each carries the process exit status it maps to.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telvix::cli {

inline constexpr int kExitFailure = 1;  // the work could not be done (I/O, plug-in, data)
inline constexpr int kExitUsage = 2;    // the command line asks for something impossible

// A failure reported as one line "telvix: error: <what()>" and the exit status exitCode().
class CliError : public std::runtime_error {
public:
    explicit CliError(const std::string& message, int exitCode = kExitFailure)
        : std::runtime_error(message), exitCode_(exitCode)
    {
    }
    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// A command-line mistake: malformed or out-of-range values, impossible combinations.
class UsageError : public CliError {
public:
    explicit UsageError(const std::string& message) : CliError(message, kExitUsage) {}
};

// The plug-in answered a command with an error: `code()` is the host's error number.
class RenderFailure : public CliError {
public:
    RenderFailure(const std::string& message, int code) : CliError(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// `text` on one line, as every error is reported: library and system messages can span lines.
// Its lines are joined by "; " (a line ending in a space by the space alone), and trailing
// spaces and separators are dropped; `whenEmpty` stands for a message that is empty then (some
// readers and writers fail without a word).
std::string oneLine(std::string_view text, std::string_view whenEmpty = {});

// Prints "telvix: error: <message>" as one line on stderr. Never throws: a closed stderr
// (2>&1 | head) is not a second error.
void printError(const std::string& message);

// Bytes as the gigabytes a message gives them in (one decimal, as "{:.1f} GB").
inline double gigabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e9; }

// What a message says for a library that failed without a word.
inline constexpr std::string_view kNoReason = "the library gave no reason";

}  // namespace telvix::cli
