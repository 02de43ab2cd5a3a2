// Checks of an input file and its headers, made before any library reads its pixels and before
// any pixel memory is taken: what kind of file it is, the layouts handled, and sizes that its
// headers claim but the file cannot hold.
#pragma once

#include <OpenImageIO/imageio.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace telvix::cli {

// "'PATH'" for a file's first page, "'PATH' page N of M" for another: how messages name a page.
std::string pageName(const std::filesystem::path& path, std::size_t page, std::size_t pages);

// Checks that `path` is a file a reader can take: it exists, and is a regular file (after
// following links: a pipe, a socket or a device such as /dev/zero would block or never end)
// that is not empty. Returns its size; throws CliError naming it otherwise.
std::uint64_t checkInputFile(const std::filesystem::path& path);

// Checks a PNG's chunk lengths against the file's size (`fileBytes`) before any library reads
// it: a chunk claiming more bytes than the file holds (a 56-byte file whose text chunk claims
// 2 GB) would otherwise have the PNG library allocate all of them. Other files pass.
void checkPngChunks(const std::filesystem::path& path, std::uint64_t fileBytes);

// Checks that a page's channels are one of the four layouts handled (grey, grey+alpha, RGB,
// RGBA, alpha last) and its size one a host world can take (at most kMaxFramePixels, rows of at
// most 2^31 - 1 bytes at 16 bits). `quoted` names the page in messages (pageName).
void checkLayout(const std::string& quoted, const OIIO::ImageSpec& spec);

// A header can claim any size; the pixels a file can hold are bounded by its size and how far
// its format (OpenImageIO's name, `format`) compresses. A larger claim is a damaged or hostile
// header (a 9 kB TIFF claiming 30000x30000 pixels), refused here for each page of `specs` and for
// all pages together.
void checkClaimedSizes(const std::filesystem::path& path, const std::string& format,
                       const std::vector<OIIO::ImageSpec>& specs, std::uint64_t fileBytes);

// OpenImageIO's DPX reader takes a file cut short for whole, the missing samples left black, at
// 10 and 12 bits: a DPX file shorter than its header (`spec`, its first image) calls for is
// refused. Other files pass.
void checkDpxLength(const std::filesystem::path& path, const OIIO::ImageSpec& spec);

}  // namespace telvix::cli
