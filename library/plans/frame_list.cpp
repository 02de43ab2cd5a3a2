// Frame lists: the --frames syntax, and frames written back as ranges.
#include <fmt/format.h>

#include <charconv>
#include <cstddef>
#include <set>
#include <system_error>

#include "cli_error.h"
#include "frame_sequence.h"

namespace telvix::cli {

std::vector<long> parseFrameList(std::string_view text)
{
    std::vector<long> frames;
    std::set<long> seen;
    auto fail = [&] {
        return UsageError(
            fmt::format("--frames: '{}' is not a frame list; expected e.g. "
                        "1001-1100, 1-10,20,30-40 or 1-99x2",
                        text));
    };
    auto number = [&](std::string_view& rest) {
        if (!rest.empty() && rest.front() == '-') {
            throw UsageError(fmt::format(
                "--frames: '{}' holds a negative frame number; frames are numbered from 0", text));
        }
        long value = 0;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (ec != std::errc() || end == rest.data() || value < 0) throw fail();
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        return value;
    };
    std::string_view rest = text;
    while (true) {
        const long first = number(rest);
        long last = first;
        long step = 1;
        if (!rest.empty() && rest.front() == '-') {
            rest.remove_prefix(1);
            last = number(rest);
            if (last < first) throw fail();
            if (!rest.empty() && rest.front() == 'x') {
                rest.remove_prefix(1);
                step = number(rest);
                if (step < 1) throw fail();
            }
        }
        // Both ends are at least 0, so the difference cannot overflow; counting by offsets keeps
        // the loop clear of the end of long's range.
        const long count = (last - first) / step + 1;
        if (count > static_cast<long>(kMaxPlannedFrames - frames.size())) {
            throw UsageError(fmt::format("--frames: '{}' asks for more than {} frames", text,
                                         kMaxPlannedFrames));
        }
        for (long i = 0; i < count; ++i) {
            const long f = first + i * step;
            if (seen.insert(f).second) frames.push_back(f);
        }
        if (rest.empty()) break;
        if (rest.front() != ',') throw fail();
        rest.remove_prefix(1);
    }
    return frames;
}

std::string describeFrames(const std::vector<long>& frames)
{
    std::string text;
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += j == i ? fmt::format("{}", frames[i]) : fmt::format("{}-{}", frames[i], frames[j]);
        i = j + 1;
    }
    return text;
}

}  // namespace telvix::cli
