// The HTML report (--report FILE): a plan view of every track's segments and an edit
// view of small waveform panels, one per track for each edit point between the first
// and the last. It reads the job and its plan (jobs/job.h) and never changes them.
// Each panel is REPORT_COLUMNS pixel columns wide; beyond REPORT_PANEL_LIMIT panels
// only as many whole edits as fit are shown, those with warnings (the built output at
// full scale, failed crossfades) chosen first.
#pragma once

#include <cstdint>

#include "jobs/job.h"

constexpr int32_t REPORT_COLUMNS = 200;
constexpr int32_t REPORT_PANEL_LIMIT = 2000;
constexpr int32_t REPORT_MARGIN_MS = 20;  // at least this much is shown on each side of a cut
// Edit rows that could take the report past this many bytes are left out as well.
constexpr int64_t REPORT_BYTES_LIMIT = 20000000;

// The most bytes the report of `job` can take, for the checks made before the first write.
int64_t Report_Bytes_At_Most(const Job* job);

// Writes the report named by job->options.report, if any, after Build_Tracks (the
// built waveforms are read back from the outputs) or after Print_Segments in a dry run
// (they are mixed in memory as the build mixes them; the report is then the only file
// written). A relative name lies in the folder the job runs in. The file is built as
// the outputs are, under a partial name in its folder (Partial_Begin), and renamed over
// its name when whole; a failure or signal removes the partial file. Its name, folder,
// room and limit were checked with the outputs' before the first write. Prints "Report
// written to FILE" unless quiet.
void Write_Report(const Job* job);
