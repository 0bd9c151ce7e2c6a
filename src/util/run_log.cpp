#include "util/run_log.h"

#include "util/fd_util.h"
#include "util/fixed_paths.h"
#include "util/shared_texts.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

std::array<char, 64> local_time_text()
{
    // asctime's form without its newline, in the C locale's names, formed
    // here: asctime would bring the C library's locale tables along.
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::array<char, 64> text{};
    time_t now = time(nullptr);
    struct tm t;
    if (localtime_r(&now, &t) != nullptr && t.tm_wday >= 0 && t.tm_wday < 7 && t.tm_mon >= 0 && t.tm_mon < 12)
        std::snprintf(text.data(), text.size(), "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days + 3 * t.tm_wday,
                      months + 3 * t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 1900 + t.tm_year);
    return text;
}

void write_run_line(int fd, const char* format, ...)
{
    std::array<char, 3 * 4096> line;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    if (n > 0 && static_cast<size_t>(n) < line.size())
        write_run_log(fd, line.data(), static_cast<size_t>(n));
}

namespace {

// Both threads append lines; a cut moves the whole tail of the file, so no
// line may be written while it runs.
pthread_mutex_t g_run_log_lock = PTHREAD_MUTEX_INITIALIZER;

// The offset just past the first line end at or after from and before end,
// or -1 when there is none.
off_t next_line_start(int fd, off_t from, off_t end)
{
    std::array<char, 1024> buf;
    while (from < end) {
        size_t want = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(buf.size()), end - from));
        ssize_t n = pread_retry(fd, buf.data(), want, from);
        if (n <= 0)
            return -1;
        const void* nl = std::memchr(buf.data(), '\n', static_cast<size_t>(n));
        if (nl != nullptr)
            return from + (static_cast<const char*>(nl) - buf.data()) + 1;
        from += n;
    }
    return -1;
}

// Copies the bytes [from, end) down to to, which is not after from.
bool move_down(int fd, off_t from, off_t to, off_t end)
{
    std::array<char, 4096> buf;
    while (from < end) {
        size_t want = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(buf.size()), end - from));
        ssize_t n = pread_retry(fd, buf.data(), want, from);
        if (n <= 0 || pwrite_all(fd, buf.data(), static_cast<size_t>(n), to) != 0)
            return false;
        from += n;
        to += n;
    }
    return true;
}

} // namespace

off_t cut_run_log(int fd, off_t size)
{
    // The first line is the working directory: at most PATH_TEXT_SIZE - 1
    // characters and its line end.
    off_t head = next_line_start(fd, 0, std::min<off_t>(size, PATH_TEXT_SIZE + 1));
    if (head < 0)
        head = 0;
    std::array<char, 128> marker;
    int m = std::snprintf(marker.data(), marker.size(), DROPPED_LINE_FORMAT,
                          local_time_text().data());
    if (m <= 0 || static_cast<size_t>(m) >= marker.size())
        return -1;
    off_t body = head + m;
    // The kept lines start at a line start at or after this point, so they
    // never overlap the marker and are whole.
    off_t from = std::max(body, size - static_cast<off_t>(RUN_LOG_KEEP));
    off_t tail = next_line_start(fd, from - 1, size);
    if (tail < 0)
        tail = size;
    off_t new_size = body + (size - tail);
    if (pwrite_all(fd, marker.data(), static_cast<size_t>(m), head) != 0 || !move_down(fd, tail, body, size) ||
        ftruncate(fd, new_size) != 0)
        return -1;
    return new_size;
}

namespace {

// Appends at the file's real end, whatever the descriptor's offset: someone
// may have emptied the file (": > NAME.run") since the last line. A line that
// cannot be written whole is taken back, so the next one never joins half a
// line.
int append_line(int fd, const char* buf, size_t len)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    if (static_cast<unsigned long long>(st.st_size) + len > RUN_LOG_LIMIT) {
        cut_run_log(fd, st.st_size);
        if (fstat(fd, &st) != 0)
            return -1;
    }
    if (pwrite_all(fd, buf, len, st.st_size) == 0)
        return 0;
    int ignored = ftruncate(fd, st.st_size);
    (void)ignored;
    return -1;
}

} // namespace

int write_run_log(int fd, const char* buf, size_t len)
{
    if (fd <= 0)
        return -1;
    pthread_mutex_lock(&g_run_log_lock);
    int result = append_line(fd, buf, len);
    pthread_mutex_unlock(&g_run_log_lock);
    return result;
}
