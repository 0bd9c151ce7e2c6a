#include "util/shell_command.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_plain_name_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '+' || c == '-';
}

bool needs_quoting(const char* name)
{
    for (const char* p = name; *p != '\0'; ++p)
        if (!is_plain_name_char(*p))
            return true;
    return false;
}

// Appends text to buf at *pos; false when it does not fit with a terminator.
bool append(char* buf, size_t size, size_t* pos, const char* text, size_t len)
{
    if (*pos + len >= size)
        return false;
    std::memcpy(buf + *pos, text, len);
    *pos += len;
    buf[*pos] = '\0';
    return true;
}

} // namespace

int format_kill_command(const char* name, char* buf, size_t size)
{
    static const char prefix[] = "killall -9 ";
    static const char suffix[] = " >/dev/null 2>&1";
    if (size == 0)
        return -1;
    buf[0] = '\0';
    if (!needs_quoting(name)) {
        int n = std::snprintf(buf, size, "killall -9 %s >/dev/null 2>&1", name);
        return n >= 0 && static_cast<size_t>(n) < size ? 0 : -1;
    }
    size_t pos = 0;
    bool ok = append(buf, size, &pos, prefix, sizeof prefix - 1) && append(buf, size, &pos, "'", 1);
    for (const char* p = name; ok && *p != '\0'; ++p) {
        if (*p == '\'')
            ok = append(buf, size, &pos, "'\\''", 4);
        else
            ok = append(buf, size, &pos, p, 1);
    }
    ok = ok && append(buf, size, &pos, "'", 1) && append(buf, size, &pos, suffix, sizeof suffix - 1);
    if (!ok) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

void run_kill_command(const char* name)
{
    std::array<char, 8192> cmd;
    if (format_kill_command(name, cmd.data(), cmd.size()) != 0)
        return;
    int ignored = std::system(cmd.data());
    (void)ignored;
}
