#include "progress_line.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace telvix::cli {
namespace {

using Clock = std::chrono::steady_clock;

// "1:05" for 65 seconds.
std::string minutesSeconds(double seconds)
{
    const long s = std::lround(seconds);
    return s >= 3600 ? fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60)
                     : fmt::format("{}:{:02}", s / 60, s % 60);
}

}  // namespace

void ProgressLine::update(std::size_t done, std::size_t rendered, bool force)
{
    if (!enabled_) return;
    const auto now = Clock::now();
    if (!force && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double fps = elapsed > 0 ? static_cast<double>(rendered) / elapsed : 0.0;
    std::string line = fmt::format("telvix: {}/{} frames", done, total_);
    if (rendered > 0) {
        line += fmt::format("  {:.1f} fps", fps);
        if (done < total_) {
            line +=
                fmt::format("  {} left", minutesSeconds(static_cast<double>(total_ - done) / fps));
        }
    }
    // \r returns to the start of the line, ESC[K clears what a longer line left behind.
    fmt::print(stderr, "\r{}\x1b[K", line);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressLine::finish()
{
    if (drawn_) fmt::print(stderr, "\n");
    drawn_ = false;
}

}  // namespace telvix::cli
