// tavlin2a: applies one edit list to every track of a multitrack recording.
// Usage: tavlin2a [OPTION]... [OUTPUT_SUFFIX]   (tavlin2a --help tells more)
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "driver/driver.h"
#include "report/report.h"
#include "fail.h"

int main(int argc, char** argv)
{
    Options options;
    Parse_Options(argc, argv, &options);
    Job* job = (Job*)calloc(1, sizeof(Job));
    if (job == nullptr)
        FAIL(">> Out of memory for the job tables, exiting\n");
    job->options = options;
    Catch_Signals();

    Print_Banner(job);
    Enter_Directory(job);
    Settle_Names(job);
    Lock_Folder(job);
    Read_Job_Files(job);
    Print_Plan_Line(job);
    Prepare_Job(job);
    Open_Folders(job);
    Check_Inputs(job);  // before any take is opened
    Probe_Takes(job);
    Plan_Edits(job);
    if (!job->options.dry_run)
        Remove_Stale_Partials(job);  // their room counts as free in the check that follows
    Check_Before_Writing(job);
    Write_Template(job);
    Print_Matrix(job);
    Edit_Checks checks;
    Checks_Start(&checks, job);
    if (job->options.dry_run) {
        Check_Edits(&checks);
        Print_Check_Summary(job);
        Print_Segments(job);
        Print_Check_Table(job);
    } else {
        // The edit checks read around every edit point as much again as a dense job's
        // build copies, in the time the build spends waiting for its outputs to reach the
        // disk: on a thread of their own they cost the build nothing (on the benchmark's
        // dense job, run first they added 15% to it). They only read the takes and write
        // the plan's check fields, which the build does not read.
        // The checks' thread starts with the caught signals held and never takes one: the
        // build's thread holds them while it creates and names a partial file, and one
        // taken on another thread in between would leave that file behind.
        // Where no thread can be started, they run after the build, with the same result.
        Hold_Signals();
        std::thread checking;
        try {
            checking = std::thread(Check_Edits, &checks);
        } catch (const std::system_error&) {
        }
        Release_Signals();
        Build_Tracks(job);
        if (checking.joinable())
            checking.join();
        else
            Check_Edits(&checks);
        Print_Check_Summary(job);
    }
    Checks_End(&checks);
    Write_Report(job);
    Print_Done(job);

    Free_Job(job);
    free(job);
    if (fflush(stdout) != 0)
        return 1;  // the report did not reach its reader; the outputs are complete
    return 0;
}
