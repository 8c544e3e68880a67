// The control subsystem: the log and the call wrappers that every part of the
// program uses, the terminal geometry, the command-line splitting and the size
// query. Nothing here throws; failure is told by the return value and has
// already been logged when a wrapper returns it.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

struct image;
struct image_table;
struct draw_cache;

// ---- Log ----------------------------------------------------------------

// <syslog.h> defines LOG_DEBUG and friends as macros with other values; an
// include of it here would stop the build instead of relabelling messages.
enum log_level { LOG_DEBUG = 0, LOG_WARN = 1, LOG_ERROR = 2, LOG_FATAL = 3 };
static_assert(LOG_DEBUG == 0 && LOG_WARN == 1 && LOG_ERROR == 2 && LOG_FATAL == 3,
              "the level names are indexed by these values");

// The two logs. The instance log is appended to by every start; the main log
// is truncated when the command loop starts, so it holds the messages of the
// last run that served a host. They live in LOG_DIR_VARIABLE's folder when it
// is set, else in DEFAULT_LOG_DIR, which every user of the machine shares.
constexpr const char* INSTANCE_LOG_NAME = "vorpix-sixel.instance.log";
constexpr const char* MAIN_LOG_NAME = "vorpix-sixel.log";
constexpr const char* DEFAULT_LOG_DIR = "/tmp";
constexpr const char* LOG_DIR_VARIABLE = "VORPIX_SIXEL_LOG_DIR";
// The private folder a log falls back to, under $XDG_RUNTIME_DIR, or else
// under DEFAULT_LOG_DIR with the user's number after a '-'.
constexpr const char* PRIVATE_LOG_DIR_NAME = "vorpix-sixel";

// Writes ">>LEVEL<<\t" and the formatted message to standard error. Formats
// end in "\n" themselves. LOG_DEBUG messages are dropped.
void log_message(log_level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Opens the log file `path` for writing (appended to, or emptied when
// `truncate`) only when it is safe to write there: it never follows a
// symbolic link, never waits (a FIFO is refused at once), and takes only a
// regular file that belongs to the effective user and has a single link, so
// that nobody else can block the program, read what it logs or have it write
// into another file. Creates the file with mode 0600 and takes an existing
// one's rights for others away. -1 when refused.
int open_log_file(const char* path, bool truncate);

// Points standard error at the log called `name` (see open_log_file): in the
// log folder; when that file is refused, in the user's private folder (made
// with mode 0700 when missing, and used only when it is the user's own and
// nobody else's); when that fails too, logs "freopen (stderr to %s) faild\n"
// (unless standard error is a terminal) and points standard error at
// /dev/null: log lines must never land on the host's screen.
void redirect_stderr_to_log(const char* name, bool truncate);

// ---- Call wrappers --------------------------------------------------------
// Each clears errno, makes the call, logs a failure at LOG_ERROR in a fixed
// wording and returns the call's own result unchanged.

int open_or_log(const char* path, int flags);
int close_or_log(int fd);
FILE* fopen_or_log(const char* path, const char* mode);
// Opens a picture file for reading without blocking (a FIFO, a terminal or
// another device would stall the command loop or eat the host's input) and
// refuses anything but a regular file ("couldn't open \"%s\"\n", then
// "fopen: %s\n" or "not a regular file: %s\n"). Null on failure.
FILE* open_picture_or_log(const char* path);
int fclose_or_log(FILE* stream);
void* calloc_or_log(size_t count, size_t size);
int sigaction_or_log(int signum, const struct sigaction* action, struct sigaction* old_action);

// Decimal text to a 32-bit int: strtol with an optional sign and leading
// blanks, text after the digits ignored, null or digit-less text gives 0.
// A value equal to LONG_MAX or LONG_MIN logs "strtol: %s\n" and gives 0;
// anything else is narrowed to its low 32 bits.
int32_t parse_int(const char* text);

// Writes all `length` bytes, going on after partial writes and repeating at
// once on EINTR and EAGAIN. Returns `length` on success; any smaller result
// (-1) means a failure that has been logged ("write: %s\n"); the caller must
// not try to finish the rest.
ssize_t write_all(int fd, const void* data, size_t length);

// ---- Terminal geometry ----------------------------------------------------

struct term_geometry {
    int32_t fd;  // the controlling terminal; -1 (or negative) while none is open
    int32_t width;
    int32_t height;
    int32_t cell_width;
    int32_t cell_height;
    bool terminal_cells;  // cells follow the pixel size the terminal reports (an opt-in)
};

constexpr int32_t CELL_WIDTH = 8;
constexpr int32_t CELL_HEIGHT = 16;
// Used whenever the window size cannot be read: a 160x64 terminal, less one
// row of cells and 7 pixels, like a read one.
constexpr int32_t DEFAULT_TERM_WIDTH = 1280;
constexpr int32_t DEFAULT_TERM_HEIGHT = 1001;

// The only process-wide state: set by sigwinch_handler, tested and cleared by
// the command loop once per line.
extern volatile sig_atomic_t sigwinch_pending;

void sigwinch_handler(int signum);

// Opens the controlling terminal read-write and stores its descriptor in
// `geometry->fd`. False (and the reason logged) when there is none.
bool open_controlling_terminal(term_geometry* geometry);

// Reads the window size: columns x cell width by rows x cell height, less one
// row of cells and 7 pixels, or the default geometry when the size cannot be
// read ("ioctl: TIOCGWINSZ failed"). Cells are 8x16, or with terminal_cells
// the terminal's pixel size divided by its columns and rows when it reports
// one that gives cells of at least a pixel.
void update_geometry(term_geometry* geometry);

// ---- Options ----------------------------------------------------------------

// What a host or a user may turn on. Without them the program behaves exactly
// as a host written for the plain protocol expects.
struct program_options {
    bool show_on_load;    // a load line with a box draws the picture once it is loaded
    bool terminal_cells;  // see term_geometry
};

// Read at start-up before the command line, options separated by blanks.
constexpr const char* OPTIONS_VARIABLE = "VORPIX_SIXEL_OPTIONS";

// Sets the option that `argument` names, if any: true when it named one.
bool parse_option(const char* argument, program_options* options);

// Sets the options named in `text` (words separated by blanks; null is
// empty). Other words are skipped.
void parse_option_list(const char* text, program_options* options);

// ---- Command lines ----------------------------------------------------------

constexpr int LINE_BUFFER_SIZE = 1024;
constexpr int MAX_FIELDS = 128;

// One split command line. Field texts point into the line buffer and live
// until the next line is read; a null pointer is an absent field (only after
// a trailing ';').
struct command_fields {
    int32_t count;
    char* fields[MAX_FIELDS];
};

// Splits `line` (NUL-terminated) in place at ';' into `fields`, which must be
// reset (count 0, all null). Leading non-graphic bytes of a field are
// skipped; fields beyond MAX_FIELDS are dropped.
void split_fields(char* line, command_fields* fields);

// Sets `drawn` to false in every slot (command 6).
void clear_drawn_flags(image_table* table);

// Serves one line that is already in `line` (newline included or not):
// splits it and dispatches it. Replies go to `out`.
void handle_command_line(char* line, command_fields* fields, term_geometry* geometry,
                         image_table* table, draw_cache* cache, const program_options* options,
                         FILE* out);

// ---- Size query ---------------------------------------------------------

// Loads `path` into `slot` (resetting it first) and writes exactly one line to
// `out`: the picture's width and height raised to whole cells, or "0 0". The
// picture stays in the slot.
void report_image_size(const term_geometry* geometry, image* slot, const char* path, FILE* out);
