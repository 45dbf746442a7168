#include "diag/log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace zq {

std::atomic<std::int32_t> log_level{0};

namespace {

// The file of the last switch; atomic like the level, as hosts may create
// instances on several threads.
std::atomic<const char*> active_path{kLogPath};

// The file may lie in a world-writable folder: never follow a link planted
// there, never wait on a FIFO, and only use a regular file that is our own
// and has no second name (a hard link planted there to another of our files).
int open_own_regular_file(const char* path, int flags)
{
    const int fd = ::open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The first integer of the file, as "%d" would read it (leading white space
// skipped, optional sign), saturated to 32 bits instead of overflowing.
bool read_first_int(std::FILE* file, std::int32_t& value)
{
    int c = std::getc(file);
    while (c != EOF && std::isspace(c)) {
        c = std::getc(file);
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getc(file);
    }
    if (c == EOF || !std::isdigit(c)) {
        return false;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::int64_t magnitude = 0;
    for (; c != EOF && std::isdigit(c); c = std::getc(file)) {
        if (magnitude <= kMax + 1) {
            magnitude = magnitude * 10 + (c - '0');
        }
    }
    const std::int64_t v = negative ? -magnitude : magnitude;
    value = static_cast<std::int32_t>(v > kMax ? kMax : (v < kMin ? kMin : v));
    return true;
}

} // namespace

void log_open_switch(const char* path)
{
    active_path.store(path, std::memory_order_relaxed);
    const int fd = open_own_regular_file(path, O_RDONLY);
    if (fd < 0) {
        log_level.store(0, std::memory_order_relaxed);
        return;
    }
    std::FILE* file = ::fdopen(fd, "r");
    if (file == nullptr) {
        ::close(fd);
        log_level.store(0, std::memory_order_relaxed);
        return;
    }
    std::int32_t level = 1;
    read_first_int(file, level);
    std::fclose(file);
    log_level.store(level, std::memory_order_relaxed);
    log_write(0, "### log is active now ### ");
}

void log_write(std::int32_t level, const char* format, ...)
{
    if (level > log_level.load(std::memory_order_relaxed)) {
        return;
    }
    // A file that cannot be opened for appending (or is no longer our own
    // regular file) takes no line; creating an instance goes on regardless.
    const int fd = open_own_regular_file(active_path.load(std::memory_order_relaxed), O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        return;
    }
    std::FILE* file = ::fdopen(fd, "a");
    if (file == nullptr) {
        ::close(fd);
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fclose(file);
}

} // namespace zq
