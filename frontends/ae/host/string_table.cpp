#include "string_table.h"

namespace telvix {

namespace {

const TableString kStrings[kStrCount] = {
    {kStrNone, ""},
    {kStrName, "Telvix"},
    {kStrDescription, "Smooth line of cell animation.\rCopyright 2026 The Telvix developers."},
    {kStrAllDependencies, "All Dependencies requested."},
    {kStrMissingDependencies, "Missing Dependencies requested."},
    {kStrErrorLoadingSuite, "Error loading suite."},
    {kStrErrorReleasingSuite, "Error releasing suite."},
    {kStrColorKeyName, "Color Key"},
    {kStrUseColorKeyName, "Use Color Key"},
    {kStrUseColorKeyLabel, "Use Color Key"},
    {kStrSmoothRangeName, "Do Smooth Range"},
    {kStrSmoothLengthTolerance, "Smooth Length Tolerance"},
    {kStrRelativeThreshold, "Relative Threeshold"},
    {kStrRelativeThreshold2, "Relative Threeshold"},
};

}  // namespace

const A_char* stringFor(A_long id)
{
    // Guard the direct index: an unknown id must not read past the table.
    if (id < 0 || id >= kStrCount) {
        return kStrings[kStrNone].text;
    }
    return kStrings[id].text;
}

}  // namespace telvix
