#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "driver/driver.h"
#include "fail.h"
#include "text.h"
#include "wav/wav.h"


void Print_Banner(const Job* job)
{
    if (!job->options.quiet)
        printf("\nTavlin %s by Quelloran\n\n", VERSION);
}

void Settle_Names(Job* job)
{
    const char* suffix = job->options.suffix != nullptr ? job->options.suffix : DEFAULT_SUFFIX;
    if (strlen(suffix) > SUFFIX_BUFFER - 1)
        FAIL(">> The output suffix is longer than %i characters, exiting\n", SUFFIX_BUFFER - 1);
    // An empty suffix names every output after its base name alone, which a partial
    // file or another track's take could share.
    if (suffix[0] == '\0')
        FAIL(">> The output suffix is empty, exiting\n>> Give one such as _mix.wav, or none for _bld.wav\n");
    strcpy(job->out_suffix, suffix);
}

static bool Is_Missing(const char* name)
{
    struct stat about;
    return stat(name, &about) != 0 && errno == ENOENT;
}

void Read_Job_Files(Job* job)
{
    // A folder without base.txt and points.txt is no job folder: a template left there
    // would only be litter. A dry run writes nothing at all.
    bool no_job = Is_Missing(BASE_FILE) && Is_Missing(POINTS_FILE);
    bool template_due = Is_Missing(RC_FILE);
    if (template_due && job->options.dry_run) {
        if (!no_job && !job->options.quiet)
            printf("%s is missing: a real run would write a commented template there and build without "
                   "crossfades.\n\n", RC_FILE);
    } else if (template_due) {
        // Written once every check has passed (Write_Template): a refused job writes nothing.
        job->template_due = !no_job;
    } else if (Check_RC(job->xf_type, job->xf_length, &job->all_type, &job->all_length, job->xf_line, &job->all_line) == 1) {
        job->template_due = !no_job && !job->options.dry_run;  // gone since it was looked for
    }
    ReadBaseFile(&job->track_count, job->base_names, NAME_SLOT, job->base_lines);
    ReadEditFile(&job->edit_count, job->take_suffixes, NAME_SLOT, job->edit_times);
}

void Write_Template(const Job* job)
{
    if (job->template_due && !job->options.dry_run)
        Write_RC_Template();
}

void Print_Plan_Line(const Job* job)
{
    if (job->options.quiet)
        return;
    printf("Planning to build %i tracks", job->track_count);
    printf(" using %i edit points.\n\n", job->edit_count);
}

// True when `name` is one of the files the job reads (the job files or any take of
// any track) or the temp crossfade file: building into it would destroy it.
static bool Is_Input(const Job* job, const char* name)
{
    const char* fixed[4] = {RC_FILE, BASE_FILE, POINTS_FILE, TEMP_FILE};
    for (const char* f : fixed)
        if (strcmp(name, f) == 0)
            return true;
    // A take name is base name + suffix + ".wav": for each suffix that ends `name`,
    // look for the rest among the base names.
    size_t name_length = strlen(name);
    for (int32_t i = 0; i < job->edit_count; i++) {
        const char* suffix = Take_Suffix(job, i);
        size_t tail = strlen(suffix) + 4;
        if (tail > name_length || strcmp(name + name_length - 4, ".wav") != 0 ||
            strncmp(name + name_length - tail, suffix, tail - 4) != 0)
            continue;
        for (int32_t u = 0; u < job->track_count; u++) {
            const char* base = Base_Name(job, u);
            if (strlen(base) == name_length - tail && strncmp(name, base, name_length - tail) == 0)
                return true;
        }
    }
    return false;
}

void Prepare_Job(Job* job)
{
    int32_t tracks = job->track_count;
    int32_t edits = job->edit_count;

    // An entry for a track the job does not have changes nothing: said, not refused.
    for (int32_t t = tracks; t < MAX_ENTRIES; t++)
        if (job->xf_line[t] != 0)
            printf(">> %s line %i sets track %i, but the job has %i track%s; the entry is ignored\n", RC_FILE,
                   job->xf_line[t], t + 1, tracks, tracks == 1 ? "" : "s");
    // A track's own entry wins unless its type is 0.
    if (job->all_type != 0)
        for (int32_t t = 0; t < MAX_ENTRIES; t++)
            if (job->xf_type[t] == 0) {
                job->xf_type[t] = job->all_type;
                job->xf_length[t] = job->all_length;
                job->xf_line[t] = job->all_line;
            }

    for (int32_t t = 0; t < tracks; t++) {
        char* slot = job->out_names + (size_t)t * NAME_SLOT;
        if (snprintf(slot, NAME_SLOT, "%s%s", Base_Name(job, t), job->out_suffix) >= NAME_SLOT)
            FAIL(">> The output name for track %s is longer than %i characters, exiting\n", Show(Base_Name(job, t)).text,
                 NAME_SLOT - 1);
    }

    // Exact times: one that goes back by the least amount is out of sequence.
    const Edit_Time* times = job->edit_times;
    for (int32_t i = 0; i + 1 < edits; i++)
        if (Compare_Times(&times[i], &times[i + 1]) > 0) {
            char earlier[SECONDS_BUFFER], later[SECONDS_BUFFER];
            Format_Seconds(&times[i], earlier);
            Format_Seconds(&times[i + 1], later);
            FAIL(">> Edit %i is out of sequence, exiting\n>> %s line %i is at %s s, before it line %i is at %s s\n",
                 i + 2, POINTS_FILE, times[i + 1].line, later, times[i].line, earlier);
        }
    // A negative first time counts as 0; a later one would put frames before the data area.
    for (int32_t i = 1; i < edits; i++)
        if (times[i].negative) {
            char seconds[SECONDS_BUFFER];
            Format_Seconds(&times[i], seconds);
            FAIL(">> Edit %i has a negative time (%s s), exiting\n>> %s line %i; only the first edit point may lie "
                 "before 0\n", i + 1, seconds, POINTS_FILE, times[i].line);
        }
    if (tracks > 0 && edits < 2)
        FAIL(">> %s holds %i edit point%s; at least two are needed (the last marks the end), exiting\n",
             POINTS_FILE, edits, edits == 1 ? "" : "s");

    for (int32_t t = 0; t < tracks; t++) {
        if (job->xf_type[t] < 0 || job->xf_type[t] > 4)
            FAIL(">> Track %i has crossfade type %i; the types are 0 to 4, exiting\n>> %s line %i sets it\n", t + 1,
                 job->xf_type[t], RC_FILE, job->xf_line[t]);
        if (job->xf_type[t] != 0 && job->xf_length[t] < 0)
            FAIL(">> Track %i has a negative crossfade length (%.1f ms), exiting\n>> %s line %i sets it\n", t + 1,
                 job->xf_length[t], RC_FILE, job->xf_line[t]);
    }

    // The distinct take suffixes: each is probed once per track.
    job->take_count = 0;
    for (int32_t i = 0; i < edits; i++) {
        int32_t j = 0;
        while (j < i && strcmp(Take_Suffix(job, j), Take_Suffix(job, i)) != 0)
            j++;
        if (j < i) {
            job->take_of[i] = job->take_of[j];
        } else {
            job->first_edit[job->take_count] = i;
            job->take_of[i] = job->take_count++;
        }
    }

    char take[TAKE_NAME_BUFFER];
    for (int32_t t = 0; t < tracks; t++) {
        for (int32_t i = 0; i < edits; i++) {
            Take_Name(job, t, i, take);
            if (strcmp(take, TEMP_FILE) == 0)
                FAIL(">> A take may not be called %s: the build uses that name for crossfades, exiting\n",
                     TEMP_FILE);
        }
        if (Is_Input(job, Out_Name(job, t)))
            FAIL(">> Output file %s would overwrite a file this job reads, exiting\n", Show(Out_Name(job, t)).text);
        const char* slash = strrchr(Out_Name(job, t), '/');
        const char* file = slash != nullptr ? slash + 1 : Out_Name(job, t);
        if (strncmp(file, PARTIAL_PREFIX, strlen(PARTIAL_PREFIX)) == 0)
            FAIL(">> Output file %s has a name the build uses for its partial files (%s...), exiting\n",
                 Show(Out_Name(job, t)).text, PARTIAL_PREFIX);
        // A name that ends in "/" (a suffix such as "/") names a folder: refused before a
        // track is built, not found out at the rename after it.
        if (file[0] == '\0' || strcmp(file, ".") == 0 || strcmp(file, "..") == 0)
            FAIL(">> Output file %s names a folder, not a file, exiting\n", Show(Out_Name(job, t)).text);
    }
    // A suffix without ".wav" builds all the same, into names a player may not open.
    size_t suffix = strlen(job->out_suffix);
    if (tracks > 0 && (suffix < 4 || strcmp(job->out_suffix + suffix - 4, ".wav") != 0))
        printf(">> The output suffix \"%s\" does not end in .wav: the outputs are named like %s\n",
               Show(job->out_suffix).text, Show(Out_Name(job, 0)).text);
}

// Refuses take number k of track t when it cannot be opened, before the probe would:
// the probe's own line, then the points.txt lines that name the take, then what to fix
// when its name shows why (a base name or suffix with spaces at an end). A take that
// opens is left to the probe.
static void Refuse_Missing_Take(const Job* job, int32_t t, int32_t k, const char* take)
{
    Stream file = Stream_Try_Read(take);  // never waits on a FIFO
    if (file.fd >= 0) {
        Stream_Close_Unwritten(&file);  // only opened to see that it is there
        return;
    }
    if (errno != ENOENT && errno != ENOTDIR)
        return;  // there, but not to be opened: the probe says why
    // "4", "4 and 9", "4, 9 and 12", up to six and then how many more.
    int32_t named = 0, listed[6];
    for (int32_t i = 0; i < job->edit_count; i++)
        if (job->take_of[i] == k && named++ < 6)
            listed[named - 1] = job->edit_times[i].line;
    char lines[200] = "";
    int32_t shown = named < 6 ? named : 6;
    for (int32_t n = 0; n < shown; n++) {
        size_t used = strlen(lines);
        snprintf(lines + used, sizeof lines - used, "%s%i",
                 n == 0 ? "" : n == shown - 1 && named <= 6 ? " and " : ", ", listed[n]);
    }
    char more[40] = "";
    if (named > 6)
        snprintf(more, sizeof more, " and %i more", named - 6);
    const char* suffix = Take_Suffix(job, job->first_edit[k]);
    const char* base = Base_Name(job, t);
    // Spaces at an end of a name are easy to leave and hard to see.
    int32_t suffix_spaces = 0, base_trailing = 0, base_leading = (int32_t)strspn(base, " ");
    for (size_t n = strlen(suffix); n > 0 && suffix[n - 1] == ' '; n--)
        suffix_spaces++;
    for (size_t n = strlen(base); n > 0 && base[n - 1] == ' '; n--)
        base_trailing++;
    char hint[200] = "";
    if (suffix_spaces > 0)
        snprintf(hint, sizeof hint, ">> The take suffix of edit %i in %s ends in %i space%s\n", job->first_edit[k] + 1,
                 POINTS_FILE, suffix_spaces, suffix_spaces == 1 ? "" : "s");
    else if (base_trailing > 0 || base_leading > 0)
        snprintf(hint, sizeof hint, ">> The base name on %s line %i %s in %i space%s\n", BASE_FILE,
                 job->base_lines[t], base_trailing > 0 ? "ends" : "begins",
                 base_trailing > 0 ? base_trailing : base_leading, (base_trailing > 0 ? base_trailing : base_leading) == 1 ? "" : "s");
    FAIL(">> Cannot find file called %s, exiting\n>> %s line%s %s%s name%s the take \"%s\" of track %s\n%s",
         Show(take).text, POINTS_FILE, named == 1 ? "" : "s", lines, more, named == 1 ? "s" : "", Show(suffix).text,
         Show(base).text, hint);
}

int32_t Carried_Chunks(const Job* job, int32_t t, Chunk_Span carried[])
{
    int32_t count = 0;
    const Take_Info* first = Take_Of(job, t, 0);
    if (job->options.keep_metadata) {
        if (first->bext.bytes > 0)
            carried[count++] = first->bext;
        if (first->ixml.bytes > 0)
            carried[count++] = first->ixml;
    }
    return count;
}

void Probe_Takes(Job* job)
{
    if (job->track_count == 0)
        return;
    job->takes = (Take_Info*)Block_Alloc((int64_t)job->track_count * job->take_count * (int64_t)sizeof(Take_Info));
    char take[TAKE_NAME_BUFFER];
    char first[TAKE_NAME_BUFFER];
    for (int32_t t = 0; t < job->track_count; t++) {
        Take_Name(job, t, 0, first);
        Track* track = &job->tracks[t];
        // Each take once, in the order the edit points first name them.
        for (int32_t k = 0; k < job->take_count; k++) {
            int32_t i = job->first_edit[k];
            Take_Name(job, t, i, take);
            Refuse_Missing_Take(job, t, k, take);
            GET_ATTRIBUTES(k, take, &job->takes[(size_t)t * job->take_count]);
            const Take_Info* info = Take_Number(job, t, k);
            if (info->format_missing)  // said, and the take is read as it always was
                printf(">> Can't find format chunk in wave file!\n>> in take %s\n", Show(take).text);
            const Wav_Format* f = &info->format;
            if (info->frames > track->longest)
                track->longest = info->frames;
            if (k == 0) {
                track->format = *f;
            } else if (f->sample_rate != track->format.sample_rate) {
                FAIL(">> Samplerate mismatch among %s takes, exiting\n"
                     ">> Take %s (edit %i) is at %i Hz, take %s (edit 1) at %i Hz\n",
                     Show(Base_Name(job, t)).text, Show(take).text, i + 1, f->sample_rate, Show(first).text,
                     track->format.sample_rate);
            } else if (f->bits_per_sample != track->format.bits_per_sample || f->is_float != track->format.is_float) {
                FAIL(">> Bit format mismatch among %s takes, exiting\n"
                     ">> Take %s (edit %i) holds %i-bit %s, take %s (edit 1) %i-bit %s\n",
                     Show(Base_Name(job, t)).text, Show(take).text, i + 1, f->bits_per_sample,
                     f->is_float ? "float" : "integer", Show(first).text,
                     track->format.bits_per_sample, track->format.is_float ? "float" : "integer");
            } else if (f->channels != track->format.channels) {
                FAIL(">> Mono-stereo mismatch among %s takes, exiting\n"
                     ">> Take %s (edit %i) has %i channel%s, take %s (edit 1) %i\n",
                     Show(Base_Name(job, t)).text, Show(take).text, i + 1, f->channels, f->channels == 1 ? "" : "s",
                     Show(first).text,
                     track->format.channels);
            }
        }
    }
}

// h:mm:ss.fff of `frames` frames at `rate`.
static void Format_Frames(int64_t frames, int32_t rate, char out[CLOCK_BUFFER])
{
    Format_Clock(Frames_Milliseconds(frames, rate), 3, out);
}

// h:mm:ss.fff of edit time i, where a negative time counts as 0.
static void Format_Edit_Time(const Job* job, int32_t i, char out[CLOCK_BUFFER])
{
    int64_t ms = Time_Milliseconds(&job->edit_times[i]);
    Format_Clock(ms > 0 ? ms : 0, 3, out);
}

// The frame of edit time i at `rate`. The end point may lie past the last frame a WAV
// file can address: it lies past every take then, and clips the track as any end point
// past every take does. Any other edit point there is refused, naming its line.
static int32_t Edit_Frame(const Job* job, int32_t i, int32_t rate)
{
    int64_t frame = Time_Frame(&job->edit_times[i], rate);
    if (frame > INT32_MAX && i == job->edit_count - 1)
        return INT32_MAX;
    if (frame > INT32_MAX) {
        char seconds[SECONDS_BUFFER];
        Format_Seconds(&job->edit_times[i], seconds);
        FAIL(">> Edit %i lies beyond the frames a WAV file can address, exiting\n"
             ">> %s line %i: %s s is frame %lld at %i Hz; a WAV file ends by frame %d\n", i + 1, POINTS_FILE,
             job->edit_times[i].line, seconds, (long long)frame, rate, INT32_MAX);
    }
    return (int32_t)frame;
}

// A take as the crossfade engine's check sees it: where its audio lies in its file.
static Wav_File Take_Layout(const Take_Info* info)
{
    return Wav_File{{-1, nullptr}, info->data_offset, info->data_end, info->file_bytes};
}

// The plan keeps the crossfade engine's own answers as a crossfade's fate.
static_assert(FADE_MIXED == XF_OK && FADE_PREVIOUS_FAILS == XF_PREVIOUS && FADE_NEXT_FAILS == XF_NEXT &&
                  FADE_UNMIXABLE == XF_FORMAT,
              "a crossfade's fate is the crossfade engine's status");

// What becomes of the crossfade into edit point i (i >= 1) of track t: the build's rule
// (a crossfade is tried where the track has one set and the edit lies more than half of
// it from frame 0) and the crossfade engine's own check of the two takes.
static void Plan_Fade(Job* job, int32_t t, int32_t i, Cut* cut)
{
    const Track* track = &job->tracks[t];
    int32_t fade = track->fade_frames;
    cut->fade_from = cut->start;
    cut->fade_frames = 0;
    if (cut->frames < 1) {
        cut->fade = FADE_NO_SEGMENT;
        return;
    }
    if (track->fade_type == 0) {
        cut->fade = FADE_NONE;
        return;
    }
    if (!(cut->start > fade * 0.5)) {
        cut->fade = FADE_TOO_EARLY;
        return;
    }
    // Before the track's first segment lies only the lead-in's silence: no take plays
    // there to fade from, so the takes meet as at the first edit point.
    if (Cut_Of(job, t, cut->previous)->frames < 1) {
        cut->fade = FADE_NONE;
        return;
    }
    cut->fade_from = cut->start - fade / 2;
    Wav_File previous = Take_Layout(Take_Of(job, t, cut->previous)), next = Take_Layout(Take_Of(job, t, i));
    cut->fade = CROSSFADE_CHECK(cut->start, cut->start, fade, track->fade_type, &previous, &next, &track->format);
    // Never past the track's end: a short last segment would leave mixed frames behind
    // the data area the header declares.
    if (cut->fade == FADE_MIXED)
        cut->fade_frames = (int64_t)cut->fade_from + fade > track->length ? track->length - cut->fade_from : fade;
}

void Plan_Edits(Job* job)
{
    int32_t n = job->edit_count;
    if (job->track_count == 0)
        return;
    job->cuts = (Cut*)Block_Alloc((int64_t)job->track_count * n * (int64_t)sizeof(Cut));
    for (int32_t t = 0; t < job->track_count; t++) {
        Track* track = &job->tracks[t];
        int32_t rate = track->format.sample_rate;
        Cut* cuts = &job->cuts[(size_t)t * n];
        // Each segment runs from its edit point's frame to the next one's: neighbours meet.
        for (int32_t i = 0; i < n; i++) {
            cuts[i].take = job->take_of[i];
            cuts[i].start = Edit_Frame(job, i, rate);
        }
        track->length = n >= 2 && cuts[n - 1].start < track->longest ? cuts[n - 1].start : track->longest;
        // An end point past every take clips the output: said, as it may not be what was meant.
        if (n >= 2 && cuts[n - 1].start > track->longest) {
            char end[CLOCK_BUFFER], at[CLOCK_BUFFER];
            Format_Edit_Time(job, n - 1, at);
            Format_Frames(track->length, rate, end);
            printf(">> Track %i (%s): the last edit point, %s on %s line %i, lies past the end of every take; %s "
                   "ends at %s\n", t + 1, Show(Base_Name(job, t)).text, at, POINTS_FILE, job->edit_times[n - 1].line,
                   Show(Out_Name(job, t)).text, end);
        }
        for (int32_t i = 0; i + 1 < n; i++) {
            Cut* cut = &cuts[i];
            int32_t end = cuts[i + 1].start < track->longest ? cuts[i + 1].start : track->longest;
            int32_t take_frames = Take_Of(job, t, i)->frames;
            if (cut->start > take_frames) {
                char take[TAKE_NAME_BUFFER], take_time[CLOCK_BUFFER], edit_time[CLOCK_BUFFER];
                Take_Name(job, t, i, take);
                Format_Frames(take_frames, rate, take_time);
                Format_Edit_Time(job, i, edit_time);
                FAIL("Edit %i failed.  The take ends before the edit point.\nOutput files were not built\n"
                     ">> Track %i (%s): take %s is %s long (%i frames); edit %i starts at %s (frame %i)\n",
                     i + 1, t + 1, Show(Base_Name(job, t)).text, Show(take).text, take_time, take_frames, i + 1,
                     edit_time, cut->start);
            }
            cut->frames = end > cut->start ? end - cut->start : 0;
            cut->held = take_frames - cut->start < cut->frames ? take_frames - cut->start : cut->frames;
        }
        cuts[n - 1].frames = cuts[n - 1].held = 0;  // the last edit point only marks the end
        // An edit point whose segment is empty (its time repeated by the next one) plays
        // nothing: the crossfade after it fades from the take that played before it.
        int32_t last_played = -1;
        for (int32_t i = 0; i < n; i++) {
            cuts[i].previous = last_played >= 0 ? last_played : i > 0 ? i - 1 : 0;
            if (cuts[i].frames > 0)
                last_played = i;
        }
        track->lead_in = cuts[0].start;  // 0 for a first time of 0 or below
        track->fade_type = job->xf_type[t];
        track->fade_ms = job->xf_length[t];
        // Single precision, truncated: the crossfade curves stay what they always were.
        // Only a track that crossfades needs its length in frames to be a real number.
        float product = (float)(uint32_t)rate * (track->fade_ms / 1000.0f);
        if (track->fade_type != 0 && !(product < 2147483648.0f && product > -2147483648.0f))
            FAIL(">> The crossfade of track %i lies beyond the frames a WAV file can address, exiting\n", t + 1);
        track->fade_frames = track->fade_type != 0 ? (int32_t)product : 0;
        cuts[0].fade = FADE_NONE;
        cuts[0].fade_from = cuts[0].start;
        cuts[0].fade_frames = 0;
        for (int32_t i = 1; i < n; i++)
            Plan_Fade(job, t, i, &cuts[i]);
    }
}


void Free_Job(Job* job)
{
    free(job->cuts);
    free(job->takes);
    job->cuts = nullptr;
    job->takes = nullptr;
}

void Print_Matrix(const Job* job)
{
    if (job->options.quiet)
        return;
    puts("Crossfade Matrix:");
    puts("track\tlength\ttype");
    for (int32_t t = 0; t < job->track_count; t++)
        printf("%i\t%.1f\t%i\n", t + 1, (double)job->xf_length[t], job->xf_type[t]);
}

// The lines that say a crossfade fails and why, after the line of its status.
void Print_Fade_Failure(const Job* job, int32_t t, int32_t i)
{
    char previous[TAKE_NAME_BUFFER], next[TAKE_NAME_BUFFER], why[WHY_BUFFER];
    Take_Name(job, t, Cut_Of(job, t, i)->previous, previous);
    Take_Name(job, t, i, next);
    int32_t fade = Cut_Of(job, t, i)->fade;
    const char* culprit = fade == FADE_PREVIOUS_FAILS ? previous : fade == FADE_NEXT_FAILS ? next
                                                                 : "the format or the crossfade type";
    Fade_Failure_Words(job, t, i, why);
    printf(">> Track %i (%s), edit %i: no crossfade from %s into %s (%s at fault); the takes meet in a hard cut\n"
           ">> The %s\n", t + 1, Show(Base_Name(job, t)).text, i + 1, Show(previous).text, Show(next).text,
           Show(culprit).text, why);
}

// The lines of every crossfade of track t that will fail, as the build says them.
static void Print_Fade_Failures(const Job* job, int32_t t)
{
    for (int32_t i = 1; i + 1 < job->edit_count; i++)
        if (Fade_Fails(Cut_Of(job, t, i)->fade))
            Print_Fade_Failure(job, t, i);
}

void Print_Segments(const Job* job)
{
    char take[TAKE_NAME_BUFFER], start[CLOCK_BUFFER], end[CLOCK_BUFFER];
    for (int32_t t = 0; t < job->track_count; t++) {
        if (job->options.quiet) {
            Print_Fade_Failures(job, t);  // warnings, which -q keeps
            continue;
        }
        const Track* track = &job->tracks[t];
        const Wav_Format* f = &track->format;
        printf("\nTrack %i: %s, %i Hz, %i bits%s, %i channel%s, %i frames\n", t + 1, Show(Out_Name(job, t)).text,
               f->sample_rate,
               f->bits_per_sample, f->is_float ? " float" : "", f->channels, f->channels == 1 ? "" : "s", track->length);
        if (job->options.keep_metadata) {
            const Take_Info* first = Take_Of(job, t, 0);
            Take_Name(job, t, 0, take);
            if (first->bext.bytes + first->ixml.bytes == 0)
                printf("carries no metadata: %s holds no bext or iXML chunk\n", Show(take).text);
            else
                printf("carries from %s:%s%s\n", Show(take).text, first->bext.bytes ? " bext" : "", first->ixml.bytes ? " iXML" : "");
        }
        puts("edit\tstart\tend\ttake\tfirst frame\tframes\ttail pad\tcrossfade");
        for (int32_t i = 0; i + 1 < job->edit_count; i++) {
            const Cut* cut = Cut_Of(job, t, i);
            Take_Name(job, t, i, take);
            Format_Edit_Time(job, i, start);
            Format_Edit_Time(job, i + 1, end);
            printf("%i\t%s\t%s\t%s\t%i\t%i\t%i\t%i\n", i + 1, start, end, Show(take).text, cut->start, cut->frames,
                   cut->frames - cut->held, cut->fade_frames);
        }
        Print_Fade_Failures(job, t);
    }
}
