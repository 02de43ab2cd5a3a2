// The table of the effect's user-visible texts, looked up by a numeric id.
#pragma once

#include "A.h"

namespace telvix {

// Ids of the string table's entries; entry n holds id n. The table is part of the effect's
// interface: every entry stays, those no control uses and their spellings included.
enum StringId : A_long {
    kStrNone = 0,
    kStrName,                 // display name
    kStrDescription,          // About's description: a summary line and a notice line
    kStrAllDependencies,      // "All Dependencies requested."
    kStrMissingDependencies,  // "Missing Dependencies requested."
    kStrErrorLoadingSuite,
    kStrErrorReleasingSuite,
    kStrColorKeyName,      // name of the colour parameter
    kStrUseColorKeyName,   // name of the check box parameter
    kStrUseColorKeyLabel,  // label beside the check box
    kStrSmoothRangeName,   // name of the tolerance slider
    kStrSmoothLengthTolerance,
    kStrRelativeThreshold,
    kStrRelativeThreshold2,
    kStrCount
};

// One record of the table: its id and a zero-terminated text of at most 255 characters.
struct TableString {
    A_long id;
    A_char text[256];
};

// The text of entry `id` (a direct index). Ids outside the table yield the empty entry 0.
const A_char* stringFor(A_long id);

}  // namespace telvix
