// A repair for one reading fault of OpenImageIO's DPX reader: with 10-bit samples packed three
// to a 32-bit word ("filled"), it reads a row one word short when the row holds 3n + 1 samples,
// so the row's last sample comes from a buffer it never wrote (zero or not, as the heap has it).
// DpxRowEnds reads those last words from the file itself and puts the true sample in place.
#pragma once

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>

#include "dpx_header.h"

namespace telvix::cli {

class DpxRowEnds {
public:
    // The repair for `path` as OpenImageIO opened it (its format name and spec, first
    // subimage); nothing when the file is not a DPX whose rows lose their last sample.
    static std::optional<DpxRowEnds> find(const std::filesystem::path& path,
                                          std::string_view formatName, const OIIO::ImageSpec& spec);

    // Sets the last sample of rows first .. first + rows - 1 (counted from the top) in
    // `samples`, rows of 16-bit samples as OpenImageIO hands them on. False when the file
    // cannot be read there.
    bool repair(int first, int rows, std::uint16_t* samples);

private:
    std::filesystem::path path_;
    std::ifstream file_;            // opened at the first repair
    std::uint64_t dataOffset_ = 0;  // of the first row, in bytes from the file's start
    std::uint64_t rowBytes_ = 0;    // one row and its end-of-line padding
    std::uint64_t lastWord_ = 0;    // of the row's last word, in bytes from the row's start
    std::size_t rowSamples_ = 0;
    DpxHeader header_;  // the file's byte order
    int shift_ = 0;     // of the last sample in its word
};

}  // namespace telvix::cli
