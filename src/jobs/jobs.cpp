#include "jobs/jobs.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"

static const char RC_TEMPLATE[] =
    "Parameters file for tavlin - remove parenthesis to use\n\nSet all tracks the same:\n"
    "(xf_all\t200\t1)\n\nTweak individual tracks\n(xf_tr\t1\t200\t1)\n";

char* Next_Token(char** cursor, const char* delimiters)
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

// Reads the whole of `file` into `buffer` and NUL-terminates it; the file must fit
// in capacity - 1 bytes. Closes the file, also before refusing it.
static void Read_Whole(FILE* file, const char* name, char* buffer, int32_t capacity)
{
    // A directory opens like a file on some systems but cannot be read.
    int first = fgetc(file);
    bool readable = !(first == EOF && ferror(file)) && fseek(file, 0, SEEK_END) == 0;
    long size = readable ? ftell(file) : -1;
    bool fits = size <= capacity - 1;
    readable = size >= 0 && (!fits || (fseek(file, 0, SEEK_SET) == 0 && fread(buffer, 1, (size_t)size, file) == (size_t)size));
    // Only read from: a failing close cannot lose anything.
    (void)fclose(file);
    if (!readable)
        FAIL(">> Cannot read %s, exiting\n", name);
    if (!fits)
        FAIL(">> %s is %ld bytes long; it may hold at most %i, exiting\n", name, size, capacity - 1);
    buffer[size] = '\0';
}

// strtol in base 10, held within int32_t so that an enormous value is not narrowed
// into a small one.
static int32_t To_Int32(const char* token)
{
    long value = strtol(token, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return (int32_t)value;
}

// strtod narrowed to float; `what` names the value when it is not a finite number.
static float To_Float(const char* token, const char* what)
{
    float value = (float)strtod(token, nullptr);
    if (!std::isfinite(value))
        FAIL(">> %s is \"%s\", which is not a usable number, exiting\n", what, token);
    return value;
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

int32_t Check_RC(int32_t track_types[], float track_lengths[], int32_t* all_type, float* all_length)
{
    FILE* file = fopen(RC_FILE, "r");
    if (file == nullptr) {
        // Only a file that is not there is replaced by the template; one that exists
        // but cannot be read is the user's and is left alone.
        if (errno != ENOENT)
            FAIL(">> Cannot read %s (%s), exiting\n", RC_FILE, strerror(errno));
        // "x": never truncate a file that appeared in the meantime.
        FILE* out = fopen(RC_FILE, "wx");
        bool written = out != nullptr && fwrite(RC_TEMPLATE, 1, sizeof RC_TEMPLATE - 1, out) == sizeof RC_TEMPLATE - 1;
        if (out != nullptr && fclose(out) != 0)
            written = false;
        if (!written)
            printf(">> Cannot write the template %s; building without crossfades\n", RC_FILE);
        return 1;
    }

    char buffer[RC_BUFFER];
    Read_Whole(file, RC_FILE, buffer, RC_BUFFER);
    const char* delimiters = "\t\n";
    char* cursor = buffer;
    char* token = Next_Token(&cursor, delimiters);
    while (token != nullptr) {
        if (strcmp(token, "xf_tr") == 0) {
            char* number = Next_Token(&cursor, delimiters);
            char* length = number ? Next_Token(&cursor, delimiters) : nullptr;
            char* type = length ? Next_Token(&cursor, delimiters) : nullptr;
            if (type == nullptr)
                FAIL(">> %s ends inside an xf_tr entry (track, length and type are needed), exiting\n", RC_FILE);
            int32_t track = To_Int32(number);
            if (track < 1 || track > MAX_ENTRIES)
                FAIL(">> %s names track \"%s\"; tracks are numbered 1 to %i, exiting\n", RC_FILE, number,
                     MAX_ENTRIES);
            track_lengths[track - 1] = To_Float(length, "A crossfade length in tavlinrc.txt");
            track_types[track - 1] = To_Int32(type);
            // The type token is looked at once more: an entry missing its type takes
            // the next line's keyword as its type, and that line still counts.
            token = type;
        }
        if (strcmp(token, "xf_all") == 0) {
            char* length = Next_Token(&cursor, delimiters);
            char* type = length ? Next_Token(&cursor, delimiters) : nullptr;
            if (type == nullptr)
                FAIL(">> %s ends inside an xf_all entry (length and type are needed), exiting\n", RC_FILE);
            *all_length = To_Float(length, "A crossfade length in tavlinrc.txt");
            *all_type = To_Int32(type);
        }
        token = Next_Token(&cursor, delimiters);
    }
    return 0;
}

// Reads base.txt or points.txt whole into `buffer` (LIST_BUFFER bytes); `holds`
// says what the file holds, for the message when it is missing.
static void Read_List(const char* name, const char* holds, char* buffer)
{
    FILE* file = fopen(name, "rb");
    if (file == nullptr)
        FAIL(">> Cannot find file %s that holds your %s, exiting\n\n", name, holds);
    Read_Whole(file, name, buffer, LIST_BUFFER);
}

void ReadBaseFile(int32_t* count, char* names, int32_t stride)
{
    char buffer[LIST_BUFFER];
    Read_List(BASE_FILE, "base file names", buffer);
    char* cursor = buffer;
    int32_t n = 0;
    for (char* token = Next_Token(&cursor, "\n"); token != nullptr; token = Next_Token(&cursor, "\n"))
        Store_Entry(names, stride, n++, token, BASE_FILE, "base names", "Base name");
    *count = n;
}

void ReadEditFile(int32_t* count, char* suffixes, int32_t stride, float times[])
{
    char buffer[LIST_BUFFER];
    Read_List(POINTS_FILE, "edits", buffer);
    char* cursor = buffer;
    int32_t n = 0;
    // A time ends at its TAB (or line end); its suffix is the rest of the line, TABs,
    // spaces and a CR included.
    for (char* time = Next_Token(&cursor, "\t\n"); time != nullptr; time = Next_Token(&cursor, "\t\n")) {
        char* suffix = Next_Token(&cursor, "\n");
        if (suffix == nullptr)
            FAIL(">> %s ends after the time of edit %i, which names no take, exiting\n", POINTS_FILE, n + 1);
        Store_Entry(suffixes, stride, n, suffix, POINTS_FILE, "edit points", "Take suffix of edit");
        times[n] = To_Float(time, "An edit time in points.txt");
        n++;
    }
    *count = n;
}
