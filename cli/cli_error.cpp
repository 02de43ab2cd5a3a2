#include "cli_error.h"

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

}  // namespace telvix::cli
