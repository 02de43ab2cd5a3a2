#include "smooth_request.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <vector>

#include "cli_error.h"

namespace telvix::cli {
namespace {

// The value of one hexadecimal digit, or -1.
int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

KeyColour parseKeyColour(std::string_view text)
{
    // Only the colour is given: the key is opaque, so it matches opaque pixels of that colour.
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '#') digits.remove_prefix(1);
    int value[6] = {};
    bool ok = digits.size() == 6;
    for (std::size_t i = 0; ok && i < 6; ++i) {
        value[i] = hexDigit(digits[i]);
        ok = value[i] >= 0;
    }
    if (!ok) {
        throw UsageError(
            fmt::format("--key: '{}' is not a colour; expected six hex digits RRGGBB", text));
    }
    auto channel = [&](int i) { return static_cast<std::uint8_t>(value[i] * 16 + value[i + 1]); };
    return KeyColour{channel(0), channel(2), channel(4)};
}

Extent parseExtent(std::string_view text)
{
    // Numbers separated by single commas, nothing else: no blanks, no trailing comma.
    std::vector<int> numbers;
    std::string_view rest = text;
    bool ok = true;
    while (ok) {
        int number = 0;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
        ok = ec == std::errc() && end != rest.data();
        if (!ok) break;
        numbers.push_back(number);
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        if (rest.empty()) break;
        ok = rest.front() == ',';
        rest.remove_prefix(1);
    }
    if (!ok || numbers.size() != 4) {
        throw UsageError(fmt::format(
            "--extent: '{}' is not an extent; expected four integers LEFT,TOP,RIGHT,BOTTOM", text));
    }
    const Extent extent{numbers[0], numbers[1], numbers[2], numbers[3]};
    if (extent.right <= extent.left || extent.bottom <= extent.top) {
        throw UsageError(
            fmt::format("--extent: '{}' is empty (right and bottom are exclusive "
                        "and must exceed left and top)",
                        text));
    }
    return extent;
}

void checkExtentInFrame(const Extent& extent, int width, int height)
{
    if (extent.left < 0 || extent.top < 0 || extent.right > width || extent.bottom > height) {
        throw UsageError(fmt::format("--extent: {},{},{},{} lies outside the {}x{} frame",
                                     extent.left, extent.top, extent.right, extent.bottom, width,
                                     height));
    }
}

Parallelism chooseParallelism(const SmoothRequest& request, std::size_t frames, int cores)
{
    cores = std::max(cores, 1);
    const int frameCount = static_cast<int>(std::clamp<std::size_t>(frames, 1, 1 << 20));
    Parallelism parallelism;
    parallelism.jobs = request.jobs > 0 ? request.jobs : std::min(frameCount, cores);
    parallelism.threads =
        request.threads > 0 ? request.threads : std::max(1, cores / parallelism.jobs);
    return parallelism;
}

}  // namespace telvix::cli
