// admissiond: rations how many chunk transfers run at once, and how many of
// them one device may hold. Each transfer asks over a Unix stream socket and,
// once admitted, holds its place until it closes the connection. It runs in the foreground under any supervisor
// (systemd, runit, a shell); "admissiond --status SOCKET" asks a running one
// for its counters.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "admission_protocol.h"

namespace {

constexpr const char *log_ident = "admissiond";

// The request words and sizes are admission_protocol.h's; the fields of an
// ADMIT that this daemon does not know are ignored.
constexpr std::string_view admit_verb = admission_admit;

constexpr long default_idle_timeout = 10;
constexpr mode_t default_mode = 0666;
// A "RETRY 0" reply would let the client run, so the retry time is at least 1;
// clients read it as a signed 32-bit number.
constexpr long max_retry = INT32_MAX;
constexpr long max_limit = INT32_MAX;
constexpr long max_idle_timeout = 86400;

// Misbehaving clients could otherwise flood the log.
constexpr int complaints_per_second = 10;
constexpr int max_events = 64;
constexpr size_t discard_size = 4096;
constexpr int exit_usage = 2;
// How long --status waits for a daemon that accepts but does not answer.
constexpr int status_timeout_s = 5;

static_assert(admission_request_max < discard_size);
static_assert(admit_verb.size() + 1 < admission_request_max);

struct options {
    const char *socket_path = nullptr;
    long limit = -1;
    long device_limit = -1;  // -1: half the limit, rounded up
    long retry = -1;
    long idle_timeout = default_idle_timeout;
    mode_t mode = default_mode;
    bool log_stderr = false;
    const char *status_path = nullptr;  // --status: ask that daemon, then exit
};

// Indexed by descriptor. A connection first waits for its request, with an
// idle deadline, then either ends or holds a slot as admitted.
struct client {
    bool open = false;
    bool admitted = false;
    uint64_t serial = 0;  // tells a reused descriptor from the one a deadline names
    std::string device;   // of an admitted transfer; empty when the request named none
};

struct idle_deadline {
    int fd;
    uint64_t serial;
    int64_t at_ms;
};

struct counters {
    long running = 0;
    long peak = 0;
    unsigned long long admitted = 0;
    unsigned long long denied = 0;
};

volatile sig_atomic_t quit_signal = 0;

options opt;
bool started = false;
int listen_fd = -1;
int epoll_fd = -1;
dev_t socket_dev = 0;
ino_t socket_ino = 0;
std::vector<client> clients;
std::unordered_map<std::string, long> held_by_device;  // devices holding a slot, and how many
std::deque<idle_deadline> deadlines;                   // in order of expiry: all timeouts are equal
uint64_t next_serial = 0;
int spare_fd = -1;  // given up to accept and drop a client when out of descriptors
counters stats;

void on_quit(int sig);
bool parse_options(int argc, char **argv);
int print_status(const char *path);
void raise_fd_limit();
bool open_listener();
bool clear_stale_socket(const sockaddr_un &addr);
void remove_socket();
bool serve(const sigset_t &wait_mask);
void accept_clients();
void drop_pending_client();
void add_client(int fd);
void on_client_event(int fd);
void handle_request(int fd, std::string_view request);
void admit_or_deny(int fd, std::string_view request);
bool send_reply(int fd, std::string_view reply);
void close_client(int fd);
void expire_idle(int64_t now);
int wait_timeout(int64_t now);
int64_t now_ms();
std::string printable(std::string_view bytes);
void log_line(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void complain(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void usage(FILE *out, int status);

}  // namespace

int main(int argc, char **argv)
{
    if (!parse_options(argc, argv))
        usage(stderr, exit_usage);
    if (opt.status_path)
        return print_status(opt.status_path);
    if (!opt.log_stderr)
        openlog(log_ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);

    raise_fd_limit();

    // The quit signals stay blocked except inside epoll_pwait, so one arriving
    // between the flag test and the wait cannot be missed.
    struct sigaction sa {};
    sa.sa_handler = on_quit;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    sigset_t quit_set, wait_mask;
    sigemptyset(&quit_set);
    sigaddset(&quit_set, SIGTERM);
    sigaddset(&quit_set, SIGINT);
    sigprocmask(SIG_BLOCK, &quit_set, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    if (!open_listener())
        return 1;
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        log_line(LOG_ERR, "epoll_create1: %s", strerror(errno));
        remove_socket();
        return 1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd;
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &ev) < 0 || spare_fd < 0) {
        log_line(LOG_ERR, "setting up: %s", strerror(errno));
        remove_socket();
        return 1;
    }

    started = true;
    log_line(LOG_NOTICE, "started on %s: limit %ld, retry %ld s, idle timeout %ld s, %ld per device", opt.socket_path,
             opt.limit, opt.retry, opt.idle_timeout, opt.device_limit);
    bool ok = serve(wait_mask);

    for (size_t fd = 0; fd < clients.size(); ++fd)
        if (clients[fd].open)
            close(static_cast<int>(fd));
    close(listen_fd);
    remove_socket();
    log_line(LOG_NOTICE, "%s: running=%ld peak=%ld admitted=%llu denied=%llu",
             ok ? "terminated" : "stopped after an error", stats.running, stats.peak, stats.admitted, stats.denied);
    return ok ? 0 : 1;
}

namespace {

void on_quit(int sig)
{
    quit_signal = sig;
}

bool parse_number(const char *text, int base, long min, long max, long &out)
{
    std::string_view s(text);
    long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool parse_options(int argc, char **argv)
{
    static constexpr option longopts[] = {
        {"socket", required_argument, nullptr, 's'},
        {"limit", required_argument, nullptr, 'l'},
        {"device-limit", required_argument, nullptr, 'd'},
        {"retry", required_argument, nullptr, 'r'},
        {"mode", required_argument, nullptr, 'm'},
        {"idle-timeout", required_argument, nullptr, 'i'},
        {"log", required_argument, nullptr, 'L'},
        {"status", required_argument, nullptr, 'S'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    long mode = default_mode;
    int ch;
    while ((ch = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        bool ok = true;
        switch (ch) {
        case 's':
            opt.socket_path = optarg;
            break;
        case 'l':
            ok = parse_number(optarg, 10, 0, max_limit, opt.limit);
            break;
        case 'd':
            ok = parse_number(optarg, 10, 1, max_limit, opt.device_limit);
            break;
        case 'r':
            ok = parse_number(optarg, 10, 1, max_retry, opt.retry);
            break;
        case 'm':
            ok = parse_number(optarg, 8, 0, 0777, mode);
            break;
        case 'i':
            ok = parse_number(optarg, 10, 1, max_idle_timeout, opt.idle_timeout);
            break;
        case 'L':
            ok = std::string_view(optarg) == "stderr" || std::string_view(optarg) == "syslog";
            opt.log_stderr = std::string_view(optarg) == "stderr";
            break;
        case 'S':
            opt.status_path = optarg;
            break;
        case 'h':
            usage(stdout, 0);
        case 'V':
            printf("%s %s\n", log_ident, ORVANE_VERSION);
            exit(0);
        default:
            return false;
        }
        if (!ok) {
            fprintf(stderr, "%s: invalid value \"%s\"\n", log_ident, optarg);
            return false;
        }
    }
    if (optind != argc)
        return false;
    if (opt.status_path) {  // a query takes no server settings
        if (opt.socket_path || opt.limit >= 0 || opt.retry >= 0 || opt.device_limit >= 0)
            return false;
        opt.socket_path = opt.status_path;
    } else if (!opt.socket_path || opt.limit < 0 || opt.retry < 0) {
        return false;
    } else if (opt.device_limit < 0) {
        // One device alone still gets half the transfers, and whatever it
        // does, the other half stays for the rest.
        opt.device_limit = opt.limit / 2 + opt.limit % 2;
    }
    size_t len = strlen(opt.socket_path);
    if (len == 0 || len >= sizeof(sockaddr_un::sun_path)) {
        fprintf(stderr, "%s: socket path must be 1 to %zu bytes long\n", log_ident, sizeof(sockaddr_un::sun_path) - 1);
        return false;
    }
    opt.mode = static_cast<mode_t>(mode);
    return true;
}

// Sends STATUS to the daemon at path and prints its one-line answer, so that
// the counters need no other tool. Exit status 1 when it cannot be asked.
int print_status(const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "%s: socket: %s\n", log_ident, strerror(errno));
        return 1;
    }
    timeval tv{status_timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    constexpr std::string_view request = admission_status;
    std::string reply;
    const char *failed = nullptr;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        failed = "connect";
    } else if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        failed = "send";
    } else {
        char buf[256];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                reply.append(buf, static_cast<size_t>(n));
        if (n < 0)
            failed = "read";
    }
    int err = errno;
    close(fd);
    if (failed) {
        fprintf(stderr, "%s: %s %s: %s\n", log_ident, failed, path, strerror(err));
        return 1;
    }
    if (!reply.starts_with("running=") || !reply.ends_with('\n')) {
        fprintf(stderr, "%s: unexpected answer from %s: \"%s\"\n", log_ident, path, printable(reply).c_str());
        return 1;
    }
    fputs(reply.c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

// Every held slot is an open descriptor, so take all the descriptors allowed.
void raise_fd_limit()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &rl) < 0)
            log_line(LOG_WARNING, "could not raise the descriptor limit: %s", strerror(errno));
    }
}

bool open_listener()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, opt.socket_path, strlen(opt.socket_path) + 1);
    if (!clear_stale_socket(addr))
        return false;

    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
        log_line(LOG_ERR, "socket: %s", strerror(errno));
        return false;
    }
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        log_line(LOG_ERR, "bind %s: %s", opt.socket_path, strerror(errno));
        close(listen_fd);
        return false;
    }
    // Nobody can connect before listen(), so the mode is right before anyone can.
    struct stat st;
    if (stat(opt.socket_path, &st) < 0 || chmod(opt.socket_path, opt.mode) < 0 || listen(listen_fd, SOMAXCONN) < 0) {
        log_line(LOG_ERR, "setting up %s: %s", opt.socket_path, strerror(errno));
        close(listen_fd);
        unlink(opt.socket_path);
        return false;
    }
    socket_dev = st.st_dev;
    socket_ino = st.st_ino;
    return true;
}

// A socket file nobody answers on is left over from a server that died; one
// that answers belongs to a running server, and anything else is not ours.
bool clear_stale_socket(const sockaddr_un &addr)
{
    struct stat st;
    if (lstat(opt.socket_path, &st) < 0) {
        if (errno == ENOENT)
            return true;
        log_line(LOG_ERR, "%s: %s", opt.socket_path, strerror(errno));
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        log_line(LOG_ERR, "%s exists and is not a socket; not replacing it", opt.socket_path);
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        log_line(LOG_ERR, "socket: %s", strerror(errno));
        return false;
    }
    int rc = connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    int err = errno;
    close(probe);
    if (rc == 0 || err == EAGAIN) {  // EAGAIN: a live server with a full backlog
        log_line(LOG_ERR, "%s is in use by a running server", opt.socket_path);
        return false;
    }
    if (err != ECONNREFUSED) {
        log_line(LOG_ERR, "cannot tell whether %s is in use: %s", opt.socket_path, strerror(err));
        return false;
    }
    if (unlink(opt.socket_path) < 0 && errno != ENOENT) {
        log_line(LOG_ERR, "removing stale socket %s: %s", opt.socket_path, strerror(errno));
        return false;
    }
    log_line(LOG_NOTICE, "removed stale socket %s", opt.socket_path);
    return true;
}

// Only our own socket file: another server may have taken the path since.
void remove_socket()
{
    struct stat st;
    if (lstat(opt.socket_path, &st) == 0 && st.st_dev == socket_dev && st.st_ino == socket_ino)
        unlink(opt.socket_path);
}

bool serve(const sigset_t &wait_mask)
{
    epoll_event events[max_events];
    while (!quit_signal) {
        int64_t now = now_ms();
        expire_idle(now);
        int n = epoll_pwait(epoll_fd, events, max_events, wait_timeout(now), &wait_mask);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log_line(LOG_ERR, "epoll_pwait: %s", strerror(errno));
            return false;
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listen_fd)
                accept_clients();
            else
                on_client_event(events[i].data.fd);
        }
    }
    return true;
}

void accept_clients()
{
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            add_client(fd);
            continue;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
            continue;
        case EAGAIN:
            return;
        case EMFILE:
        case ENFILE:
            drop_pending_client();
            return;
        default:
            complain(LOG_ERR, "accept: %s", strerror(errno));
            return;
        }
    }
}

// A pending connection left in the queue would keep the listener readable and
// the loop spinning, so the spare descriptor makes room to take and drop it;
// the client sees the connection closed without an answer.
void drop_pending_client()
{
    complain(LOG_ERR, "accept: %s; dropping a client", strerror(errno));
    close(spare_fd);
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        close(fd);
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void add_client(int fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        complain(LOG_ERR, "epoll_ctl: %s", strerror(errno));
        close(fd);
        return;
    }
    if (static_cast<size_t>(fd) >= clients.size())
        clients.resize(static_cast<size_t>(fd) + 1);
    clients[fd] = client{true, false, ++next_serial, {}};
    deadlines.push_back({fd, next_serial, now_ms() + opt.idle_timeout * 1000});
}

// Decides by what read() returns, never by the event flags: a stale event for a
// descriptor closed and reused within one batch then only meets EAGAIN.
void on_client_event(int fd)
{
    if (static_cast<size_t>(fd) >= clients.size() || !clients[fd].open)
        return;
    char buf[discard_size];
    size_t want = clients[fd].admitted ? sizeof buf : admission_request_max + 1;
    ssize_t n = read(fd, buf, want);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        if (!clients[fd].admitted)
            complain(LOG_INFO, "read from a client: %s", strerror(errno));
        close_client(fd);
    } else if (n == 0) {
        if (!clients[fd].admitted)
            complain(LOG_INFO, "a client closed without sending a request");
        close_client(fd);
    } else if (!clients[fd].admitted) {  // what an admitted client sends is ignored
        handle_request(fd, std::string_view(buf, static_cast<size_t>(n)));
    }
}

void handle_request(int fd, std::string_view request)
{
    if (request.size() > admission_request_max) {
        complain(LOG_WARNING, "refused a request of more than %zu bytes: \"%s\"...", admission_request_max,
                 printable(request.substr(0, 32)).c_str());
        close_client(fd);
    } else if (request.starts_with(admit_verb) &&
               request.substr(admit_verb.size()).starts_with(admission_word_separator)) {
        admit_or_deny(fd, request.substr(admit_verb.size() + 1));
    } else if (request.substr(0, request.size() - request.ends_with('\n')) == admission_status) {
        // (one line feed allowed, for admins' nc)
        char line[128];
        int len = snprintf(line, sizeof line, "running=%ld peak=%ld admitted=%llu denied=%llu\n", stats.running,
                           stats.peak, stats.admitted, stats.denied);
        send_reply(fd, std::string_view(line, static_cast<size_t>(len)));
        close_client(fd);
    } else {
        complain(LOG_WARNING, "refused an unknown request: \"%s\"", printable(request).c_str());
        close_client(fd);
    }
}

// The device id among the fields after the context; empty when none.
std::string_view device_of(std::string_view fields)
{
    while (!fields.empty()) {
        const size_t end = fields.find(admission_field_separator);
        const std::string_view field = fields.substr(0, end);
        if (field.starts_with(admission_device_field))
            return field.substr(admission_device_field.size());
        fields = end == std::string_view::npos ? std::string_view() : fields.substr(end + 1);
    }
    return {};
}

// request: what follows the verb and its space, the context and any fields.
void admit_or_deny(int fd, std::string_view request)
{
    const size_t separator = request.find(admission_field_separator);
    const std::string_view context = request.substr(0, separator);
    const std::string_view device =
        separator == std::string_view::npos ? std::string_view() : device_of(request.substr(separator + 1));
    const auto held = device.empty() ? held_by_device.end() : held_by_device.find(std::string(device));
    const long device_holds = held == held_by_device.end() ? 0 : held->second;
    if (stats.running < opt.limit && device_holds < opt.device_limit) {
        client &c = clients[fd];
        c.admitted = true;
        c.device = device;
        if (!device.empty())
            ++held_by_device[c.device];
        ++stats.admitted;
        if (++stats.running > stats.peak)
            stats.peak = stats.running;
        log_line(LOG_DEBUG, "admitted %s device \"%s\" (%ld running, %ld of the device's)", printable(context).c_str(),
                 printable(device).c_str(), stats.running, device_holds + 1);
        if (!send_reply(fd, admission_proceed))
            close_client(fd);
        return;
    }
    ++stats.denied;
    log_line(LOG_DEBUG, "deferred %s device \"%s\" (%ld running, %ld of the device's)", printable(context).c_str(),
             printable(device).c_str(), stats.running, device_holds);
    char reply[32];
    int len = snprintf(reply, sizeof reply, "%s%c%ld", admission_retry, admission_word_separator, opt.retry);
    send_reply(fd, std::string_view(reply, static_cast<size_t>(len)));
    close_client(fd);
}

// Replies are far smaller than a fresh socket's buffer, so a short send means
// the client is gone or misbehaving.
bool send_reply(int fd, std::string_view reply)
{
    ssize_t n;
    do
        n = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(reply.size()))
        return true;
    complain(LOG_INFO, "could not answer a client: %s", n < 0 ? strerror(errno) : "short send");
    return false;
}

void close_client(int fd)
{
    client &c = clients[fd];
    if (c.admitted) {
        --stats.running;
        if (!c.device.empty()) {
            auto held = held_by_device.find(c.device);
            if (held != held_by_device.end() && --held->second <= 0)
                held_by_device.erase(held);
        }
    }
    c.open = false;
    c.admitted = false;
    c.device.clear();
    close(fd);
}

void expire_idle(int64_t now)
{
    while (!deadlines.empty() && deadlines.front().at_ms <= now) {
        idle_deadline d = deadlines.front();
        deadlines.pop_front();
        const client &c = clients[d.fd];
        if (c.open && !c.admitted && c.serial == d.serial) {
            complain(LOG_INFO, "closed a connection that sent no request within %ld s", opt.idle_timeout);
            close_client(d.fd);
        }
    }
}

int wait_timeout(int64_t now)
{
    if (deadlines.empty())
        return -1;
    int64_t until = deadlines.front().at_ms;
    return static_cast<int>(until > now ? until - now : 0);
}

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Client bytes for a log line: printable ASCII as it is, the rest escaped.
std::string printable(std::string_view bytes)
{
    constexpr size_t max_shown = 64;
    std::string out;
    for (unsigned char c : bytes.substr(0, max_shown)) {
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    if (bytes.size() > max_shown)
        out += "...";
    return out;
}

void vlog_line(int prio, const char *fmt, va_list ap)
{
    // Until the server runs, errors also go to stderr for whoever started it.
    if (opt.log_stderr || !started) {
        va_list copy;
        va_copy(copy, ap);
        fprintf(stderr, "%s: ", log_ident);
        vfprintf(stderr, fmt, copy);
        fputc('\n', stderr);
        va_end(copy);
    }
    if (!opt.log_stderr)
        vsyslog(prio, fmt, ap);
}

void log_line(int prio, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog_line(prio, fmt, ap);
    va_end(ap);
}

// Client trouble is logged at most complaints_per_second times a second; the
// number left out is reported with the next one that gets through.
void complain(int prio, const char *fmt, ...)
{
    static int64_t window = 0;
    static int count = 0;
    static long suppressed = 0;
    int64_t second = now_ms() / 1000;
    if (second != window) {
        window = second;
        count = 0;
    }
    if (++count > complaints_per_second) {
        ++suppressed;
        return;
    }
    if (suppressed > 0) {
        log_line(LOG_WARNING, "%ld similar messages suppressed", suppressed);
        suppressed = 0;
    }
    va_list ap;
    va_start(ap, fmt);
    vlog_line(prio, fmt, ap);
    va_end(ap);
}

[[noreturn]] void usage(FILE *out, int status)
{
    fprintf(out,
            "usage: %s --socket PATH --limit N --retry SECONDS [--device-limit N]\n"
            "       [--mode OCTAL] [--idle-timeout SECONDS] [--log syslog|stderr]\n"
            "       %s --status PATH\n"
            "       %s --help | --version\n",
            log_ident, log_ident, log_ident);
    if (out == stdout)
        fputs("\n"
              "Serves admission requests of chunk transfers on the Unix socket PATH,\n"
              "admitting at most N at once and telling the others to retry after\n"
              "SECONDS. Runs in the foreground until SIGTERM or SIGINT.\n"
              "  --device-limit N        at most N of them for one device, when the\n"
              "                          request names it (default: half the limit,\n"
              "                          rounded up)\n"
              "  --mode OCTAL            the socket file's mode (default 0666)\n"
              "  --idle-timeout SECONDS  close connections silent that long (default 10)\n"
              "  --log syslog|stderr     where it logs (default syslog, facility daemon)\n"
              "  --status PATH           print the counters of the daemon on PATH:\n"
              "                          running=N peak=N admitted=N denied=N\n",
              out);
    exit(status);
}

}  // namespace
