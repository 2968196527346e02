// The job's tables as its readers see them: names of the files a track and an edit
// point stand for, and the plan's words for what becomes of a crossfade.
#include "jobs/job.h"

#include <cstdio>

#include "fail.h"
#include "text.h"

void Take_Name(const Job* job, int32_t t, int32_t i, char* name)
{
    int written = snprintf(name, TAKE_NAME_BUFFER, "%s%s.wav", Base_Name(job, t), Take_Suffix(job, i));
    if (written >= TAKE_NAME_BUFFER)
        FAIL(">> The take file name of track %s, edit %i is longer than %i characters, exiting\n",
             Show(Base_Name(job, t)).text, i + 1, TAKE_NAME_BUFFER - 1);
}

void Fade_Failure_Words(const Job* job, int32_t t, int32_t i, char out[WHY_BUFFER])
{
    const Cut* cut = Cut_Of(job, t, i);
    const Track* track = &job->tracks[t];
    out[0] = '\0';
    if (cut->fade == FADE_PREVIOUS_FAILS || cut->fade == FADE_NEXT_FAILS) {
        const char* which = cut->fade == FADE_PREVIOUS_FAILS ? "previous" : "next";
        int64_t ends = Take_Of(job, t, cut->fade == FADE_PREVIOUS_FAILS ? cut->previous : i)->frames;
        char gap[CLOCK_BUFFER];
        Format_Clock(Frames_Milliseconds(cut->fade_from - ends, track->format.sample_rate), 3, gap);
        if (cut->fade_from >= ends)
            snprintf(out, WHY_BUFFER, "%s take ended %s before the crossfade", which, gap);
        else
            snprintf(out, WHY_BUFFER, "the crossfade would start before the %s take's audio", which);
    } else if (cut->fade == FADE_UNMIXABLE) {
        const Wav_Format* f = &track->format;
        if (track->fade_type < 1 || track->fade_type > 4)
            snprintf(out, WHY_BUFFER, "crossfade type %i is unknown", track->fade_type);
        else
            snprintf(out, WHY_BUFFER, "%i-bit %saudio in %i channels cannot be mixed", f->bits_per_sample,
                     f->is_float ? "float " : "", f->channels);
    }
}

bool Take_Falls_Short(const Job* job, int32_t t, int32_t k, int32_t* longest)
{
    // Durations compared exactly: frames / rate as fractions, over 128-bit products.
    *longest = t;
    for (int32_t u = 0; u < job->track_count; u++) {
        const Take_Info* a = Take_Number(job, u, k);
        const Take_Info* b = Take_Number(job, *longest, k);
        if ((__int128)a->frames * b->format.sample_rate > (__int128)b->frames * a->format.sample_rate)
            *longest = u;
    }
    const Take_Info* mine = Take_Number(job, t, k);
    const Take_Info* most = Take_Number(job, *longest, k);
    int64_t rate = mine->format.sample_rate, rate_most = most->format.sample_rate;
    // most / rate_most - mine / rate > LENGTH_SLACK_MS / 1000
    __int128 gap = (__int128)most->frames * rate * 1000 - (__int128)mine->frames * rate_most * 1000;
    return gap > (__int128)LENGTH_SLACK_MS * rate * rate_most;
}
