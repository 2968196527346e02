#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "fail.h"
#include "wav/wav.h"

const char* Base_Name(const Job* job, int32_t t)
{
    return job->base_names + (size_t)t * NAME_SLOT;
}

const char* Take_Suffix(const Job* job, int32_t i)
{
    return job->take_suffixes + (size_t)i * NAME_SLOT;
}

const char* Out_Name(const Job* job, int32_t t)
{
    return job->out_names + (size_t)t * NAME_SLOT;
}

void Take_Name(const Job* job, int32_t t, int32_t i, char* name)
{
    int written = snprintf(name, TAKE_NAME_BUFFER, "%s%s.wav", Base_Name(job, t), Take_Suffix(job, i));
    if (written >= TAKE_NAME_BUFFER)
        FAIL(">> The take file name of track %s, edit %i is longer than %i characters, exiting\n",
             Base_Name(job, t), i + 1, TAKE_NAME_BUFFER - 1);
}

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
    strcpy(job->out_suffix, suffix);
    strcpy(job->temp_name, TEMP_FILE);
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
    } else {
        Check_RC(job->xf_type, job->xf_length, &job->all_type, &job->all_length);
    }
    ReadBaseFile(&job->track_count, job->base_names, NAME_SLOT);
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

    // A track's own entry wins unless its type is 0.
    if (job->all_type != 0)
        for (int32_t t = 0; t < MAX_ENTRIES; t++)
            if (job->xf_type[t] == 0) {
                job->xf_type[t] = job->all_type;
                job->xf_length[t] = job->all_length;
            }

    for (int32_t t = 0; t < tracks; t++) {
        char* slot = job->out_names + (size_t)t * NAME_SLOT;
        if (snprintf(slot, NAME_SLOT, "%s%s", Base_Name(job, t), job->out_suffix) >= NAME_SLOT)
            FAIL(">> The output name for track %s is longer than %i characters, exiting\n", Base_Name(job, t),
                 NAME_SLOT - 1);
    }

    const float* times = job->edit_times;
    for (int32_t i = 0; i + 1 < edits; i++)
        if (times[i] > times[i + 1])
            FAIL(">> Edit %i is out of sequence, exiting\n", i + 2);
    // A negative first time counts as 0; a later one would put frames before the data area.
    for (int32_t i = 1; i < edits; i++)
        if (times[i] < 0)
            FAIL(">> Edit %i has a negative time (%g s), exiting\n", i + 1, times[i]);
    if (tracks > 0 && edits < 2)
        FAIL(">> %s holds %i edit point%s; at least two are needed (the last marks the end), exiting\n",
             POINTS_FILE, edits, edits == 1 ? "" : "s");

    for (int32_t t = 0; t < tracks; t++) {
        if (job->xf_type[t] < 0 || job->xf_type[t] > 4)
            FAIL(">> Track %i has crossfade type %i; the types are 0 to 4, exiting\n", t + 1, job->xf_type[t]);
        if (job->xf_type[t] != 0 && job->xf_length[t] < 0)
            FAIL(">> Track %i has a negative crossfade length (%.1f ms), exiting\n", t + 1, job->xf_length[t]);
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
            FAIL(">> Output file %s would overwrite a file this job reads, exiting\n", Out_Name(job, t));
    }
}

Wav_Format Track_Format(const Job* job, int32_t t)
{
    return Wav_Format{job->rate[t], job->bits[t], job->bytes[t], job->channels[t], job->is_float[t],
                      job->valid_bits[t], job->channel_mask[t]};
}

// Refuses a take that cannot be opened when its name shows why: a CR left by a job file
// with Windows line ends, or a suffix ending in spaces. The first line is the probe's
// own; the second says what to fix. Any other missing take is left to the probe.
static void Refuse_Misnamed_Take(const Job* job, int32_t t, int32_t i, const char* take)
{
    const char* suffix = Take_Suffix(job, i);
    bool cr_in_base = strchr(Base_Name(job, t), '\r') != nullptr;
    bool cr_in_suffix = strchr(suffix, '\r') != nullptr;
    size_t length = strlen(suffix);
    int32_t spaces = 0;
    while ((size_t)spaces < length && suffix[length - 1 - spaces] == ' ')
        spaces++;
    if (!cr_in_base && !cr_in_suffix && spaces == 0)
        return;
    FILE* file = fopen(take, "rb");
    if (file != nullptr) {
        (void)fclose(file);  // only opened to see that it exists
        return;
    }
    // Control characters shown escaped, as the probe shows them.
    char shown[1024];
    size_t at = 0;
    for (const char* c = take; *c && at + 5 < sizeof shown; c++)
        at += (unsigned char)*c < 32 ? (size_t)snprintf(shown + at, 5, "\\x%02X", (unsigned)*c)
                                     : (size_t)snprintf(shown + at, 2, "%c", *c);
    shown[at] = '\0';
    if (cr_in_base || cr_in_suffix)
        FAIL(">> Cannot find file called %s, exiting\n"
             ">> %s %s Windows line ends (CR LF): a CR stays in every name; save %s with LF line ends\n",
             shown, cr_in_base && cr_in_suffix ? "base.txt and points.txt" : cr_in_base ? BASE_FILE : POINTS_FILE,
             cr_in_base && cr_in_suffix ? "have" : "has", cr_in_base && cr_in_suffix ? "them" : "it");
    FAIL(">> Cannot find file called %s, exiting\n>> The take suffix of edit %i in %s ends in %i space%s\n", shown,
         i + 1, POINTS_FILE, spaces, spaces == 1 ? "" : "s");
}

int32_t Carried_Chunks(const Job* job, int32_t t, Chunk_Span carried[])
{
    int32_t count = 0;
    if (job->options.keep_metadata) {
        if (job->bext[t].bytes > 0)
            carried[count++] = job->bext[t];
        if (job->ixml[t].bytes > 0)
            carried[count++] = job->ixml[t];
    }
    return count;
}

// Takes of a track whose probes are kept for the edit points that name them again.
constexpr int32_t RECENT_TAKES = 8;

void Probe_Takes(Job* job)
{
    char take[TAKE_NAME_BUFFER];
    char first[TAKE_NAME_BUFFER];
    for (int32_t t = 0; t < job->track_count; t++) {
        Take_Name(job, t, 0, first);
        int32_t recent[RECENT_TAKES];  // edit points whose takes were probed last, -1: none
        for (int32_t& k : recent)
            k = -1;
        int32_t next_recent = 0;
        for (int32_t i = 0; i < job->edit_count; i++) {
            Take_Name(job, t, i, take);
            // An edit list that comes back to the same takes probes each of them once:
            // an edit point naming a take that one of the last few did takes its probe.
            int32_t same = -1;
            for (int32_t k = 0; k < RECENT_TAKES && same < 0; k++)
                if (recent[k] >= 0 && strcmp(Take_Suffix(job, recent[k]), Take_Suffix(job, i)) == 0)
                    same = recent[k];
            if (same >= 0) {
                job->takes[i] = job->takes[same];
            } else {
                Refuse_Misnamed_Take(job, t, i, take);
                GET_ATTRIBUTES(i, take, job->takes);
                recent[next_recent] = i;
                next_recent = (next_recent + 1) % RECENT_TAKES;
            }
            const Take_Info* info = &job->takes[i];
            const Wav_Format* f = &info->format;
            job->frames_of[t][i] = info->frames;
            job->place_of[t][i] = Take_Place{info->data_offset, info->data_end, info->file_bytes};
            if (info->frames > job->longest[t])
                job->longest[t] = info->frames;
            if (i == 0) {
                job->rate[t] = f->sample_rate;
                job->bits[t] = f->bits_per_sample;
                job->bytes[t] = f->bytes_per_sample;
                job->channels[t] = f->channels;
                job->is_float[t] = f->is_float;
                job->valid_bits[t] = f->valid_bits;
                job->channel_mask[t] = f->channel_mask;
                job->bext[t] = info->bext;
                job->ixml[t] = info->ixml;
            } else if (f->sample_rate != job->rate[t]) {
                FAIL(">> Samplerate mismatch among %s takes, exiting\n"
                     ">> Take %s (edit %i) is at %i Hz, take %s (edit 1) at %i Hz\n",
                     Base_Name(job, t), take, i + 1, f->sample_rate, first, job->rate[t]);
            } else if (f->bits_per_sample != job->bits[t] || f->is_float != job->is_float[t]) {
                FAIL(">> Bit format mismatch among %s takes, exiting\n"
                     ">> Take %s (edit %i) holds %i-bit %s, take %s (edit 1) %i-bit %s\n",
                     Base_Name(job, t), take, i + 1, f->bits_per_sample, f->is_float ? "float" : "integer", first,
                     job->bits[t], job->is_float[t] ? "float" : "integer");
            } else if (f->channels != job->channels[t]) {
                FAIL(">> Mono-stereo mismatch among %s takes, exiting\n"
                     ">> Take %s (edit %i) has %i channel%s, take %s (edit 1) %i\n",
                     Base_Name(job, t), take, i + 1, f->channels, f->channels == 1 ? "" : "s", first,
                     job->channels[t]);
            }
        }
    }
}

constexpr int32_t HMS_BUFFER = 32;

// Format_Time of a time on the takes' timeline, where a negative time counts as 0.
static void Format_Hms(double seconds, char* text)
{
    Format_Time(seconds > 0 ? seconds : 0, text);
}

// A single-precision product of a rate and a time, truncated toward zero; refused when
// it is no 32-bit frame number.
static int32_t Frames_Of(float product, const char* what, int32_t number)
{
    if (!(product < 2147483648.0f && product > -2147483648.0f))
        FAIL(">> %s %i lies beyond the frames a WAV file can address, exiting\n", what, number);
    return (int32_t)product;
}

void Plan_Edits(Job* job)
{
    int32_t n = job->edit_count;
    float times[MAX_ENTRIES];
    memcpy(times, job->edit_times, sizeof(float) * (size_t)n);
    if (n > 0 && times[0] < 0)
        times[0] = 0;  // a negative first time counts as 0

    for (int32_t t = 0; t < job->track_count; t++) {
        float rate = (float)(uint32_t)job->rate[t];
        int32_t length = job->longest[t];
        int64_t last_end = length;
        for (int32_t i = 0; i + 1 < n; i++) {
            int32_t start = Frames_Of(rate * times[i], "Edit", i + 1);
            int32_t count = Frames_Of((times[i + 1] - times[i]) * rate, "Edit", i + 2);
            int64_t end = (int64_t)start + count;
            if (end > length) {
                count = length - start;
                end = length;
            }
            int32_t take_frames = job->frames_of[t][i];
            if (start > take_frames) {
                char take[TAKE_NAME_BUFFER], take_time[HMS_BUFFER], edit_time[HMS_BUFFER];
                Take_Name(job, t, i, take);
                Format_Hms(take_frames / (double)rate, take_time);
                Format_Hms(times[i], edit_time);
                FAIL("Edit %i failed.  The take ends before the edit point.\nOutput files were not built\n"
                     ">> Track %i (%s): take %s is %s long (%i frames); edit %i starts at %s (frame %i)\n",
                     i + 1, t + 1, Base_Name(job, t), take, take_time, take_frames, i + 1, edit_time, start);
            }
            if (take_frames < end) {
                job->tail_flag[t][i] = 1;
                job->tail_start[t][i] = take_frames;
                job->tail_length[t][i] = (int32_t)(end - take_frames);
            }
            job->seg_start[t][i] = start;
            job->seg_length[t][i] = count;
            last_end = (int64_t)start + count;
        }
        if (n > 0)
            job->seg_length[t][n - 1] = 0;  // the last edit point only marks the end
        if (n >= 2 && last_end < length)
            length = (int32_t)last_end;
        job->length[t] = length;
        job->lead_in[t] = times[0] > 0 ? Frames_Of(rate * times[0], "Edit", 1) : 0;
        // Only a track that crossfades needs its length in frames to be a real number.
        float xf_product = rate * (job->xf_length[t] / 1000.0f);
        job->xf_frames[t] = job->xf_type[t] != 0 ? Frames_Of(xf_product, "The crossfade of track", t + 1) : 0;
    }
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

// Frames of the crossfade the build mixes over edit point i of track t, 0 for a hard
// cut: the same rule and the same clipping to the track's end as the build's.
static int32_t Crossfade_Frames(const Job* job, int32_t t, int32_t i)
{
    int32_t start = job->seg_start[t][i];
    int32_t fade = job->xf_frames[t];
    if (i == 0 || job->seg_length[t][i] < 1 || job->xf_type[t] == 0 || !(start > fade * 0.5))
        return 0;
    int32_t insert_at = start - fade / 2;
    return (int64_t)insert_at + fade > job->length[t] ? job->length[t] - insert_at : fade;
}

void Print_Segments(const Job* job)
{
    if (job->options.quiet)
        return;
    char take[TAKE_NAME_BUFFER], start[HMS_BUFFER], end[HMS_BUFFER];
    for (int32_t t = 0; t < job->track_count; t++) {
        printf("\nTrack %i: %s, %i Hz, %i bits%s, %i channel%s, %i frames\n", t + 1, Out_Name(job, t), job->rate[t],
               job->bits[t], job->is_float[t] ? " float" : "", job->channels[t], job->channels[t] == 1 ? "" : "s",
               job->length[t]);
        if (job->options.keep_metadata) {
            Take_Name(job, t, 0, take);
            if (job->bext[t].bytes + job->ixml[t].bytes == 0)
                printf("carries no metadata: %s holds no bext or iXML chunk\n", take);
            else
                printf("carries from %s:%s%s\n", take, job->bext[t].bytes ? " bext" : "", job->ixml[t].bytes ? " iXML" : "");
        }
        puts("edit\tstart\tend\ttake\tfirst frame\tframes\ttail pad\tcrossfade");
        for (int32_t i = 0; i + 1 < job->edit_count; i++) {
            Take_Name(job, t, i, take);
            Format_Hms(job->edit_times[i], start);  // a negative first time counts as 0
            Format_Hms(job->edit_times[i + 1], end);
            printf("%i\t%s\t%s\t%s\t%i\t%i\t%i\t%i\n", i + 1, start, end, take, job->seg_start[t][i],
                   job->seg_length[t][i], job->tail_flag[t][i] ? job->tail_length[t][i] : 0,
                   Crossfade_Frames(job, t, i));
        }
    }
}
