#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "control/control.h"

namespace {

const char* const LEVEL_NAMES[] = {"DEBUG", "WARN", "ERROR", "FATAL"};

}  // namespace

void log_message(log_level level, const char* format, ...) {
    if (level == LOG_DEBUG) return;
    if (level < LOG_DEBUG || level > LOG_FATAL) level = LOG_ERROR;
    fprintf(stderr, ">>%s<<\t", LEVEL_NAMES[level]);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

int open_log_file(const char* path, bool truncate) {
    // Not truncated at the open: a file that is refused must stay as it was.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                (truncate ? 0 : O_APPEND);
    int fd = open(path, flags, 0600);
    if (fd < 0) return -1;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        status.st_nlink != 1 || (truncate && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    // The log names the user's files: only the user may read it.
    if ((status.st_mode & 077) != 0) fchmod(fd, 0600);
    // Writes to a regular file never wait; the flag only guarded the open.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

namespace {

// The user's private log folder, made when missing: true and its path in
// `folder` only when it is a real folder of the effective user's that
// nobody else may enter.
bool private_log_folder(char* folder, size_t size) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    int length = runtime && runtime[0] == '/'
                     ? snprintf(folder, size, "%s/%s", runtime, PRIVATE_LOG_DIR_NAME)
                     : snprintf(folder, size, "%s/%s-%u", DEFAULT_LOG_DIR, PRIVATE_LOG_DIR_NAME,
                                static_cast<unsigned>(geteuid()));
    if (length < 0 || static_cast<size_t>(length) >= size) return false;
    mkdir(folder, 0700);  // an existing one is checked like a new one
    struct stat status;
    return lstat(folder, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & 077) == 0;
}

int open_log_in(const char* folder, const char* name, bool truncate, char* path, size_t size) {
    int length = snprintf(path, size, "%s/%s", folder, name);
    if (length < 0 || static_cast<size_t>(length) >= size) return -1;
    return open_log_file(path, truncate);
}

}  // namespace

void redirect_stderr_to_log(const char* name, bool truncate) {
    fflush(stderr);
    const char* folder = getenv(LOG_DIR_VARIABLE);
    if (!folder || folder[0] == '\0') folder = DEFAULT_LOG_DIR;
    char path[PATH_MAX];
    char fallback[PATH_MAX];
    int fd = open_log_in(folder, name, truncate, path, sizeof path);
    if (fd < 0 && private_log_folder(fallback, sizeof fallback)) {
        fd = open_log_in(fallback, name, truncate, path, sizeof path);
    }
    if (fd < 0 || (fd != STDERR_FILENO && dup2(fd, STDERR_FILENO) < 0)) {
        if (fd >= 0) close(fd);
        // The inherited standard error is usually the host's terminal.
        if (!isatty(STDERR_FILENO)) {
            log_message(LOG_ERROR, "freopen (stderr to %s/%s) faild\n", folder, name);
        }
        fflush(stderr);
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0 && null_fd != STDERR_FILENO) {
            dup2(null_fd, STDERR_FILENO);
            close(null_fd);
        }
        clearerr(stderr);
        return;
    }
    if (fd != STDERR_FILENO) close(fd);
    clearerr(stderr);
}

int open_or_log(const char* path, int flags) {
    errno = 0;
    int fd = open(path, flags);
    if (fd < 0) {
        int saved = errno;
        log_message(LOG_ERROR, "couldn't open \"%s\"\n", path);
        log_message(LOG_ERROR, "open: %s\n", strerror(saved));
    }
    return fd;
}

int close_or_log(int fd) {
    errno = 0;
    int result = close(fd);
    if (result < 0) log_message(LOG_ERROR, "close: %s\n", strerror(errno));
    return result;
}

FILE* fopen_or_log(const char* path, const char* mode) {
    errno = 0;
    FILE* stream = fopen(path, mode);
    if (!stream) {
        int saved = errno;
        log_message(LOG_ERROR, "couldn't open \"%s\"\n", path);
        log_message(LOG_ERROR, "fopen: %s\n", strerror(saved));
    }
    return stream;
}

FILE* open_picture_or_log(const char* path) {
    errno = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat status;
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(fd);
        log_message(LOG_ERROR, "couldn't open \"%s\"\n", path);
        log_message(LOG_ERROR, "not a regular file: %s\n", path);
        return nullptr;
    }
    FILE* stream = nullptr;
    if (fd >= 0) {
        // Reads of a regular file never wait; the flag only guarded the open.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        stream = fdopen(fd, "r");
    }
    if (!stream) {
        int saved = errno;
        if (fd >= 0) close(fd);
        log_message(LOG_ERROR, "couldn't open \"%s\"\n", path);
        log_message(LOG_ERROR, "fopen: %s\n", strerror(saved));
    }
    return stream;
}

int fclose_or_log(FILE* stream) {
    errno = 0;
    int result = fclose(stream);
    if (result < 0) log_message(LOG_ERROR, "fclose: %s\n", strerror(errno));
    return result;
}

void* calloc_or_log(size_t count, size_t size) {
    errno = 0;
    void* block = calloc(count, size);
    if (!block) log_message(LOG_ERROR, "calloc: %s\n", strerror(errno));
    return block;
}

int sigaction_or_log(int signum, const struct sigaction* action, struct sigaction* old_action) {
    errno = 0;
    int result = sigaction(signum, action, old_action);
    if (result < 0) log_message(LOG_ERROR, "sigaction: %s\n", strerror(errno));
    return result;
}

int32_t parse_int(const char* text) {
    if (!text) return 0;
    errno = 0;
    long value = strtol(text, nullptr, 10);
    // Both ends of the range count as overflow, even when errno says nothing:
    // a host never sends such a number on purpose.
    if (value == LONG_MAX || value == LONG_MIN) {
        log_message(LOG_ERROR, "strtol: %s\n", strerror(errno));
        return 0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

ssize_t write_all(int fd, const void* data, size_t length) {
    const char* next = static_cast<const char*>(data);
    size_t remaining = length;
    for (;;) {
        errno = 0;
        ssize_t written = write(fd, next, remaining);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            log_message(LOG_ERROR, "write: %s\n", strerror(errno));
            return -1;
        }
        remaining -= static_cast<size_t>(written);
        if (remaining == 0) return static_cast<ssize_t>(length);
        next += written;
    }
}
