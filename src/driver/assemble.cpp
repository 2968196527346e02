#include <cstdio>

#include "audio/audio.h"
#include "driver/driver.h"
#include "fail.h"
#include "wav/wav.h"

// Builds one output track: header, then per edit point the lead-in or crossfade, the
// segment, its tail pad and the crossfade copied over the edit. All of it goes to the
// hidden partial file, which is published under the output name once whole.
static void Build_Track(const Job* job, int32_t t)
{
    const char* name = Out_Name(job, t);
    const char* temp = job->temp_name;
    int32_t rate = job->rate[t], bits = job->bits[t], channels = job->channels[t];
    int32_t bytes = bits / 8;
    int32_t fade = job->xf_frames[t];

    printf("\n\nBuilding to %s\n", name);
    char out[PARTIAL_BUFFER];  // the partial file every step below writes
    Begin_Output(job, t, out);
    printf("edits: ");
    char take[TAKE_NAME_BUFFER];
    char previous[TAKE_NAME_BUFFER];
    int64_t written_to = 0;  // frames [0, written_to) of the data area exist in the file
    for (int32_t i = 0; i < job->edit_count; i++) {
        printf("%i ", i + 1);
        (void)fflush(stdout);  // progress only; a lost flush loses no audio
        Take_Name(job, t, i, take);
        previous[0] = '\0';
        if (i > 0)
            Take_Name(job, t, i - 1, previous);
        int32_t start = job->seg_start[t][i];
        int32_t count = job->seg_length[t][i];
        if (count < 1)
            continue;

        MAKE_HEADER(temp, rate, bits, fade, (uint16_t)channels);
        bool crossfade = false;
        int32_t insert_at = 0;
        if (i == 0) {
            if (job->lead_in[t] != 0)
                PAD_FILE(out, 0, bytes, channels, job->lead_in[t]);
        } else if (job->xf_type[t] != 0 && start > fade * 0.5) {
            insert_at = start - fade / 2;
            crossfade = true;
            if (CROSSFADE(start, start, fade, job->xf_type[t], previous, take, temp, channels, bytes) != XF_OK) {
                puts("Crossfade failed.");
                crossfade = false;  // the two segments meet in a hard cut instead
                (void)remove(temp); // holds a header only; a stale one is rewritten before the next use
            }
        }
        // The take must still hold every frame the plan found in it; fewer means it
        // changed under the build, and the silence copied in would pass for audio.
        int32_t planned = job->frames_of[t][i] - start < count ? job->frames_of[t][i] - start : count;
        if (INSERT_FILE(out, take, start, bytes, channels, count, start) < planned)
            FAIL(">> Take %s holds fewer frames than when the job was planned, exiting\n", take);
        if (job->tail_flag[t][i])
            PAD_FILE(out, job->tail_start[t][i], bytes, channels, job->tail_length[t][i]);
        if ((int64_t)start + count > written_to)
            written_to = (int64_t)start + count;
        if (crossfade) {
            // Never past the length the header declares: a short last segment would
            // otherwise leave mixed frames trailing behind the data area.
            int32_t frames = fade;
            if ((int64_t)insert_at + frames > job->length[t])
                frames = job->length[t] - insert_at;
            if (insert_at > 0)
                INSERT_FILE(out, temp, insert_at, bytes, channels, frames, 0);
            (void)remove(temp);  // a leftover temp file is rewritten before its next use
        }
    }
    // Segments may end a frame short of the next one's start; when that happens at the
    // end, the header would declare a frame the file lacks. Silence completes it.
    if (written_to < job->length[t])
        PAD_FILE(out, (int32_t)written_to, bytes, channels, job->length[t] - (int32_t)written_to);

    Publish_Output(out, name);
}

void Build_Tracks(const Job* job)
{
    for (int32_t t = 0; t < job->track_count; t++)
        Build_Track(job, t);
}
