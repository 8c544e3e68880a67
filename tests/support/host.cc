#include "support/host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "support/fixtures.h"

namespace {

constexpr int TIMEOUT_MS = 30000;
const char SYNC_MARKER[] = "\x1b_vorpix-test-sync\x1b\\";

long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Reads what is available from the terminal and standard output, waiting at
// most `wait_ms`. False once standard output has been closed.
bool pump(host_process* p, int wait_ms) {
    pollfd fds[2] = {
        {p->master,      POLLIN, 0},
        {p->from_stdout, POLLIN, 0}
    };
    if (poll(fds, 2, wait_ms) > 0) {
        char buffer[65536];
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? p->tty : p->replies).append(buffer, static_cast<size_t>(n));
            } else if (i == 1) {
                close(p->from_stdout);
                p->from_stdout = -1;
            }
        }
    }
    return p->from_stdout >= 0;
}

void child_exec(const std::vector<std::string>& args, const std::string& log_dir,
                const std::vector<std::string>& environment = {}, bool ignore_hangup = false) {
    if (ignore_hangup) signal(SIGHUP, SIG_IGN);  // kept across exec
    setenv("VORPIX_SIXEL_LOG_DIR", log_dir.c_str(), 1);
    for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    std::string path = program_path();
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(path.c_str(), argv.data());
    _exit(127);
}

int wait_exit(pid_t pid, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

winsize window_size(const host_process* p, int columns, int rows) {
    return {static_cast<unsigned short>(rows), static_cast<unsigned short>(columns),
            static_cast<unsigned short>(columns * p->cell_width),
            static_cast<unsigned short>(rows * p->cell_height)};
}

}  // namespace

std::string host_log(const host_process& p, const char* name) {
    return read_file(p.log_dir + "/" + name);
}

std::string program_path() {
    return VORPIX_BINARY;
}

bool host_start(host_process* p, const std::vector<std::string>& args, int columns, int rows) {
    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) < 0 || pipe(out_pipe) < 0) return false;
    termios raw;
    cfmakeraw(&raw);
    winsize size = window_size(p, columns, rows);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, &raw, &size);
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        close(in_pipe[0]);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(out_pipe[1]);
        child_exec(args, p->log_dir, p->environment, p->ignore_hangup);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    p->pid = pid;
    p->master = master;
    p->to_stdin = in_pipe[1];
    p->from_stdout = out_pipe[0];
    p->slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    signal(SIGPIPE, SIG_IGN);
    return p->slave >= 0;
}

void host_send(host_process* p, const std::string& line) {
    std::string data = line + "\n";
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(p->to_stdin, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

bool host_read_reply(host_process* p, std::string* line) {
    long deadline = now_ms() + TIMEOUT_MS;
    for (;;) {
        size_t end = p->replies.find('\n');
        if (end != std::string::npos) {
            *line = p->replies.substr(0, end);
            p->replies.erase(0, end + 1);
            return true;
        }
        if (now_ms() > deadline) return false;
        if (!pump(p, 50) && p->replies.find('\n') == std::string::npos) return false;
    }
}

bool host_sync(host_process* p) {
    host_send(p, "4");
    std::string line;
    if (!host_read_reply(p, &line) || !line.empty()) return false;
    // Everything the program wrote to the terminal went in before its reply;
    // a marker written now comes out of the master after all of it.
    if (write(p->slave, SYNC_MARKER, sizeof SYNC_MARKER - 1) < 0) return false;
    long deadline = now_ms() + TIMEOUT_MS;
    for (;;) {
        size_t at = p->tty.find(SYNC_MARKER);
        if (at != std::string::npos) {
            p->tty.erase(at, sizeof SYNC_MARKER - 1);
            return true;
        }
        if (now_ms() > deadline) return false;
        pump(p, 50);
    }
}

std::string host_take_tty(host_process* p) {
    std::string taken;
    taken.swap(p->tty);
    return taken;
}

void host_resize(host_process* p, int columns, int rows) {
    winsize size = window_size(p, columns, rows);
    ioctl(p->master, TIOCSWINSZ, &size);
}

void host_close_terminal(host_process* p) {
    close(p->master);
    close(p->slave);
    p->master = p->slave = -1;
}

int host_finish(host_process* p) {
    if (p->to_stdin >= 0) close(p->to_stdin);
    p->to_stdin = -1;
    long deadline = now_ms() + TIMEOUT_MS;
    while (p->from_stdout >= 0 && now_ms() < deadline) pump(p, 50);
    p->exit_status = wait_exit(p->pid, TIMEOUT_MS);
    // Whatever is still in the terminal.
    char buffer[65536];
    pollfd fd = {p->master, POLLIN, 0};
    while (p->master >= 0 && poll(&fd, 1, 20) > 0) {
        ssize_t n = read(p->master, buffer, sizeof buffer);
        if (n <= 0) break;
        p->tty.append(buffer, static_cast<size_t>(n));
    }
    if (p->master >= 0) close(p->master);
    if (p->slave >= 0) close(p->slave);
    if (p->from_stdout >= 0) close(p->from_stdout);
    p->master = p->slave = p->from_stdout = -1;
    return p->exit_status;
}

std::string run_one_shot(const std::vector<std::string>& args, int columns, int rows, int* status,
                         const std::vector<std::string>& environment) {
    host_process p;
    p.environment = environment;
    if (!host_start(&p, args, columns, rows)) return "<start failed>";
    int result = host_finish(&p);
    if (status) *status = result;
    return p.replies;
}

std::string run_without_terminal(const std::vector<std::string>& args, int* status,
                                 const std::string& log_dir) {
    int out_pipe[2];
    if (pipe(out_pipe) < 0) return "<pipe failed>";
    pid_t pid = fork();
    if (pid == 0) {
        setsid();  // a new session has no controlling terminal
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        child_exec(args, log_dir);
    }
    close(out_pipe[1]);
    std::string output = read_all(out_pipe[0]);
    close(out_pipe[0]);
    *status = wait_exit(pid, TIMEOUT_MS);
    return output;
}
