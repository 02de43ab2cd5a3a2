// The JSON report of a run (telvix smooth --report FILE): each frame with what became of it,
// and the run's totals. python3 -m telvix.cluster --report and telvix.Summary.to_json write
// the same layout, documented in docs/command.md.
#pragma once

#include <filesystem>
#include <string>

#include "frame_sequence.h"
#include "plan_run.h"

namespace telvix::cli {

// The report of `summary`, a run of `plan`, as JSON text: frames in frame order (a folder's
// files by name), each run on `host`.
std::string runReportJson(const SequencePlan& plan, const RunSummary& summary,
                          const std::string& host);

// Throws UsageError, before any work, when `report` cannot take the report: a folder, a file
// in a folder that does not exist, or one of the plan's inputs or outputs.
void checkReportPath(const std::filesystem::path& report, const SequencePlan& plan);

// Writes the report to a temporary file beside `report` and renames it into place, so that a
// run ended at any moment leaves the old report or the new one, never half of one. Throws
// CliError naming the file when it cannot.
void writeRunReport(const std::filesystem::path& report, const SequencePlan& plan,
                    const RunSummary& summary);

// This machine's host name, as reports name it.
std::string hostName();

}  // namespace telvix::cli
