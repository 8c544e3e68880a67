// Runs the real program the way a host does: a pseudo-terminal as its
// controlling terminal (raw, so bytes arrive unchanged), standard input and
// output on pipes. Every read has a deadline, so a hung program fails the
// test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/fixtures.h"

struct host_process {
    pid_t pid = -1;
    int master = -1;    // pty master: what the program writes to its terminal
    int slave = -1;     // kept open by the test, for the sync marker
    int to_stdin = -1;  // the program's standard input
    int from_stdout = -1;
    std::string tty;      // terminal bytes not yet taken
    std::string replies;  // standard output not yet taken
    int exit_status = -1;
    bool ignore_hangup = false;           // set before host_start: the child ignores SIGHUP
    int cell_width = 0, cell_height = 0;  // the terminal's cell in pixels; 0: not reported
    // The program's logs go here, never to the real ones that other copies of
    // the program and the user share. Another folder may be set before
    // host_start; `environment` entries ("NAME=value") are added to the child's.
    temp_dir logs;
    std::string log_dir = logs.path;
    std::vector<std::string> environment;
};

// The text of the log called `name` in the program's log folder.
std::string host_log(const host_process& p, const char* name);

// The program's path, set by the build.
std::string program_path();

// Starts the program with `args` in a terminal of `columns` x `rows`; its
// size in pixels is reported when `cell_width` and `cell_height` are set.
bool host_start(host_process* p, const std::vector<std::string>& args, int columns = 80,
                int rows = 24);

// Sends one line (a newline is added).
void host_send(host_process* p, const std::string& line);

// Sends command 4 and waits for its empty reply, then collects every byte the
// program wrote to the terminal before it: true unless the program stalled.
bool host_sync(host_process* p);

// Waits for one reply line (without its newline); false on timeout.
bool host_read_reply(host_process* p, std::string* line);

// Takes and clears the collected terminal bytes.
std::string host_take_tty(host_process* p);

// Changes the terminal size (the program gets SIGWINCH), in pixels too when
// p->cell_width and p->cell_height are set.
void host_resize(host_process* p, int columns, int rows);

// Closes the terminal (master and the test's slave): from now on every write
// the program makes to its terminal fails.
void host_close_terminal(host_process* p);

// Closes standard input, waits for the exit and collects the rest of the
// output. Returns the exit status, or -1 on timeout or a signal.
int host_finish(host_process* p);

// Runs the program to completion with `args`, standard input closed at once,
// in a terminal of the given size. Returns its standard output.
std::string run_one_shot(const std::vector<std::string>& args, int columns = 80, int rows = 24,
                         int* status = nullptr, const std::vector<std::string>& environment = {});

// Runs the program with no controlling terminal at all (a new session, pipes
// only). Returns its standard output.
std::string run_without_terminal(const std::vector<std::string>& args, int* status,
                                 const std::string& log_dir);
