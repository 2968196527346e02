// tavlin2a: applies one edit list to every track of a multitrack recording.
// Usage: tavlin2a [OUTPUT_SUFFIX]   (in the folder that holds the job and the takes)
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "fail.h"

int main(int argc, char** argv)
{
    printf("\nTavlin 2.00 by Quelloran\n\n");
    Job* job = (Job*)calloc(1, sizeof(Job));
    if (job == nullptr)
        FAIL(">> Out of memory for the job tables, exiting\n");
    Catch_Signals();
    Settle_Names(job, argc, argv);
    Lock_Folder();  // before the run-control template may be written

    Check_RC(job->xf_type, job->xf_length, &job->all_type, &job->all_length);
    ReadBaseFile(&job->track_count, job->base_names, NAME_SLOT);
    ReadEditFile(&job->edit_count, job->take_suffixes, NAME_SLOT, job->edit_times);
    printf("Planning to build %i tracks", job->track_count);
    printf(" using %i edit points.\n\n", job->edit_count);

    Prepare_Job(job);
    Check_Inputs(job);  // before any take is opened
    Probe_Takes(job);
    Plan_Edits(job);
    Remove_Stale_Partials(job);  // their room counts as free in the check that follows
    Check_Before_Writing(job);
    Print_Matrix(job);
    Build_Tracks(job);

    printf("\n\nDone\n\n");
    free(job);
    if (fflush(stdout) != 0)
        return 1;  // the report did not reach its reader; the outputs are complete
    return 0;
}
