// Checks of a sequence plan made before any frame is touched: no output writes over an input,
// and no two frames write one file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "frame_sequence.h"

namespace telvix::cli {

// A file a run reads or could meet: a frame's input, or a file of the input pattern on disk
// outside the frames asked for.
struct KnownInput {
    std::filesystem::path path;
    std::string label;  // "frame 1001", or in folder mode the file name
};

// Throws UsageError when any output of `plan` is one of `inputs`: the same path once links and
// ".." are resolved, or (for files that exist) the same file through a hard link. The message
// names OUTPUT as given, the frame written and the input it would replace.
void checkNoOutputIsAnInput(const SequencePlan& plan, const std::vector<KnownInput>& inputs,
                            const std::string& outputText);

// Throws UsageError when two frames of `plan` would be written to one file: their outputs are
// the same entry once the folders' links are resolved (out/1001 a link to out/1002), or two
// existing names of one file (hard links). The message names both frames and both paths.
void checkOutputsDistinct(const SequencePlan& plan, const std::string& outputText);

}  // namespace telvix::cli
