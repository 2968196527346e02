#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "fail.h"
#include "text.h"

static const char SYNOPSIS[] =
    "usage: tavlin2a [-hVnqm] [-C DIR] [--report FILE.html] [--checks=off] [--click-db DB] [--match-db DB] [--] "
    "[OUTPUT_SUFFIX]";

static const char USAGE[] =
    "Usage: tavlin2a [OPTION]... [OUTPUT_SUFFIX]\n"
    "Applies one edit list to every track of a multitrack recording. Run in the\n"
    "folder of a job, it cuts each track's takes (<base name><take suffix>.wav) at\n"
    "the edit points and writes one output per track, <base name><OUTPUT_SUFFIX>\n"
    "(by default <base name>_bld.wav).\n"
    "\n"
    "Job files (fields separated by TABs):\n"
    "  base.txt      the tracks, one base name per line\n"
    "                  kick\n"
    "                  snare\n"
    "  points.txt    edit points: seconds, take suffix; the last marks the end\n"
    "                  0\t_take1\n"
    "                  30\t_take2\n"
    "  tavlinrc.txt  crossfades: xf_all LENGTH_MS TYPE, xf_tr TRACK LENGTH_MS TYPE;\n"
    "                types 0 none, 1 equal-power, 2 linear, 3 cosine, 4 sine;\n"
    "                a commented template is written when it is missing\n"
    "                  xf_all\t50\t1\n"
    "                  xf_tr\t2\t200\t2\n"
    "\n"
    "Options:\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the program name and version and exit\n"
    "  -n, --dry-run        make every check, show the plan and each track's\n"
    "                       segments, and write nothing\n"
    "  -C, --directory DIR  run in folder DIR\n"
    "  -q, --quiet          print only refusals, warnings and failures\n"
    "  -m, --keep-metadata  carry the bext and iXML chunks of each track's first\n"
    "                       take into its output\n"
    "  --report FILE.html   also write an HTML report of the plan and of every\n"
    "                       edit's waveforms (with -n: of what would be built,\n"
    "                       and no other file); a relative FILE lies in the job's\n"
    "                       folder\n"
    "  --checks=off         turn off the edit checks, which flag (and never\n"
    "                       refuse) clicks at hard cuts, level jumps between\n"
    "                       the takes at an edit, and takes whose length\n"
    "                       differs across tracks\n"
    "  --click-db DB        flag a click at a hard cut from a step of DB dBFS\n"
    "                       (default -30)\n"
    "  --match-db DB        flag a level jump of DB dB or more between the\n"
    "                       takes at an edit (default 3)\n"
    "  --                   end of the options; a suffix beginning with \"-\"\n"
    "                       goes after it\n"
    "\n"
    "Exit status: 0 built (after -n: every check passed), 1 refused or failed,\n"
    "2 the command line was not understood.\n";

// Prints `text` on standard output and ends the process: 0 when it reached its reader.
[[noreturn]] static void Answer(const char* text)
{
    bool said = fputs(text, stdout) >= 0;
    exit(fflush(stdout) == 0 && said ? 0 : 1);
}

struct Long_Option {
    const char* name;
    char letter;
    bool takes_value;
};

static const Long_Option LONG_OPTIONS[] = {
    {"help", 'h', false},     {"version", 'V', false}, {"dry-run", 'n', false},
    {"directory", 'C', true}, {"quiet", 'q', false},   {"keep-metadata", 'm', false},
    {"report", 'r', true},  // long form only: 'r' is no short option, nor the letters below
    {"checks", 'k', true},    {"click-db", 'c', true},  {"match-db", 'd', true},
};

// A decibel figure of option `name`: one decimal number, finite, and (`at_least_zero`) not
// below 0.
static double Decibels(const char* name, const char* value, bool at_least_zero)
{
    const char* end = Decimal_End(value);
    double db = end != value && *end == '\0' ? strtod(value, nullptr) : NAN;
    if (!std::isfinite(db) || (at_least_zero && db < 0))
        FAIL_USAGE("%s: option --%s needs a number of decibels%s (\"%s\"); %s\n", PROGRAM_NAME, name,
                   at_least_zero ? ", 0 or more" : "", Show(value).text, SYNOPSIS);
    return db;
}

// True when `name` ends in ".html" or ".htm" (any case): a report can then never take
// the place of a take or a job file, whose names end in ".wav" or ".txt". (An output
// whose suffix ends so is looked for when the report is written.)
static bool Is_Html_Name(const char* name)
{
    size_t length = strlen(name);
    return (length > 5 && strcasecmp(name + length - 5, ".html") == 0) ||
           (length > 4 && strcasecmp(name + length - 4, ".htm") == 0);
}

// Acts on option `letter`; `value` is its argument for -C and --report.
static void Take_Option(char letter, const char* value, Options* options)
{
    switch (letter) {
    case 'h':
        Answer(USAGE);
    case 'V': {
        char line[64];
        snprintf(line, sizeof line, "%s (Tavlin) %s\n", PROGRAM_NAME, VERSION);
        Answer(line);
    }
    case 'n':
        options->dry_run = true;
        break;
    case 'q':
        options->quiet = true;
        break;
    case 'm':
        options->keep_metadata = true;
        break;
    case 'C':
        options->directory = value;  // a later -C replaces an earlier one
        break;
    case 'r':
        if (!Is_Html_Name(value))
            FAIL_USAGE("%s: option --report needs a file name ending in .html (\"%s\"); %s\n", PROGRAM_NAME, Show(value).text,
                       SYNOPSIS);
        options->report = value;  // a later --report replaces an earlier one
        break;
    case 'k':
        if (strcmp(value, "off") != 0 && strcmp(value, "on") != 0)
            FAIL_USAGE("%s: option --checks takes off or on (\"%s\"); %s\n", PROGRAM_NAME, Show(value).text, SYNOPSIS);
        options->checks_off = strcmp(value, "off") == 0;
        break;
    case 'c':
        options->click_db = Decibels("click-db", value, false);
        break;
    case 'd':
        options->match_db = Decibels("match-db", value, true);
        break;
    }
}

// "--name" or "--name=value" at argv[*at]; moves *at past a value given as the next argument.
static void Take_Long_Option(int argc, char** argv, int* at, Options* options)
{
    const char* word = argv[*at] + 2;
    const char* equals = strchr(word, '=');
    size_t length = equals ? (size_t)(equals - word) : strlen(word);
    for (const Long_Option& option : LONG_OPTIONS) {
        if (strlen(option.name) != length || strncmp(option.name, word, length) != 0)
            continue;
        const char* value = nullptr;
        if (option.takes_value) {
            if (equals != nullptr)
                value = equals + 1;
            else if (*at + 1 < argc)
                value = argv[++*at];
            else
                FAIL_USAGE("%s: option --%s needs a value; %s\n", PROGRAM_NAME, option.name, SYNOPSIS);
        } else if (equals != nullptr) {
            FAIL_USAGE("%s: option --%s takes no value; %s\n", PROGRAM_NAME, option.name, SYNOPSIS);
        }
        Take_Option(option.letter, value, options);
        return;
    }
    FAIL_USAGE("%s: unknown option \"%s\"; %s\n", PROGRAM_NAME, Show(argv[*at]).text, SYNOPSIS);
}

// "-abc" (letters bundled) or "-CDIR" / "-C DIR" at argv[*at].
static void Take_Short_Options(int argc, char** argv, int* at, Options* options)
{
    for (const char* c = argv[*at] + 1; *c != '\0'; c++) {
        if (strchr("hVnqm", *c) != nullptr) {
            Take_Option(*c, nullptr, options);
            continue;
        }
        if (*c != 'C') {
            const char letter[2] = {*c, '\0'};
            // The last word may be meant as the suffix ("-mix.wav"): say how to give one.
            char hint[SHOWN_BYTES + 128] = "";
            if (*at == argc - 1)
                snprintf(hint, sizeof hint, "%s: a suffix that begins with \"-\" goes after \"--\": %s -- %s\n",
                         PROGRAM_NAME, PROGRAM_NAME, Show(argv[*at]).text);
            FAIL_USAGE("%s: unknown option \"-%s\"; %s\n%s", PROGRAM_NAME, Show(letter).text, SYNOPSIS, hint);
        }
        if (c[1] != '\0')
            Take_Option('C', c + 1, options);
        else if (*at + 1 < argc)
            Take_Option('C', argv[++*at], options);
        else
            FAIL_USAGE("%s: option -C needs a folder; %s\n", PROGRAM_NAME, SYNOPSIS);
        return;
    }
}

void Parse_Options(int argc, char** argv, Options* options)
{
    memset(options, 0, sizeof *options);
    options->click_db = DEFAULT_CLICK_DB;
    options->match_db = DEFAULT_MATCH_DB;
    int at = 1;
    for (; at < argc; at++) {
        const char* word = argv[at];
        if (strcmp(word, "--") == 0) {
            at++;
            break;
        }
        if (word[0] != '-' || word[1] == '\0')
            break;  // the suffix: every option comes before it
        if (word[1] == '-')
            Take_Long_Option(argc, argv, &at, options);
        else
            Take_Short_Options(argc, argv, &at, options);
    }
    if (argc - at > 1)
        FAIL_USAGE("%s: more than one output suffix (\"%s\", \"%s\"); options go before the suffix; %s\n",
                   PROGRAM_NAME, Show(argv[at]).text, Show(argv[at + 1]).text, SYNOPSIS);
    if (at < argc)
        options->suffix = argv[at];
}

void Enter_Directory(const Job* job)
{
    const char* folder = job->options.directory;
    if (folder != nullptr && chdir(folder) != 0)
        FAIL(">> Cannot enter folder %s (%s), exiting\n", Show(folder).text, strerror(errno));
}
