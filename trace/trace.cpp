// trace.cpp: stand-in for the maker's trace library. Messages go to syslog (facility daemon), or,
// when KST_TRACE_FILE names a file, are appended there one line each.
//
// The file is opened at the first message and kept open; start-up's closing of descriptors leaves
// it alone. SIGHUP only asks for it to be opened anew, which the next message does: after
// logrotate has moved the file away, lines go to a fresh file at the configured path.
#include "trace/trace.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>


namespace {

std::array<char, 256> g_ident{};        // identity given to syslog; must outlive openlog
std::array<char, 4096> g_trace_file{};  // empty: syslog
int g_trace_fd = -1;                    // the open trace file; -1 before the first message or after a failed open
volatile sig_atomic_t g_reopen = 0;     // set by SIGHUP: open the trace file anew at the next message

void OnHangup(int) noexcept { g_reopen = 1; }

// The trace file as the next line should go to it; -1 when it can't be opened (tried again next time).
int TraceFile()
{
    if (g_reopen) {
        g_reopen = 0;
        if (g_trace_fd >= 0) close(g_trace_fd);
        g_trace_fd = -1;
    }
    if (g_trace_fd < 0) g_trace_fd = open(g_trace_file.data(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return g_trace_fd;
}

// Trace levels 0..3 as syslog priorities: debug, err, crit, notice.
int SyslogPriority(int level)
{
    switch (level) {
    case 0: return LOG_DEBUG;
    case 1: return LOG_ERR;
    case 2: return LOG_CRIT;
    default: return LOG_NOTICE;
    }
}

template <std::size_t N>
void CopyInto(std::array<char, N> &dst, std::string_view src)
{
    const std::size_t n = src.size() < N ? src.size() : N - 1;
    memcpy(dst.data(), src.data(), n);
    dst[n] = '\0';
}

}  // namespace

void TraceLogInit(int, const char *ident, int, int, int) noexcept
{
    CopyInto(g_ident, ident ? ident : "");
    if (const char *path = getenv("KST_TRACE_FILE"); path && *path) {
        CopyInto(g_trace_file, path);
    }
    // The start-up checks call syslog without a facility and must land at the default one, user. Passing
    // 0 here would not keep that default: glibc then tags them kern. Trace messages name daemon themselves.
    openlog(g_ident.data(), LOG_PID, LOG_USER);
    // SIGHUP would otherwise end the process.
    struct sigaction action{};
    action.sa_handler = OnHangup;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}

int TraceFileDescriptor() noexcept { return g_trace_fd; }

void TraceLog(int level, const char *unit, const char *function, int line, const char *format, ...) noexcept
{
    std::array<char, 2048> text{};
    va_list ap;
    va_start(ap, format);
    vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    std::size_t len = strnlen(text.data(), text.size());
    if (len > 0 && text[len - 1] == '\n') text[--len] = '\0';

    if (g_trace_file[0] == '\0') {
        syslog(LOG_DAEMON | SyslogPriority(level), "[%s] %s:%d %s", unit, function, line, text.data());
        return;
    }
    const int fd = TraceFile();
    if (fd < 0) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::array<char, 2300> out{};
    const int n = snprintf(out.data(), out.size(), "%04d-%02d-%02d %02d:%02d:%02d.%06ld %d %s %s:%d %s\n",
                           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, now.tv_nsec / 1000, level, unit, function, line, text.data());
    if (n > 0) {
        // One write per line so concurrent appends never interleave inside a line.
        const ssize_t unused = write(fd, out.data(), static_cast<std::size_t>(n) < out.size() ? n : out.size() - 1);
        (void)unused;
    }
}
