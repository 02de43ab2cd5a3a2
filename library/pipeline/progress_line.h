// The progress line a run draws on a terminal.
#pragma once

#include <chrono>
#include <cstddef>

namespace telvix::cli {

// The terminal progress line: frames done of total, frames per second, time left. Redrawn in
// place at most ten times a second.
class ProgressLine {
public:
    ProgressLine(bool enabled, std::size_t total) : enabled_(enabled), total_(total) {}

    // Redraws the line for `done` frames ended of which `rendered` were smoothed; `force`: now,
    // however recently it was drawn.
    void update(std::size_t done, std::size_t rendered, bool force = false);
    // Ends the line so that later messages start on their own.
    void finish();

private:
    bool enabled_;
    std::size_t total_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDrawn_{};
    bool drawn_ = false;
};

}  // namespace telvix::cli
