// trace.cpp: stand-in for the maker's trace library. Messages go to syslog (facility daemon), or,
// when KST_TRACE_FILE names a file, are appended there one line each.
//
// Syslog gets the per-call lines (level 0) only while they are switched on (KST_TRACE_CALLS=1 at
// start, or TraceSetCalls): the journal limits how many messages a service may log per interval, and
// two debug lines for every call of a busy server would use that up and push out the errors, besides
// costing the server a quarter of its time per call. A trace file is asked for on purpose and has no
// such limit: it gets every level.
//
// The file is opened at the first message and kept open; start-up's closing of descriptors leaves
// it alone. SIGHUP only asks for it to be opened anew, which the next message does: after
// logrotate has moved the file away, lines go to a fresh file at the configured path.
//
// Trace messages reach syslog through a datagram socket of our own, in syslog(3)'s own line
// format, because syslog(3) costs every call of the server: with nobody at /dev/log it makes a new
// socket and a failed connection for every message, and with a reader that has stopped it blocks.
// Here a refused connection is tried again at most once a second, and a message the reader has no
// room for is dropped. Within a TraceBatch the lines wait, formatted, and go out together in one
// sendmmsg (see trace.h for when). At most kBatchSize wait: a burst no larger than the smallest
// queue a syslog reader gets (10 datagrams by default) is not dropped by a reader that keeps up.
#include "trace/trace.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

std::array<char, 256>  g_ident{};        // identity given to syslog; must outlive openlog
std::array<char, 4096> g_trace_file{};   // empty: syslog
int                    g_trace_fd = -1;  // the open trace file; -1 before the first message or after a failed open
bool                   g_trace_calls = false;  // level 0 goes to syslog too
volatile sig_atomic_t  g_reopen = 0;           // set by SIGHUP: open the trace file anew at the next message

void OnHangup(int) noexcept
{
    g_reopen = 1;
}

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

constexpr char kSyslogSocket[] = "/dev/log";
int            g_syslog_fd = -1;     // connected to kSyslogSocket; -1 when not (yet) connected
time_t         g_syslog_failed = 0;  // when a connection was last refused; no new attempt within that second
pid_t          g_pid = 0;            // this process, as the messages name it; 0 until known

constexpr std::size_t kLineSize = 2400;                       // one syslog line, truncated to fit
constexpr std::size_t kBatchSize = 8;                         // lines held by a TraceBatch before they are sent anyway
std::array<std::array<char, kLineSize>, kBatchSize> g_batch;  // the held lines, oldest first
std::array<std::size_t, kBatchSize>                 g_batch_length{};   // bytes of each held line
std::size_t                                         g_batched = 0;      // lines held
int                                                 g_batch_depth = 0;  // TraceBatch objects alive
timespec                                            g_held_since{};     // when the oldest held line was traced

// "<priority>Mmm dd hh:mm:ss ident[pid]: " as of g_header_time: the same for every message of a second.
std::array<char, 320> g_header{};
std::size_t           g_header_size = 0;
time_t                g_header_time = -1;  // -1: to be made anew
int                   g_header_priority = -1;

// A forked child has its own pid and must not share the socket a parent may go on using.
void AfterFork() noexcept
{
    g_pid = 0;
    g_header_time = -1;
    g_batched = 0;  // the parent sends them
    if (g_syslog_fd >= 0) close(g_syslog_fd);
    g_syslog_fd = -1;
}

// The socket to syslog, connected now if need be; -1 while nobody listens.
int SyslogSocket(time_t now)
{
    if (g_syslog_fd >= 0 || now == g_syslog_failed) return g_syslog_fd;
    g_syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, kSyslogSocket, sizeof kSyslogSocket);
    if (g_syslog_fd >= 0 && connect(g_syslog_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return g_syslog_fd;
    if (g_syslog_fd >= 0) close(g_syslog_fd);
    g_syslog_fd = -1;
    g_syslog_failed = now;
    return -1;
}

// After a send: a full reader costs the message only; a reader gone costs the socket, connected anew next time.
void SentOrDropped(ssize_t sent)
{
    if (sent >= 0 || errno == EAGAIN) return;
    close(g_syslog_fd);
    g_syslog_fd = -1;
}

// Sends the held lines, each its own datagram, in order. A line the reader has no room for is dropped
// and the next one tried, as when each is sent alone.
void SendBatch()
{
    std::size_t next = 0;
    while (next < g_batched) {
        const int fd = SyslogSocket(time(nullptr));
        if (fd < 0) break;
        std::array<iovec, kBatchSize>   parts{};
        std::array<mmsghdr, kBatchSize> headers{};
        unsigned                        count = 0;
        for (std::size_t i = next; i < g_batched; ++i, ++count) {
            parts[count] = {g_batch[i].data(), g_batch_length[i]};
            headers[count].msg_hdr.msg_iov = &parts[count];
            headers[count].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(fd, headers.data(), count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
            continue;
        }
        SentOrDropped(sent);
        ++next;
    }
    g_batched = 0;
}

// Appends text to out at *size, up to limit bytes in all.
void Append(std::array<char, kLineSize> &out, std::size_t *size, std::size_t limit, std::string_view text)
{
    const std::size_t n = text.size() < limit - *size ? text.size() : limit - *size;
    memcpy(out.data() + *size, text.data(), n);
    *size += n;
}

// One message to syslog as syslog(3) would write it: "<priority>Mmm dd hh:mm:ss ident[pid]: [unit]
// function:line text", the part from "[" cut at 2299 bytes and the whole at 2399. Put together by hand
// rather than by printf: this runs for every call the server takes.
void SendToSyslog(int priority, const char *unit, const char *function, int number, const char *text)
{
    const time_t now = time(nullptr);
    const int    fd = SyslogSocket(now);
    if (fd < 0) return;
    if (g_pid == 0) g_pid = getpid();
    if (now != g_header_time || priority != g_header_priority) {
        static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        tm                           local{};
        localtime_r(&now, &local);
        const int n = snprintf(g_header.data(), g_header.size(), "<%d>%s %2d %02d:%02d:%02d %s[%d]: ", priority,
                               kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                               g_ident.data(), g_pid);
        if (n <= 0) return;
        g_header_size =
            static_cast<std::size_t>(n) < g_header.size() ? static_cast<std::size_t>(n) : g_header.size() - 1;
        g_header_time = now;
        g_header_priority = priority;
    }
    std::array<char, kLineSize> &line = g_batch[g_batched];
    std::size_t                  size = 0;
    Append(line, &size, kLineSize - 1, {g_header.data(), g_header_size});
    const std::size_t    limit = size + 2299 < kLineSize - 1 ? size + 2299 : kLineSize - 1;
    std::array<char, 16> digits{};
    const auto           end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
    for (const std::string_view part :
         {std::string_view("["), std::string_view(unit ? unit : "(null)"), std::string_view("] "),
          std::string_view(function ? function : "(null)"), std::string_view(":"),
          std::string_view(digits.data(), end - digits.data()), std::string_view(" "), std::string_view(text)})
        Append(line, &size, limit, part);
    if (g_batch_depth == 0 && g_batched == 0) {
        SentOrDropped(send(fd, line.data(), size, MSG_NOSIGNAL | MSG_DONTWAIT));
        return;
    }
    if (g_batched == 0) clock_gettime(CLOCK_MONOTONIC, &g_held_since);
    g_batch_length[g_batched++] = size;
    if (g_batched == kBatchSize || g_batch_depth == 0) SendBatch();  // outside a batch, after those held
}

// Trace levels 0..3 as syslog priorities: debug, err, crit, notice.
int SyslogPriority(int level)
{
    switch (level) {
    case 0:
        return LOG_DEBUG;
    case 1:
        return LOG_ERR;
    case 2:
        return LOG_CRIT;
    default:
        return LOG_NOTICE;
    }
}

template <std::size_t N> void CopyInto(std::array<char, N> &dst, std::string_view src)
{
    const std::size_t n = src.size() < N ? src.size() : N - 1;
    memcpy(dst.data(), src.data(), n);
    dst[n] = '\0';
}

}  // namespace

void TraceLogInit(int, const char *ident, int, int, int) noexcept
{
    CopyInto(g_ident, ident ? ident : "");
    g_header_time = -1;
    if (const char *path = getenv("KST_TRACE_FILE"); path && *path) {
        CopyInto(g_trace_file, path);
    }
    const char *calls = getenv("KST_TRACE_CALLS");
    g_trace_calls = calls && strcmp(calls, "1") == 0;
    // The start-up checks call syslog without a facility and must land at the default one, user. Passing
    // 0 here would not keep that default: glibc then tags them kern. Trace messages name daemon themselves.
    openlog(g_ident.data(), LOG_PID, LOG_USER);
    pthread_atfork(nullptr, nullptr, AfterFork);
    atexit(SendBatch);  // an exit inside a batch still sends what it holds
    // SIGHUP would otherwise end the process.
    struct sigaction action {};
    action.sa_handler = OnHangup;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}

TraceBatch::TraceBatch(bool hold) noexcept : hold_(hold)
{
    ++g_batch_depth;
}

TraceBatch::~TraceBatch()
{
    if (--g_batch_depth > 0 || g_batched == 0) return;
    if (!hold_) {
        SendBatch();
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long held_ms = (now.tv_sec - g_held_since.tv_sec) * 1000 + (now.tv_nsec - g_held_since.tv_nsec) / 1000000;
    if (held_ms >= kTraceHoldMs) SendBatch();
}

int TraceHeldWaitMs() noexcept
{
    return g_batched == 0 ? -1 : kTraceHoldMs;
}

void TraceSendHeld() noexcept
{
    SendBatch();
}

bool TraceOwnsDescriptor(int fd) noexcept
{
    return fd >= 0 && (fd == g_trace_fd || fd == g_syslog_fd);
}

std::array<int, 2> TraceDescriptors() noexcept
{
    return {g_trace_fd, g_syslog_fd};
}

void TraceSetCalls(bool on) noexcept
{
    g_trace_calls = on;
}

bool TraceCalls() noexcept
{
    return g_trace_calls;
}

namespace {

// Formats one message and sends or writes it. Kept out of TraceLog, so that a per-call line nobody has
// asked for costs its caller the test alone, not the setting up of this 4 KiB frame.
[[gnu::noinline, gnu::format(printf, 5, 0)]] void EmitTrace(int level, const char *unit, const char *function, int line,
                                                            const char *format, va_list ap) noexcept
{
    std::array<char, 2048> text;  // vsnprintf ends it; no need to clear 2 KiB every message
    vsnprintf(text.data(), text.size(), format, ap);
    std::size_t len = strnlen(text.data(), text.size());
    if (len > 0 && text[len - 1] == '\n') text[--len] = '\0';

    if (g_trace_file[0] == '\0') {
        SendToSyslog(LOG_DAEMON | SyslogPriority(level), unit, function, line, text.data());
        return;
    }
    const int fd = TraceFile();
    if (fd < 0) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::array<char, 2300> out{};
    const int              n = snprintf(out.data(), out.size(), "%04d-%02d-%02d %02d:%02d:%02d.%06ld %d %s %s:%d %s\n",
                                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                        local.tm_sec, now.tv_nsec / 1000, level, unit, function, line, text.data());
    if (n > 0) {
        // One write per line so concurrent appends never interleave inside a line.
        const ssize_t unused = write(fd, out.data(), static_cast<std::size_t>(n) < out.size() ? n : out.size() - 1);
        (void)unused;
    }
}

}  // namespace

void TraceLog(int level, const char *unit, const char *function, int line, const char *format, ...) noexcept
{
    if (level == 0 && !g_trace_calls && g_trace_file[0] == '\0') return;  // before any formatting: the common case
    va_list ap;
    va_start(ap, format);
    EmitTrace(level, unit, function, line, format, ap);
    va_end(ap);
}
