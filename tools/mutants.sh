#!/usr/bin/env bash
# Mutation check: plants each one-line fault listed below, one at a time, in a scratch
# copy of the tree (never in the tree itself), rebuilds the tests and runs them (all but
# the long RF64 one). A fault the tests notice is killed; one they miss survives. Prints
# each fault's fate, the kill ratio and the survivors; exits 1 when a fault survives or
# no longer applies. A fault whose comment above it begins "# Equivalent" cannot be
# noticed by any test (the comment says why): it is expected to survive and does not
# count as a survivor. Slow (a rebuild and a test run per fault), so not part of CI.
#   tools/mutants.sh               every fault
#   tools/mutants.sh 3 17          faults 3 and 17 only (numbered as printed)
#   tools/mutants.sh --check       only checks that each text occurs once in its file
#   TESTS_FROM=REV tools/mutants.sh   runs the tests as they were at commit REV
set -euo pipefail
cd "$(dirname "$0")/.."

# One fault a line: file @@ text that occurs exactly once in it @@ what replaces it.
faults() {
    cat <<'LIST'
src/fail.cpp @@ if (partial_name[0] != '\0') @@ if (partial_name[0] == '\0')
src/fail.cpp @@ action.sa_flags = SA_RESETHAND; @@ action.sa_flags = 0;
src/fail.cpp @@ signal(SIGXFSZ, SIG_IGN) @@ signal(SIGXFSZ, SIG_DFL)
src/jobs/jobs.h @@ RC_BUFFER = 1024; @@ RC_BUFFER = 1025;
src/jobs/jobs.cpp @@ if (end > line && end[-1] == '\r') @@ if (false)
src/jobs/jobs.cpp @@ if (size > capacity - 1) @@ if (size > capacity)
src/jobs/jobs.cpp @@ "\xEF\xBB\xBF", 3) == 0 ? 3 : 0 @@ "\xEF\xBB\xBF", 3) == 0 ? 2 : 0
src/jobs/jobs.cpp @@ return end != start && @@ return
src/jobs/jobs.cpp @@ if (seconds >= 60 || @@ if (seconds > 60 ||
src/jobs/jobs.cpp @@ if (n >= MAX_ENTRIES) @@ if (n > MAX_ENTRIES)
src/jobs/jobs.cpp @@ if (length > (size_t)NAME_SLOT - 1) @@ if (length > (size_t)NAME_SLOT)
src/jobs/jobs.cpp @@ fopen(RC_FILE, "wx") @@ fopen(RC_FILE, "w")
src/jobs/jobs.cpp @@ track > MAX_ENTRIES) @@ track >= MAX_ENTRIES)
src/text.cpp @@ ticks % (1000 / (uint64_t)unit); @@ ticks % (100 / (uint64_t)unit);
src/wav/wav.h @@ MAX_DATA_BYTES = 2147483611; @@ MAX_DATA_BYTES = 2147483647;
src/wav/probe.cpp @@ window, step + tag_bytes); @@ window, step);
src/wav/probe.cpp @@ int64_t first = base < 2 ? 2 : base; @@ int64_t first = base;
src/wav/probe.cpp @@ (int64_t)size + (int64_t)(size & 1); @@ (int64_t)size;
src/wav/probe.cpp @@ ds64_data = Assem8(chunk + 16); @@ ds64_data = Assem8(chunk + 8);
src/wav/probe.cpp @@ if (block_align != frame_size) @@ if (block_align != frame_size && false)
src/wav/probe.cpp @@ int64_t count = audio / Frame_Size(&format); @@ int64_t count = (audio + Frame_Size(&format) - 1) / Frame_Size(&format);
src/wav/header.cpp @@ return data_bytes > MAX_DATA_BYTES || @@ return data_bytes >= MAX_DATA_BYTES ||
src/wav/header.cpp @@ f->channels > 2 && @@ f->channels >= 2 &&
src/wav/copy.cpp @@ int64_t audio = file->data_end - byte_offset; @@ int64_t audio = file->file_bytes - byte_offset;
src/audio/codec.cpp @@ 65536 * (int8_t)at[2]; @@ 65536 * at[2];
src/audio/codec.cpp @@ if (*sample >= 0) @@ if (*sample > 0)
src/audio/crossfade.cpp @@ ((int64_t)frame - length / 2); @@ ((int64_t)frame - (length + 1) / 2);
src/audio/crossfade.cpp @@ start_previous > previous->file_bytes @@ start_previous >= previous->file_bytes
src/audio/crossfade.cpp @@ bytes_per_sample <= 4); @@ bytes_per_sample <= 3);
src/audio/crossfade.cpp @@ type < 1 || type > 4) @@ type < 1 || type > 5)
# Equivalent: the gains of a block are computed behind the cache whenever the block is
# not wholly inside it; they depend only on the frame's place, so they are the same bits.
src/audio/crossfade.cpp @@ if (j + m > work->cached) { @@ if (j + m >= work->cached) {
src/audio/mix.cpp @@ QUARTER_TURN = 1.570796327; @@ QUARTER_TURN = 1.5707963267948966;
src/audio/mix.cpp @@ *g_previous = 1.0 - sin(angle); @@ *g_previous = 1.0 - t;
src/audio/mix.cpp @@ double g_p = g_previous[k], g_n = g_next[k]; @@ double g_p = g_next[k], g_n = g_previous[k];
src/audio/mix.cpp @@ if (m < low) @@ if (false && m < low)
src/audio/mix.cpp @@ CHAR_TO_NUM32(next, n, bytes_per_sample, count); @@ CHAR_TO_NUM32(next, n, bytes_per_sample, frames);
src/audio/mix.cpp @@ int32_t count = frames * channels; @@ int32_t count = frames;
src/audio/mix.cpp @@ -8388608.0, 8388607.0); @@ -8388608.0, 8388608.0);
src/audio/mix.cpp @@ Assem_Float(next + 8 * i, 8) @@ Assem_Float(next + 4 * i, 8)
src/jobs/job.h @@ SUFFIX_BUFFER = 64; @@ SUFFIX_BUFFER = 63;
src/driver/plan.cpp @@ {RC_FILE, BASE_FILE, POINTS_FILE, TEMP_FILE}; @@ {RC_FILE, BASE_FILE, POINTS_FILE, RC_FILE};
src/driver/plan.cpp @@ if (Compare_Times(&times[i], &times[i + 1]) > 0) { @@ if (Compare_Times(&times[i], &times[i + 1]) >= 0) {
src/driver/plan.cpp @@ for (int32_t i = 1; i < edits; i++) @@ for (int32_t i = 2; i < edits; i++)
src/driver/plan.cpp @@ xf_type[t] > 4) @@ xf_type[t] > 5)
src/driver/plan.cpp @@ || f->is_float != track->format.is_float) { @@ ) {
src/driver/plan.cpp @@ if (info->frames > track->longest) @@ if (k == 0 && info->frames > track->longest)
src/driver/plan.cpp @@ if (cut->start > take_frames) { @@ if (cut->start >= take_frames) {
src/driver/plan.cpp @@ ? cuts[n - 1].start : track->longest; @@ ? cuts[n - 1].start - 1 : track->longest;
src/driver/plan.cpp @@ if (!(cut->start > fade * 0.5)) { @@ if (!(cut->start > fade)) {
# Equivalent: open files are given up oldest first, so opening the previous take just
# after this one never gives up this one's slot; the second lookup guards a smaller cache.
src/driver/assemble.cpp @@ take = Take_File(job, t, i, take_name, open);  // may @@ // may
src/driver/assemble.cpp @@ < cut->held) @@ < cut->held - 1)
src/driver/assemble.cpp @@ if (cut->held < cut->frames) @@ if (false && cut->held < cut->frames)
src/driver/plan.cpp @@ track->length - cut->fade_from : fade; @@ track->length - cut->fade_from + 1 : fade;
src/driver/assemble.cpp @@ if (written_to < track->length) @@ if (written_to + 1 < track->length)
src/driver/assemble.cpp @@ temp_kept = false;  // removed @@ // removed
src/driver/options.cpp @@ value = equals + 1; @@ value = equals;
src/driver/options.cpp @@ at++; @@ (void)0;
src/driver/options.cpp @@ if (argc - at > 1) @@ if (argc - at > 2)
src/driver/safety.cpp @@ flock(folder, LOCK_EX | LOCK_NB) @@ flock(folder, LOCK_SH | LOCK_NB)
src/driver/safety.cpp @@ for (int32_t t = -1; t < job->track_count; t++) @@ for (int32_t t = 0; t < job->track_count; t++)
src/driver/safety.cpp @@ b < count; b++) { @@ b < count - 1; b++) {
src/driver/safety.cpp @@ rooms[r].peak > rooms[r].free_bytes) @@ rooms[r].peak > rooms[r].free_bytes && false)
src/driver/safety.cpp @@ (void)unlinkat(job->folders[f].fd, entry->d_name, 0); @@ (void)entry;
src/driver/tavlin2a.cpp @@ Check_Inputs(job); @@ (void)job;
src/driver/tavlin2a.cpp @@ Remove_Stale_Partials(job); @@ (void)job;
src/driver/tavlin2a.cpp @@ if (fflush(stdout) != 0) @@ if (false)
src/jobs/times.cpp @@ * rate + carry) / 10; @@ * rate + carry + 5) / 10;
src/jobs/times.cpp @@ return x < y ? -sign : sign; @@ return x < y ? sign : -sign;
src/jobs/times.cpp @@ if (time->decimals > 3 && time->fraction[3] >= '5') @@ if (time->decimals > 3 && time->fraction[3] > '5')
src/driver/plan.cpp @@ int32_t end = cuts[i + 1].start < track->longest ? cuts[i + 1].start : track->longest; @@ int32_t end = cuts[i + 1].start - 1 < track->longest ? cuts[i + 1].start - 1 : track->longest;
src/driver/plan.cpp @@ Wav_File previous = Take_Layout(Take_Of(job, t, cut->previous)) @@ Wav_File previous = Take_Layout(Take_Of(job, t, i))
src/driver/plan.cpp @@ if (cuts[i].frames > 0) @@ if (cuts[i].frames >= 0)
src/driver/plan.cpp @@ if (Cut_Of(job, t, cut->previous)->frames < 1) { @@ if (false) {
src/driver/plan.cpp @@ if (frame > INT32_MAX && i == job->edit_count - 1) @@ if (false)
src/driver/plan.cpp @@ if (file[0] == '\0' || @@ if (false ||
src/driver/plan.cpp @@ Print_Fade_Failures(job, t);  // warnings, which -q keeps @@ (void)0;
src/audio/crossfade.cpp @@ return XF_SHRUNK | XF_PREVIOUS; @@ (void)0;
src/wav/stream.cpp @@ got = got < 0 ? 0 : got; @@ (void)0;
src/driver/checks.cpp @@ bool hard = cut->fade != FADE_MIXED || cut->fade_frames == 0; @@ bool hard = cut->fade != FADE_MIXED;
src/report/envelope.cpp @@ if (!Same_Identity(&reader->output.identity, &job->outputs[t].built)) @@ if (false)
src/driver/plan.cpp @@ job->xf_line[t] = job->all_line; @@ (void)0;
src/wav/stream.cpp @@ if (!Same_File(stream.fd, identity)) { @@ if (stream.fd < 0 || (false && !Same_File(stream.fd, identity))) {
src/wav/header.cpp @@ int64_t needed = done + n == carried[k].bytes ? n - carried[k].pad : n; @@ int64_t needed = n;
src/fail.cpp @@ _exit(128 + signal_number); @@ (void)0;
src/fail.cpp @@ signal(SIGPIPE, SIG_IGN) @@ signal(SIGPIPE, SIG_DFL)
src/driver/safety.cpp @@ S_ISREG(held.st_mode) && held.st_size > 0 && @@ S_ISREG(held.st_mode) &&
src/driver/safety.cpp @@ targets[report].new_bytes = Report_Bytes_At_Most(job); @@ targets[report].new_bytes = 0;
LIST
}

check_only=false
picked=()
for arg in "$@"; do
    case $arg in
    --check) check_only=true ;;
    *) picked+=("$arg") ;;
    esac
done

# Fields of fault line $1 into file, find, replace.
fields() {
    file=${1%% @@ *}
    local rest=${1#* @@ }
    find=${rest%% @@ *}
    replace=${rest#* @@ }
}

# How often $find occurs in file $1.
occurrences() {
    FIND=$find perl -0777 -ne 'my $n = () = /\Q$ENV{FIND}\E/g; print $n' "$1"
}

list=()
equivalent=()  # per fault: true when listed as equivalent
marked=false
while IFS= read -r line; do
    if [[ $line == "# Equivalent"* ]]; then
        marked=true
    elif [[ -n $line && $line != \#* ]]; then
        list+=("$line")
        equivalent+=("$marked")
        marked=false
    fi
done < <(faults)

stale=0
for k in "${!list[@]}"; do
    fields "${list[$k]}"
    n=$(occurrences "$file")
    if [ "$n" != 1 ]; then
        echo "fault $((k + 1)): \"$find\" occurs $n times in $file"
        stale=$((stale + 1))
    fi
done
if $check_only || [ $stale -gt 0 ]; then
    echo "${#list[@]} faults, $stale no longer apply"
    [ $stale -eq 0 ]
    exit
fi

scratch=$(mktemp -d /tmp/tavlin-mutants-XXXXXX)
group=
cleanup() {
    [ -z "$group" ] || kill -KILL -- "-$group" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
# The tree as it stands, committed or not.
git ls-files -co --exclude-standard | while IFS= read -r f; do
    [ -e "$f" ] && cp --parents -- "$f" "$scratch/"
done
if [ -n "${TESTS_FROM:-}" ]; then
    rm -rf "$scratch/tests"
    git archive "$TESTS_FROM" tests | tar -x -C "$scratch"
fi
cd "$scratch"
cmake -S . -B build -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null

# Builds and runs the tests; status 0 when every test passed. Each run gets a process
# group of its own, so that a tool a fault left hanging goes with it.
run_tests() {
    cmake --build build -j2 >build.log 2>&1 || return 2
    setsid -w ctest --test-dir build -j2 -E LongRecordings --timeout 60 --stop-on-failure >ctest.log 2>&1 &
    group=$!
    local status=0
    wait $group || status=1
    kill -KILL -- "-$group" 2>/dev/null || true
    group=
    return $status
}

if ! run_tests; then
    echo "The tests fail with no fault planted:"
    tail -n 30 build.log ctest.log
    exit 1
fi

killed=0 tried=0 broken=0 expected=0
survivors=()
for k in "${!list[@]}"; do
    number=$((k + 1))
    if [ ${#picked[@]} -gt 0 ] && [[ " ${picked[*]} " != *" $number "* ]]; then
        continue
    fi
    fields "${list[$k]}"
    cp -p "$file" original
    FIND=$find REPLACE=$replace perl -0777 -pe 's/\Q$ENV{FIND}\E/$ENV{REPLACE}/' original >"$file"
    status=0
    run_tests || status=$?
    cp original "$file"  # newer than the build: the next build compiles it again
    if [ $status -eq 2 ]; then
        broken=$((broken + 1))
        echo "$number does not build: $file: $find"
        continue
    fi
    tried=$((tried + 1))
    if [ $status -eq 0 ] && ${equivalent[$k]}; then
        expected=$((expected + 1))
        echo "$number survived, as an equivalent fault does ($file: $find)"
    elif [ $status -eq 0 ]; then
        survivors+=("$number $file: $find => $replace")
        echo "$number SURVIVED $file: $find"
    else
        killed=$((killed + 1))
        failed=$(grep -m1 -oE '[0-9]+ - [A-Za-z_]+\.[A-Za-z0-9_]+' ctest.log || grep -m1 -oE 'Test +#[0-9]+: [^ ]+' ctest.log || echo "a test")
        echo "$number killed by $failed ($file: $find)"
    fi
done
echo
echo "Killed $killed of $tried faults ($((tried - expected)) not equivalent); ${#survivors[@]} survived that should not"
[ $broken -eq 0 ] || echo "$broken faults did not build"
for s in "${survivors[@]}"; do
    echo "  survived: $s"
done
[ ${#survivors[@]} -eq 0 ] && [ $broken -eq 0 ]
