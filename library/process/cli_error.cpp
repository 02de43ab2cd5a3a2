#include "cli_error.h"

#include <cstdio>

namespace telvix::cli {

std::string oneLine(std::string_view text, std::string_view whenEmpty)
{
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            if (!out.empty() && out.back() != ' ') out += "; ";
        } else {
            out += c;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
    return out.empty() ? std::string(whenEmpty) : out;
}

void printError(const std::string& message)
{
    std::fprintf(stderr, "telvix: error: %s\n", oneLine(message).c_str());
}

}  // namespace telvix::cli
