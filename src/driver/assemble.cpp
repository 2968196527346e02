#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "audio/audio.h"
#include "driver/driver.h"
#include "fail.h"
#include "text.h"
#include "wav/wav.h"

// The take `name` of edit point i of track t, from the track's open takes (a track's
// takes stay open while it is built: with hundreds of edits the opens would otherwise
// cost more than the audio they move).
static Wav_File Take_File(const Job* job, int32_t t, int32_t i, const char* name, Open_Files* open)
{
    const Take_Info* info = Take_Of(job, t, i);
    return Wav_File{*Open_File(open, name, &info->identity), info->data_offset, info->data_end, info->file_bytes};
}

// Output writes held back in memory and written in pieces of up to this many bytes.
constexpr int64_t OUTPUT_WINDOW_BYTES = 1 << 20;

// Frames copied between two updates of the progress display: a long segment still
// shows its progress a few times a second.
constexpr int32_t PROGRESS_FRAMES = 1 << 20;

// INSERT_FILE of a segment in pieces, with the progress display updated between them.
// Returns how many of the frames the take held.
static int32_t Copy_Segment(const Wav_File* out, const Wav_File* take, int32_t start, int32_t frame_size,
                            int32_t count, uint8_t* buffer, Progress* progress)
{
    int32_t held = 0;
    // 64 bits: the last step may pass 2^31 - 1 when the segment nearly reaches it.
    for (int64_t done = 0; done < count; done += PROGRESS_FRAMES) {
        int32_t n = (int32_t)(count - done < PROGRESS_FRAMES ? count - done : PROGRESS_FRAMES);
        int32_t at = (int32_t)(start + done);
        held += INSERT_FILE(out, take, at, frame_size, n, at, buffer);
        Progress_Update(progress, ((int64_t)start + done + n) * frame_size);
    }
    return held;
}

// The line the crossfade engine's status stands for, as the build prints it.
static void Print_Fade_Status(const Job* job, int32_t t, int32_t status)
{
    const Wav_Format* f = &job->tracks[t].format;
    if (status == XF_PREVIOUS)
        puts("Invalid crossfade for destination file");
    else if (status == XF_NEXT)
        puts("Invalid crossfade for source file");
    else if (job->tracks[t].fade_type < 1 || job->tracks[t].fade_type > 4)
        printf(">> Unknown crossfade type %i\n", job->tracks[t].fade_type);
    else
        printf(">> Cannot crossfade %i-bit %saudio with %i channels\n", f->bits_per_sample, f->is_float ? "float " : "",
               f->channels);
}

// Builds one output track from its plan: header, then per edit point the lead-in or
// crossfade, the segment, its tail pad and the crossfade copied over the edit. Every
// step writes at absolute frame positions, so later steps overwrite earlier ones where
// they overlap.
static void Build_Track(Job* job, int32_t t, uint8_t* buffer, const uint8_t* zeros, Open_Files* open,
                        Write_Window* window, uint8_t* window_bytes, Progress* progress)
{
    bool quiet = job->options.quiet;
    const char* out_name = Out_Name(job, t);
    const Track* track = &job->tracks[t];
    const Wav_Format* format = &track->format;
    int32_t frame_size = Frame_Size(format);

    if (!quiet)
        printf("\n\nBuilding to %s\n", Show(out_name).text);
    Partial partial;
    Begin_Output(job, t, &partial);
    Chunk_Span carried[2];
    int32_t carried_count = Carried_Chunks(job, t, carried);
    Stream carry_from{-1, nullptr};
    char first_name[TAKE_NAME_BUFFER];
    if (carried_count > 0) {
        Take_Name(job, t, 0, first_name);
        carry_from = Stream_Open_Probed(first_name, &Take_Of(job, t, 0)->identity);
    }
    int64_t out_offset = WRITE_HEADER(&partial.stream, format, track->length, &carry_from, carried, carried_count);
    if (carried_count > 0)
        Stream_Close_Unwritten(&carry_from);
    // The header goes to the file at once: a partial file that is not empty is one a
    // later run may take for the leftover of a run that died, once nobody holds it.
    Stream_Hold_Writes(&partial.stream, window, window_bytes, OUTPUT_WINDOW_BYTES, out_offset);
    Wav_File out{partial.stream, out_offset, INT64_MAX, 0};
    if (!quiet)
        printf("edits: ");

    // The temp crossfade file holds one crossfade at a time behind a header for the
    // track's crossfade frames. It is created at the track's first built segment and
    // kept open; it is left holding its header when the last built segment had no
    // crossfade, and is removed when it had one.
    Wav_File temp{{-1, TEMP_FILE}, 0, INT64_MAX, 0};
    bool temp_kept = false;
    Fade_Work work{};
    if (track->fade_type != 0)
        Fade_Work_Start(&work, format->bytes_per_sample, format->channels, track->fade_type, track->fade_frames);

    char take_name[TAKE_NAME_BUFFER];
    char previous_name[TAKE_NAME_BUFFER];
    int64_t written_to = 0;  // frames [0, written_to) of the data area exist in the file
    for (int32_t i = 0; i < job->edit_count; i++) {
        Progress_Hide(progress);
        if (!quiet)
            printf("%i ", i + 1);
        Flush_Progress(progress, i == 0);
        const Cut* cut = Cut_Of(job, t, i);
        if (cut->frames < 1)
            continue;
        Take_Name(job, t, i, take_name);

        if (temp.stream.fd < 0) {
            temp.stream = Stream_Create_At(job->folders[job->temp.folder].fd, TEMP_FILE, TEMP_FILE);
            temp.data_offset = WRITE_HEADER(&temp.stream, format, track->fade_frames, nullptr, nullptr, 0);
        }
        temp_kept = true;
        Wav_File take = Take_File(job, t, i, take_name, open);
        if (i == 0 && track->lead_in != 0)
            PAD_FILE(&out, 0, frame_size, track->lead_in, zeros);
        // The take must still hold every frame the plan found in it; fewer means it
        // changed under the build, and the silence copied in would pass for audio.
        if (Copy_Segment(&out, &take, cut->start, frame_size, cut->frames, buffer, progress) < cut->held)
            FAIL(">> Take %s holds fewer frames than when the job was planned, exiting\n", Show(take_name).text);
        if (cut->held < cut->frames)
            PAD_FILE(&out, cut->start + cut->held, frame_size, cut->frames - cut->held, zeros);
        if ((int64_t)cut->start + cut->frames > written_to)
            written_to = (int64_t)cut->start + cut->frames;
        // The crossfade goes over the ends of both segments once they are written. It is
        // mixed into the temp crossfade file and, from the same memory, over the output.
        if (i > 0 && (cut->fade == FADE_MIXED || Fade_Fails(cut->fade))) {
            temp_kept = false;  // removed after its crossfade, or after it failed
            Take_Name(job, t, cut->previous, previous_name);
            Wav_File previous = Take_File(job, t, cut->previous, previous_name, open);
            take = Take_File(job, t, i, take_name, open);  // may have been closed to open the previous one
            int32_t status = CROSSFADE(cut->start, cut->start, &previous, &take, &temp, &out, cut->fade_from,
                                       cut->fade_frames, format, &work);
            if (status & XF_SHRUNK)
                FAIL(">> Take %s holds fewer frames than when the job was planned, exiting\n",
                     Show(status & XF_PREVIOUS ? previous_name : take_name).text);
            // The plan asked the engine's own check before anything was written; another
            // answer now is a fault of the tool, and the output is not published.
            if (status != cut->fade)
                FAIL(">> Track %i (%s), edit %i: the crossfade engine answered %i where the plan expected %i; "
                     "nothing more is built, exiting\n", t + 1, Show(Base_Name(job, t)).text, i + 1, status, cut->fade);
            if (status != XF_OK) {
                Print_Fade_Status(job, t, status);
                puts("Crossfade failed.");
                Print_Fade_Failure(job, t, i);  // the takes meet in a hard cut instead
            }
        }
        Progress_Update(progress, written_to * frame_size);
    }
    // A track whose segments are all empty still declares its length: silence completes it.
    if (written_to < track->length)
        PAD_FILE(&out, (int32_t)written_to, frame_size, track->length - (int32_t)written_to, zeros);

    Close_Files(open);
    if (track->fade_type != 0)
        Fade_Work_End(&work);
    if (temp.stream.fd >= 0) {
        // Left behind it holds its header only, as after a hard cut.
        if (temp_kept && ftruncate(temp.stream.fd, temp.data_offset) != 0)
            FAIL(">> Cannot write %s (%s), exiting\n", TEMP_FILE, strerror(errno));
        Stream_Close_Written(&temp.stream);
        if (!temp_kept && unlinkat(job->folders[job->temp.folder].fd, TEMP_FILE, 0) != 0)
            FAIL(">> Cannot remove %s (%s), exiting\n", TEMP_FILE, strerror(errno));
    }
    partial.stream = out.stream;
    job->outputs[t].built = Partial_Publish(&partial, false);  // its folder is synced once all its outputs are in
}

void Build_Tracks(Job* job)
{
    // One copy buffer, one of silence and one window of output writes serve every track.
    uint8_t* buffer = Block_Alloc(COPY_BYTES);
    uint8_t* zeros = Block_Alloc(COPY_BYTES);
    uint8_t* window_bytes = Block_Alloc(OUTPUT_WINDOW_BYTES);
    Write_Window window;
    Open_Files* open = (Open_Files*)Block_Alloc((int64_t)sizeof(Open_Files));
    Progress progress;
    Progress_Start(&progress, job);
    for (int32_t t = 0; t < job->track_count; t++) {
        Progress_Track(&progress, t);
        Build_Track(job, t, buffer, zeros, open, &window, window_bytes, &progress);
    }
    Progress_Finish(&progress);
    // Each output was synced before its rename; the renames themselves outlast a power
    // cut once their folders are synced, once each here. Until then a name holds its
    // previous output or its new one, both whole; a folder that cannot be synced leaves
    // it so, which is why a failure is ignored.
    for (int32_t f = 0; f < job->folder_count; f++) {
        bool written = false;
        for (int32_t t = 0; t < job->track_count && !written; t++)
            written = job->outputs[t].folder == f;
        if (written)
            (void)fsync(job->folders[f].fd);
    }
    free(open);
    free(window_bytes);
    free(zeros);
    free(buffer);
}

void Print_Done(const Job* job)
{
    if (job->options.quiet)
        return;
    if (job->options.dry_run)
        printf("\n\nDry run: %s was written.\n\n", job->options.report != nullptr ? "only the report" : "nothing");
    else
        printf("\n\nDone\n\n");
}
