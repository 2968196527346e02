#include "jobs/jobs.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"
#include "text.h"

static const char RC_TEMPLATE[] =
    "Parameters file for tavlin - remove parenthesis to use\n\nSet all tracks the same:\n"
    "(xf_all\t200\t1)\n\nTweak individual tracks\n(xf_tr\t1\t200\t1)\n";

// Tokenizer with strtok's rules but no hidden state: skips delimiters, returns the
// token (NUL-terminated in place) and moves *cursor past the one delimiter that ends
// it. Returns nullptr when no token is left.
static char* Next_Token(char** cursor, const char* delimiters)
{
    char* start = *cursor + strspn(*cursor, delimiters);
    if (*start == '\0') {
        *cursor = start;
        return nullptr;
    }
    char* end = start + strcspn(start, delimiters);
    if (*end != '\0')
        *end++ = '\0';
    *cursor = end;
    return start;
}

// What a refused time or entry should have looked like, on a line of its own after the
// refusal.
static const char POINTS_HINT[] =
    ">> Write times with a decimal point (1.5) or as m:ss.fff, and a TAB between the time and the take suffix.\n";
static const char RC_HINT[] = ">> Write entries as xf_all, LENGTH_MS, TYPE or xf_tr, TRACK, LENGTH_MS, TYPE with a TAB "
                              "between the fields, lengths with a decimal point (12.5).\n";

// Opens job file `name` for reading without waiting (a FIFO would block an ordinary
// open), then looks at what was opened: only a regular file is read. Returns the
// descriptor, or -1 with errno ENOENT when there is no such file; refuses the rest.
static int Open_Job_File(const char* name)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        FAIL(">> Cannot read %s (%s), exiting\n", name, strerror(errno));
    }
    struct stat about;
    if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
        bool folder = S_ISDIR(about.st_mode);
        (void)close(fd);  // only opened to read
        if (folder)
            FAIL(">> Cannot read %s, exiting\n", name);
        FAIL(">> Cannot read %s (not a regular file), exiting\n", name);
    }
    return fd;
}

// Reads the whole of the open job file `fd` into `buffer` and NUL-terminates it; the
// file must fit in capacity - 1 bytes. Closes the file, also before refusing it.
// Refuses a NUL byte, which would end the text early, and returns where the text
// starts: after a UTF-8 byte order mark, which some editors put at the start of a file.
static char* Read_Whole(int fd, const char* name, char* buffer, int32_t capacity)
{
    int64_t size = 0;
    bool readable = true;
    for (;;) {
        // One byte more than fits tells a file that is too long.
        ssize_t n = read(fd, buffer + size, (size_t)(capacity - size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            readable = n == 0;
            break;
        }
        size += n;
        if (size == capacity)
            break;
    }
    struct stat about;
    int64_t length = fstat(fd, &about) == 0 && about.st_size > size ? (int64_t)about.st_size : size;
    // Only read from: a failing close cannot lose anything.
    (void)close(fd);
    if (!readable)
        FAIL(">> Cannot read %s, exiting\n", name);
    if (size > capacity - 1)
        FAIL(">> %s is %lld bytes long; it may hold at most %i, exiting\n", name, (long long)length, capacity - 1);
    buffer[size] = '\0';
    const char* nul = (const char*)memchr(buffer, '\0', (size_t)size);
    if (nul != nullptr) {
        int32_t line = 1;
        for (const char* at = buffer; at < nul; at++)
            line += *at == '\n';
        FAIL(">> %s line %i holds a NUL byte; job files are plain text, exiting\n", name, line);
    }
    return buffer + (strncmp(buffer, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0);
}

// Cuts the line at *cursor out of the text in place (without its line end) and moves
// *cursor to the next line, counting it in *line_number. A line ends at LF or CR LF
// (files saved on Windows), or with the text; a CR anywhere else in a line of `file` is
// refused with its line number: no name or number holds one.
static char* Next_Line(char** cursor, const char* file, int32_t* line_number)
{
    char* line = *cursor;
    if (*line == '\0')
        return nullptr;
    (*line_number)++;
    char* end = line + strcspn(line, "\n");
    *cursor = *end == '\n' ? end + 1 : end;
    *end = '\0';
    if (end > line && end[-1] == '\r')
        end[-1] = '\0';
    if (strchr(line, '\r') != nullptr)
        FAIL(">> %s line %i holds a CR (carriage return) that ends no line, exiting\n"
             ">> Save it with LF or CR LF line ends\n", file, *line_number);
    return line;
}

// True when `text` holds nothing but spaces, TABs, CRs and LFs.
static bool Is_Blank(const char* text) { return text[strspn(text, " \t\r\n")] == '\0'; }

// True when a conversion that began at `start` and stopped at `end` read a number that
// starts right there (strtod and strtol would also skip a CR or form feed) and only
// spaces and CRs follow it: one number, nothing else.
static bool Whole_Token(const char* start, const char* end)
{
    return end != start && !isspace((unsigned char)*start) && end[strspn(end, " \r")] == '\0';
}

// A crossfade length token: leading spaces, one decimal number (no hexadecimal, no
// infinity), trailing spaces and CRs. False for "1,5", "five", "0x10", "5e-1x".
static bool Parse_Double(const char* token, double* value)
{
    const char* start = token + strspn(token, " ");
    const char* end = Decimal_End(start);
    if (end == start || end[strspn(end, " \r")] != '\0')
        return false;
    *value = strtod(start, nullptr);
    return true;
}

// A track number or type token: as Parse_Double, read by strtol in base 10 ("2.9" and
// "0x1" are refused), held within int32_t so that an enormous value is not narrowed
// into a small one.
static bool Parse_Int32(const char* token, int32_t* value)
{
    const char* start = token + strspn(token, " ");
    char* end;
    long number = strtol(start, &end, 10);
    *value = number > INT32_MAX ? INT32_MAX : number < INT32_MIN ? INT32_MIN : (int32_t)number;
    return Whole_Token(start, end);
}

// A timecode token, m:ss.fff or h:mm:ss.fff, with spaces around it and CRs after it:
// every part present and digits only, seconds below 60 and, after hours, minutes below
// 60. The whole seconds are written out as decimal text ahead of the token's own
// fraction and read as seconds, so "0:09.39" gives exactly what "9.39" gives.
static int32_t Parse_Timecode(const char* token, Edit_Time* time)
{
    const char* at = token + strspn(token, " ");
    int64_t parts[3] = {0, 0, 0};
    int32_t count = 0;
    for (;;) {
        size_t digits = strspn(at, "0123456789");
        if (digits == 0 || digits > 9 || count == 3)
            return TIME_NOT_A_NUMBER;
        for (size_t k = 0; k < digits; k++)
            parts[count] = parts[count] * 10 + (at[k] - '0');
        count++;
        at += digits;
        if (*at != ':')
            break;
        at++;
    }
    if (count < 2)
        return TIME_NOT_A_NUMBER;
    int64_t hours = count == 3 ? parts[0] : 0, minutes = parts[count - 2], seconds = parts[count - 1];
    if (seconds >= 60 || (count == 3 && minutes >= 60))
        return TIME_NOT_A_NUMBER;
    const char* fraction = at;
    if (*at == '.')
        at += 1 + strspn(at + 1, "0123456789");
    if (at[strspn(at, " \r")] != '\0')
        return TIME_NOT_A_NUMBER;
    char text[2 * TIME_DECIMALS];
    int length = snprintf(text, sizeof text, "%lld%.*s", (long long)(hours * 3600 + minutes * 60 + seconds),
                          (int)(at - fraction), fraction);
    if (length < 0 || length >= (int)sizeof text)
        return TIME_TOO_PRECISE;
    return Read_Seconds(text, time);
}

// An edit time: a timecode when it holds a colon, else decimal seconds.
static int32_t Parse_Time(const char* token, Edit_Time* time)
{
    return strchr(token, ':') != nullptr ? Parse_Timecode(token, time) : Read_Seconds(token, time);
}

// Stores `token` as entry n of a name area; refuses a 1025th entry (`entries` names
// them) and a name over 127 characters (`name` says whose).
static void Store_Entry(char* area, int32_t stride, int32_t n, const char* token, const char* file,
                        const char* entries, const char* name)
{
    if (n >= MAX_ENTRIES)
        FAIL(">> %s holds more than %i %s, exiting\n", file, MAX_ENTRIES, entries);
    size_t length = strlen(token);
    if (length > (size_t)NAME_SLOT - 1)
        FAIL(">> %s %i is %zu characters long; names may have at most %i, exiting\n", name, n + 1, length,
             NAME_SLOT - 1);
    memcpy(area + (size_t)n * stride, token, length + 1);
}

// A crossfade length of the run-control entry on line `line`, or the refusal naming it.
static float Rc_Length(char* token, int32_t line)
{
    double value;
    const char* start = token + strspn(token, " ");
    if (Decimal_End(start) == start && (strncasecmp(start, "inf", 3) == 0 || strncasecmp(start, "nan", 3) == 0))
        FAIL(">> %s line %i: \"%s\" is not a usable number, exiting\n%s", RC_FILE, line, Show(token).text, RC_HINT);
    if (!Parse_Double(token, &value))
        FAIL(">> %s line %i: \"%s\" is not a crossfade length in milliseconds, exiting\n%s", RC_FILE, line,
             Show(token).text, RC_HINT);
    float narrowed = (float)value;
    if (!std::isfinite(narrowed))
        FAIL(">> %s line %i: \"%s\" is too large for a crossfade length, exiting\n", RC_FILE, line, Show(token).text);
    return narrowed;
}

// A track number or type (`what`, with its article) of the entry on line `line`.
static int32_t Rc_Whole(char* token, int32_t line, const char* what)
{
    int32_t value;
    if (!Parse_Int32(token, &value))
        FAIL(">> %s line %i: \"%s\" is not %s, exiting\n%s", RC_FILE, line, Show(token).text, what, RC_HINT);
    return value;
}

// Takes the `needed` values that follow keyword `keyword` on its line (`fields`) into
// `values`. An entry short of them (`needs` names them) is refused: it never borrows
// from the next line. `rest` is the text after the line; when nothing follows, the
// file itself ends inside the entry and is said so.
static void Entry_Values(char** fields, char* values[], int32_t needed, const char* keyword, const char* needs,
                         int32_t line, const char* rest)
{
    for (int32_t k = 0; k < needed; k++) {
        values[k] = Next_Token(fields, "\t");
        if (values[k] != nullptr)
            continue;
        if (Is_Blank(rest))
            FAIL(">> %s ends inside an %s entry (%s are needed), exiting\n%s", RC_FILE, keyword, needs, RC_HINT);
        FAIL(">> %s line %i ends inside an %s entry (%s are needed), exiting\n%s", RC_FILE, line, keyword, needs,
             RC_HINT);
    }
}

void Write_RC_Template()
{
    // "x": never truncate a file that appeared in the meantime.
    FILE* out = fopen(RC_FILE, "wx");
    bool written = out != nullptr && fwrite(RC_TEMPLATE, 1, sizeof RC_TEMPLATE - 1, out) == sizeof RC_TEMPLATE - 1;
    if (out != nullptr && fclose(out) != 0)
        written = false;
    if (!written)
        printf(">> Cannot write the template %s; building without crossfades\n", RC_FILE);
}

int32_t Check_RC(int32_t track_types[], float track_lengths[], int32_t* all_type, float* all_length,
                 int32_t track_lines[], int32_t* all_line)
{
    // Only a file that is not there is answered with 1 (the caller writes the template
    // once every check has passed); one that exists but cannot be read is refused.
    int file = Open_Job_File(RC_FILE);
    if (file < 0)
        return 1;

    char buffer[RC_BUFFER];
    char* cursor = Read_Whole(file, RC_FILE, buffer, RC_BUFFER);
    int32_t line_number = 0;
    for (char* line = Next_Line(&cursor, RC_FILE, &line_number); line != nullptr;
         line = Next_Line(&cursor, RC_FILE, &line_number)) {
        // Fields are separated by TABs (runs of them count as one); free text and the
        // template's parenthesized lines are ignored. A line that starts like an entry
        // but is not one ("xf_all 50 1" with spaces) would be ignored silently and the
        // job built with hard cuts, so it is refused.
        char* fields = line;
        char* token = Next_Token(&fields, "\t");
        if (token != nullptr && strncmp(token + strspn(token, " "), "xf_", 3) == 0 && strcmp(token, "xf_tr") != 0 &&
            strcmp(token, "xf_all") != 0)
            FAIL(">> %s line %i: \"%s\" is not a crossfade entry, exiting\n%s", RC_FILE, line_number, Show(token).text,
                 RC_HINT);
        // A keyword later on the line counts as well, and whatever follows an entry's
        // values is ignored.
        for (; token != nullptr; token = Next_Token(&fields, "\t")) {
            char* values[3];
            if (strcmp(token, "xf_tr") == 0) {
                Entry_Values(&fields, values, 3, "xf_tr", "track, length and type", line_number, cursor);
                int32_t track = Rc_Whole(values[0], line_number, "a track number");
                if (track < 1 || track > MAX_ENTRIES)
                    FAIL(">> %s line %i names track \"%s\"; tracks are numbered 1 to %i, exiting\n", RC_FILE,
                         line_number, Show(values[0]).text, MAX_ENTRIES);
                track_lengths[track - 1] = Rc_Length(values[1], line_number);
                track_types[track - 1] = Rc_Whole(values[2], line_number, "a crossfade type");
                track_lines[track - 1] = line_number;
            } else if (strcmp(token, "xf_all") == 0) {
                Entry_Values(&fields, values, 2, "xf_all", "length and type", line_number, cursor);
                *all_length = Rc_Length(values[0], line_number);
                *all_type = Rc_Whole(values[1], line_number, "a crossfade type");
                *all_line = line_number;
            }
        }
    }
    return 0;
}

// Reads base.txt or points.txt whole into `buffer` (LIST_BUFFER bytes) and returns where
// its text starts; `holds` says what the file holds, for the message when it is missing.
static char* Read_List(const char* name, const char* holds, char* buffer)
{
    int file = Open_Job_File(name);
    if (file < 0)
        FAIL(">> Cannot find file %s that holds your %s, exiting\n\n", name, holds);
    return Read_Whole(file, name, buffer, LIST_BUFFER);
}

void ReadBaseFile(int32_t* count, char* names, int32_t stride, int32_t lines[])
{
    char buffer[LIST_BUFFER];
    char* cursor = Read_List(BASE_FILE, "base file names", buffer);
    int32_t n = 0, line_number = 0;
    for (char* line = Next_Line(&cursor, BASE_FILE, &line_number); line != nullptr;
         line = Next_Line(&cursor, BASE_FILE, &line_number)) {
        if (Is_Blank(line))
            continue;
        Store_Entry(names, stride, n, line, BASE_FILE, "base names", "Base name");
        lines[n++] = line_number;
    }
    *count = n;
}

void ReadEditFile(int32_t* count, char* suffixes, int32_t stride, Edit_Time times[])
{
    char buffer[LIST_BUFFER];
    char* cursor = Read_List(POINTS_FILE, "edits", buffer);
    int32_t n = 0;
    int32_t line_number = 0;
    for (char* line = Next_Line(&cursor, POINTS_FILE, &line_number); line != nullptr;
         line = Next_Line(&cursor, POINTS_FILE, &line_number)) {
        if (Is_Blank(line))
            continue;
        // TABs before the time are skipped, as they always were. The time ends at the
        // next TAB; the suffix is the rest of the line, TABs and spaces included.
        char* time = line + strspn(line, "\t");
        char* tab = strchr(time, '\t');
        char* suffix = tab != nullptr ? tab + 1 : time + strlen(time);
        if (tab != nullptr)
            *tab = '\0';
        Edit_Time read;
        int32_t status = Parse_Time(time, &read);
        if (*suffix == '\0' && Is_Blank(cursor) && status == TIME_OK)
            FAIL(">> %s ends after the time of edit %i, which names no take, exiting\n%s", POINTS_FILE, n + 1,
                 POINTS_HINT);
        if (tab == nullptr)
            FAIL(">> %s line %i: \"%s\" holds no TAB between the time and the take suffix, exiting\n%s", POINTS_FILE,
                 line_number, Show(time).text, POINTS_HINT);
        if (*suffix == '\0')
            FAIL(">> %s line %i: \"%s\" names no take after its TAB, exiting\n", POINTS_FILE, line_number, Show(time).text);
        Store_Entry(suffixes, stride, n, suffix, POINTS_FILE, "edit points", "Take suffix of edit");
        if (status == TIME_NOT_FINITE)
            FAIL(">> %s line %i: \"%s\" is not a usable number, exiting\n%s", POINTS_FILE, line_number, Show(time).text,
                 POINTS_HINT);
        if (status == TIME_TOO_LARGE)
            FAIL(">> %s line %i: \"%s\" is too large for an edit time, exiting\n", POINTS_FILE, line_number,
                 Show(time).text);
        if (status == TIME_TOO_PRECISE)
            FAIL(">> %s line %i: \"%s\" has more than %i decimals, exiting\n", POINTS_FILE, line_number, Show(time).text,
                 TIME_DECIMALS);
        if (status != TIME_OK) {
            if (strchr(time, ':') != nullptr)
                FAIL(">> %s line %i: \"%s\" is not a timecode (m:ss.fff or h:mm:ss.fff, seconds and minutes below "
                     "60), exiting\n%s", POINTS_FILE, line_number, Show(time).text, POINTS_HINT);
            FAIL(">> %s line %i: \"%s\" is not a time in seconds, exiting\n%s", POINTS_FILE, line_number, Show(time).text,
                 POINTS_HINT);
        }
        read.line = line_number;
        times[n] = read;
        n++;
    }
    *count = n;
}
