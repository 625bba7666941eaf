// diskrelay: CGI program that moves one chunk of a disk-image file between
// the file and the web server, once the admission control server agrees.
// The web server's configuration hands it the whole request description in
// environment variables; every failure leaves through xfer_error.

#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "admission_protocol.h"

extern char **environ;

namespace {

constexpr std::size_t block_size = 1 << 20;  // data moves in blocks of this size
// stdio copies through a stream's buffer whenever the buffer has room; one
// much smaller than a block keeps whole blocks on the direct read and write
// path, and a short range reads little more than itself.
constexpr std::size_t stream_buf_size = 64 << 10;
// sendfile moves at most this much per call (Linux's limit for every
// read and write).
constexpr int64_t sendfile_max = 0x7ffff000;
constexpr const char *log_ident = "diskrelay:";
constexpr const char *absent_field = "-";  // timing line, variable unset

static_assert(sizeof(off_t) == 8, "disk images need 64-bit file offsets");

// Transfer error codes, sent back in "OVRA-Error-Code".
constexpr int err_transfer = 101;
constexpr int err_range_unsatisfiable = 103;
constexpr int err_offset = 107;
constexpr int err_open = 108;
constexpr int err_device_id = 118;
constexpr int err_admission_deferred = 120;
constexpr int err_admission = 121;

// Static rather than allocated: nothing to fail, and pages a run never
// touches cost no memory. Page-aligned, since the kernel copies whole pages
// to and from them. Only one transfer function runs per process.
alignas(4096) char read_buf[block_size];
alignas(4096) char stdout_buf[stream_buf_size];
alignas(4096) char stdin_buf[stream_buf_size];
alignas(4096) char file_buf[stream_buf_size];

// What the fatal path needs to know about the answer in progress.
struct answer_state {
    bool headers_sent;    // a header block is out; a second one would land in the body
    bool body_pending;    // POST whose request body has not been read to its end
    int64_t body_length;  // CONTENT_LENGTH when it is a decimal number, else -1
    int64_t body_read;    // request body bytes taken from standard input so far
    int64_t body_room;    // bytes the upload may write from its start, or -1: no bound
    bool body_exact;      // the body must fill body_room, no less
    int admission_fd;     // the admission connection while it holds a slot, or -1
};
answer_state answer = {false, false, -1, 0, -1, false, -1};

// ---- output channels: header block, syslog, fatal path -------------------

__attribute__((format(printf, 2, 3))) void log_msg(int level, const char *format, ...)
{
    int saved_errno = errno;  // xfer_error reports the errno of the failure, not of syslog
    va_list args;
    va_start(args, format);
    vsyslog(LOG_USER | level, format, args);
    va_end(args);
    errno = saved_errno;
}

// Request text for a log line, the admission daemon's way: printable ASCII
// stays as it is, but for the space, '\\' and '"', and every other byte
// becomes \xHH, so that no client starts a line or a key=value field of its
// own or sends raw bytes to the log. At most log_value_max bytes are shown,
// then "...".
constexpr std::size_t log_value_max = 255;
struct log_value {
    char text[log_value_max * 4 + 4];
};

log_value escaped(std::string_view value)
{
    log_value out;
    char *o = out.text;
    // (No substr: its out-of-range throw would link in the C++ library.)
    for (unsigned char c : std::string_view(value.data(), std::min(value.size(), log_value_max))) {
        if (c > ' ' && c < 0x7f && c != '\\' && c != '"') {
            *o++ = static_cast<char>(c);
        } else {
            constexpr char hex[] = "0123456789abcdef";
            *o++ = '\\';
            *o++ = 'x';
            *o++ = hex[c >> 4];
            *o++ = hex[c & 15];
        }
    }
    if (value.size() > log_value_max)
        o = std::copy_n("...", 3, o);
    *o = '\0';
    return out;
}

void log_init(const char *prefix)
{
    int options = LOG_PID | LOG_CONS | LOG_NOWAIT;
    if (isatty(STDERR_FILENO))
        options |= LOG_PERROR;
    openlog(prefix, options, LOG_USER);
}

void write_timing_log_event(const char *event_type)
{
    auto field = [](const char *name) {
        const char *value = getenv(name);
        return value ? value : absent_field;
    };
    const char *remote_addr = field("REMOTE_ADDR");
    const char *client_id = field("HTTP_X_OVRA_CLIENTID");
    const char *chunk_no = field("CKNO");
    const char *chunk_size = field("CKSIZE");

    timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        log_msg(LOG_ERR, "ERR  write_timing_log_event: gettimeofday failed");
        return;
    }
    double timestamp = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
    log_msg(LOG_NOTICE, "perf_log event=%s source=%s:%s timestamp=%f chunk_no=%s chunk_size=%s\n", event_type,
            escaped(remote_addr).text, escaped(client_id).text, timestamp, escaped(chunk_no).text,
            escaped(chunk_size).text);
}

void write_headers(const char *status, int retry, int64_t content_length, int errcode, const char *range)
{
    printf("Content-Type: application/octet-stream\n"
           "Content-Length: %lld\n"
           "Status: %s\n"
           "X-OVRA-Release: 1.99B\n"
           "X-OVRA-Version: 4.0.1\n",
           static_cast<long long>(content_length), status);
    if (retry != 0)
        printf("X-OVRA-Retry: %d\n", retry);
    if (errcode != 0)
        printf("OVRA-Error-Code: %d\n", errcode);
    if (range)
        printf("Content-Range: %s\n", range);
    putchar('\n');
    fflush(stdout);
    answer.headers_sent = true;
}

// mod_cgid loses the answer of a program that exits with request body still
// unread, so an upload that is turned away reads the rest and drops it.
void drain_request_body()
{
    if (!answer.body_pending)
        return;
    answer.body_pending = false;
    // No transfer runs any more: the slot goes back before a body, which a
    // client may send slowly or without end, is read and dropped.
    if (answer.admission_fd >= 0) {
        close(answer.admission_fd);
        answer.admission_fd = -1;
    }
    while (answer.body_length < 0 || answer.body_read < answer.body_length) {
        std::size_t want = block_size;
        if (answer.body_length >= 0 && answer.body_length - answer.body_read < static_cast<int64_t>(want))
            want = static_cast<std::size_t>(answer.body_length - answer.body_read);
        std::size_t got = fread(read_buf, 1, want, stdin);
        if (got == 0)
            break;
        answer.body_read += static_cast<int64_t>(got);
    }
}

[[noreturn]] void xfer_error(const char *prefix, int err_code)
{
    const char *reason = strerror(errno);
    log_msg(LOG_ERR, "ERR  SYNC ERR %s: %s", prefix, reason);
    // Once a block is out, body bytes may follow it: stop there and let the
    // client see the response fall short of its Content-Length.
    if (answer.headers_sent)
        exit(1);
    drain_request_body();
    write_headers("500 Internal Server Error", 0, 0, err_code, nullptr);
    exit(1);
}

// ---- request variables ---------------------------------------------------

// Request headers that carry credentials: their values stay out of the
// error log, their names are enough to debug with.
constexpr std::string_view secret_variables[] = {
    "HTTP_AUTHORIZATION=",
    "HTTP_PROXY_AUTHORIZATION=",
    "HTTP_COOKIE=",
};

// A missing variable is a configuration fault of the web server: the dump
// goes to its error log, and no header block is written.
const char *get_env_required(const char *name)
{
    const char *value = getenv(name);
    if (value)
        return value;
    fprintf(stderr, "Missing required environment variable %s\n", name);
    for (char **entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        bool secret = false;
        for (std::string_view prefix : secret_variables)
            secret = secret || text.starts_with(prefix);
        const std::size_t name_ln = text.find('=') + 1;
        if (secret)
            fprintf(stderr, "%.*s(hidden)\n", static_cast<int>(name_ln), *entry);
        else
            fprintf(stderr, "%.*s%s\n", static_cast<int>(name_ln), *entry, escaped(text.data() + name_ln).text);
    }
    exit(1);
}

int64_t get_offset(const char *str)
{
    errno = 0;
    char *end = nullptr;
    long long value = strtoll(str, &end, 10);
    // No digits, or text after them, is as unusable as an overflow.
    if (errno == 0 && (end == str || *end != '\0'))
        errno = EINVAL;
    if (errno != 0) {
        log_msg(LOG_ERR, "ERR  diskrelay: error converting_str=%s to xfer_start - errno is %d", escaped(str).text,
                errno);
        xfer_error("get_offset: cannot read offset", err_offset);
    }
    return value;
}

// CONTENT_LENGTH counts only when it is a plain decimal number.
int64_t request_body_length()
{
    const char *text = getenv("CONTENT_LENGTH");
    if (!text || *text == '\0')
        return -1;
    int64_t length = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || length > (INT64_MAX - 9) / 10)
            return -1;
        length = length * 10 + (*p - '0');
    }
    return length;
}

// ---- the image file ---------------------------------------------------------

// Marks of the time an upload spends in its volume (storage time bound, below).
void storage_call_begins();
void storage_call_ends();

// The image, opened once by main before the transfer; the transfer functions
// work on copies of it, and an upload is synced through it.
int image_fd = -1;

// Opens the image for a download, or for an upload (created when missing,
// never truncated: an upload racing us may have created it a moment ago and
// already written its chunk). Where the web server names the image folder
// (CHUNK_IMAGE_DIR), the path must lie below it and is resolved beneath it
// with no symbolic link followed, so no transfer reaches a file outside the
// folder, whatever links are made there meanwhile.
int open_image(const char *xfer_canon_path, bool upload)
{
    int flags = (upload ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC;
    const char *dir = getenv("CHUNK_IMAGE_DIR");
    if (!dir || *dir == '\0')
        return open(xfer_canon_path, flags, 0666);
    std::string_view folder(dir), path(xfer_canon_path);
    while (folder.size() > 1 && folder.back() == '/')
        folder.remove_suffix(1);
    if (!path.starts_with(folder) || path.size() <= folder.size() + 1 || path[folder.size()] != '/') {
        errno = EXDEV;
        return -1;
    }
    int dir_fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return -1;
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = upload ? 0666 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, dir_fd, xfer_canon_path + folder.size() + 1, &how, sizeof how);
    int saved_errno = errno;
    close(dir_fd);
    errno = saved_errno;
    return static_cast<int>(fd);
}

// A stream of its own on the image main opened.
FILE *image_stream(const char *mode)
{
    int fd = dup(image_fd);
    FILE *stream = fd < 0 ? nullptr : fdopen(fd, mode);
    if (!stream && fd >= 0)
        close(fd);
    return stream;
}

// No write of an upload lands at or past end, whatever the transfer coding
// of its body: the kernel cuts it short (EFBIG), and the upload fails.
void bound_upload(int64_t xfer_start, int64_t xfer_end)
{
    if (xfer_end < xfer_start) {
        errno = EINVAL;
        xfer_error("diskrelay: xfer_end below xfer_start", err_offset);
    }
    answer.body_room = xfer_end - xfer_start;
    answer.body_exact = getenv("XFER_UPLOAD_EXACT") != nullptr;
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {static_cast<rlim_t>(xfer_end), static_cast<rlim_t>(xfer_end)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        xfer_error("diskrelay: could not bound the upload", err_transfer);
}

// An upload is answered 200 only once its bytes are on stable storage,
// unless NO_UPLOAD_SYNC says otherwise. The descriptor was opened before
// the first write, so a write-back error since then is reported here.
void sync_upload()
{
    if (getenv("NO_UPLOAD_SYNC"))
        return;
    storage_call_begins();
    int synced = fdatasync(image_fd);
    storage_call_ends();
    if (synced != 0)
        xfer_error("receive_file: could not sync file to storage", err_transfer);
}

// ---- admission control client --------------------------------------------

int connect_to_admission_server(const char *socket_path)
{
    sockaddr_un addr{};
    std::size_t path_ln = strlen(socket_path);
    // A path cut to fit could name another server's socket.
    if (path_ln >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        xfer_error("connect_to_admission_server: socket path too long", err_admission);
    }
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0)
        xfer_error("connect_to_admission_server: could not create socket", err_admission);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, socket_path, path_ln);
    auto addr_ln = static_cast<socklen_t>(path_ln + sizeof addr.sun_family);
    if (connect(sock, reinterpret_cast<sockaddr *>(&addr), addr_ln) != 0)
        xfer_error("connect_to_admission_server: could not connect to admission control server", err_admission);
    return sock;
}

// The request (admission_protocol.h) carries the device field for a checked
// device: the admission server gives each device a share of its slots. The
// server decides by the device and only logs the context, so a context too
// long to leave room for the field gives up its end.
void send_message_to_adm_ctl(int sock, const char *verb, const char *xfer_context_id, const char *device_id)
{
    char msg_buf[admission_request_max + 1];
    int msg_ln = snprintf(msg_buf, sizeof msg_buf, "%s %s", verb, xfer_context_id);
    if (msg_ln < 0)
        xfer_error("send_message_to_adm_ctl: error generating message", err_admission);
    if (msg_ln >= static_cast<int>(sizeof msg_buf))
        xfer_error("send_message_to_adm_ctl: unexpectedly long message", err_admission);
    if (device_id && *device_id) {
        const std::size_t field_ln = 1 + admission_device_field.size() + strlen(device_id);
        const std::size_t context_at = strlen(verb) + 1;
        if (context_at + field_ln >= sizeof msg_buf)
            xfer_error("send_message_to_adm_ctl: unexpectedly long message", err_admission);
        std::size_t at = std::min(static_cast<std::size_t>(msg_ln), sizeof msg_buf - 1 - field_ln);
        msg_buf[at++] = admission_field_separator;
        memcpy(msg_buf + at, admission_device_field.data(), admission_device_field.size());
        memcpy(msg_buf + at + admission_device_field.size(), device_id, field_ln - 1 - admission_device_field.size());
        msg_ln = static_cast<int>(at + field_ln - 1);
    }
    if (write(sock, msg_buf, static_cast<std::size_t>(msg_ln)) != msg_ln)
        xfer_error("send_message_to_adm_ctl: could not write entire message", err_admission);
}

// Replies split at spaces only; runs of spaces count as one.
std::string_view next_token(std::string_view text, std::size_t &pos)
{
    while (pos < text.size() && text[pos] == admission_word_separator)
        ++pos;
    std::size_t start = pos;
    while (pos < text.size() && text[pos] != admission_word_separator)
        ++pos;
    return std::string_view(text.data() + start, pos - start);
}

// strncmp of the token against word over n characters: a short reply
// matches when it is the start of the word.
bool same_within(std::string_view token, std::string_view word, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        char a = i < token.size() ? token[i] : '\0';
        char b = i < word.size() ? word[i] : '\0';
        if (a != b)
            return false;
        if (a == '\0')
            return true;
    }
    return true;
}

// Optional sign, digits up to the first other character, held to int range.
int read_retry_time(std::string_view text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    constexpr int64_t limit = static_cast<int64_t>(INT_MAX) + 1;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), limit);
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int request_admission(int sock, const char *xfer_context_id, const char *device_id)
{
    send_message_to_adm_ctl(sock, admission_admit, xfer_context_id, device_id);

    char reply_buf[admission_request_max + 1];
    ssize_t reply_ln = read(sock, reply_buf, sizeof reply_buf);
    if (reply_ln <= 0) {
        log_msg(LOG_ERR, "ERR  request_admission: could not read response from admission control server");
        return -1;
    }
    std::string_view reply(reply_buf, static_cast<std::size_t>(reply_ln));
    if (std::size_t nul = reply.find('\0'); nul != std::string_view::npos)
        reply = std::string_view(reply_buf, nul);

    std::size_t pos = 0;
    std::string_view response_prefix = next_token(reply, pos);
    if (same_within(response_prefix, admission_proceed, static_cast<std::size_t>(reply_ln)))
        return 0;
    if (response_prefix == admission_retry) {
        std::string_view retry_time_str = next_token(reply, pos);
        if (!retry_time_str.empty())
            return read_retry_time(retry_time_str);
    }
    log_msg(LOG_ERR, "ERR  request_admission: unknown response from admission control: %s",
            escaped(response_prefix).text);
    return -1;
}

// ---- chunk streaming -----------------------------------------------------

// Sends the header block itself: only here is it known that the range can
// be served, and after the block a failure can no longer be told cleanly.
void send_file(const char *xfer_canon_path, int64_t xfer_start, int64_t xfer_end, const char *range)
{
    FILE *src = image_stream("rb");
    if (!src)
        xfer_error("send_file: could not open file", err_open);
    setvbuf(src, file_buf, _IOFBF, sizeof file_buf);
    struct stat st;
    bool known = fstat(fileno(src), &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        xfer_error("send_file: could not open file", err_open);
    }
    // The descriptor's own seek: the stream's would read ahead into its
    // buffer for a start off its block boundary, bytes sendfile sends anyway.
    if (lseek(fileno(src), xfer_start, SEEK_SET) < 0)
        xfer_error("send_file: could not seek to xfer_start", err_transfer);
    if (known && S_ISREG(st.st_mode) && st.st_size < xfer_end)
        xfer_error("send_file: unexpected EOF", err_transfer);

    int64_t nbytes = xfer_end - xfer_start;
    write_headers(range ? "206 Partial Content" : "200 OK", 0, nbytes, 0, range);
    // The kernel moves the bytes from the page cache to standard output
    // itself. It stops at the file's end, on a failure of either side, or at
    // once for an output it cannot send to (a terminal, a file opened for
    // appending); the stream copy below takes over from where it stopped and
    // tells those cases apart.
    off_t sent_to = xfer_start;
    while (nbytes > 0) {
        ssize_t sent = sendfile(STDOUT_FILENO, fileno(src), &sent_to,
                                static_cast<std::size_t>(std::min<int64_t>(nbytes, sendfile_max)));
        if (sent <= 0)
            break;
        nbytes -= sent;
    }
    if (nbytes > 0 && fseeko(src, sent_to, SEEK_SET) != 0)
        xfer_error("send_file: error reading file", err_transfer);
    while (nbytes > 0) {
        int bytes_to_read =
            nbytes < static_cast<int64_t>(block_size) ? static_cast<int>(nbytes) : static_cast<int>(block_size);
        std::size_t bytes_read = fread(read_buf, 1, static_cast<std::size_t>(bytes_to_read), src);
        nbytes -= static_cast<int64_t>(bytes_read);
        if (bytes_read > 0) {
            std::size_t bytes_written = fwrite(read_buf, 1, bytes_read, stdout);
            if (bytes_written < bytes_read)
                xfer_error("send_file: could not write all data", err_transfer);
        } else if (feof(src)) {
            xfer_error("send_file: unexpected EOF", err_transfer);
        } else {
            log_msg(LOG_ERR, "ERR  send_file: file error %d", ferror(src));
            xfer_error("send_file: error reading file", err_transfer);
        }
    }
    // The last bytes may still sit in the stream: only a flush that worked
    // makes the transfer complete.
    if (fflush(stdout) != 0)
        xfer_error("send_file: could not write all data", err_transfer);
    if (fclose(src) != 0)
        xfer_error("send_file: could not close src stream", err_transfer);
    log_msg(LOG_NOTICE, "sendfile complete - xfer_canonpath=%s", escaped(xfer_canon_path).text);
}

// Writes all of data at offset; false, with errno telling why, when the
// file takes fewer bytes.
bool write_at(int fd, const char *data, std::size_t len, int64_t &offset)
{
    while (len > 0) {
        storage_call_begins();
        ssize_t n = pwrite(fd, data, len, offset);
        storage_call_ends();
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

void receive_file(const char *xfer_canon_path, int64_t xfer_start)
{
    // Writes go straight to a descriptor of its own at their offsets; the
    // seek only checks the offset.
    int fd = dup(image_fd);
    if (fd < 0)
        xfer_error("receive_file: could not open file", err_open);
    if (lseek(fd, xfer_start, SEEK_SET) < 0)
        xfer_error("receive_file: could not seek to xfer_start", err_transfer);

    // Room for a whole block in a pipe on the way in (64 KiB by default),
    // so the sender keeps going while we write. Refused harmlessly by what
    // is no pipe, such as mod_cgid's socket, whose room the sender's end sets.
    fcntl(STDIN_FILENO, F_SETPIPE_SZ, static_cast<int>(block_size));

    // What has arrived goes to the file once a stream buffer's worth is
    // held, so the sender refills the socket or pipe while we write instead
    // of waiting for a whole block. The last of it is written as the
    // stream's buffer would be: at the close.
    int64_t offset = xfer_start;
    std::size_t total_recv = 0;
    std::size_t pending = 0;
    for (;;) {
        ssize_t got = read(STDIN_FILENO, read_buf + pending, block_size - pending);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            answer.body_pending = false;
            int read_errno = errno;
            bool stored = write_at(fd, read_buf, pending, offset);
            if (got < 0) {
                errno = read_errno;
                xfer_error("receive_file: error reading request body", err_transfer);
            }
            if ((answer.body_length >= 0 && answer.body_read < answer.body_length) ||
                (answer.body_exact && static_cast<int64_t>(total_recv) < answer.body_room))
                xfer_error("receive_file: request body ended early", err_transfer);
            log_msg(LOG_NOTICE, "receive_file complete: total_recv=%zu xfer_canon_path=%s", total_recv,
                    escaped(xfer_canon_path).text);
            storage_call_begins();
            bool closed = close(fd) == 0;
            storage_call_ends();
            if (!stored || !closed)
                xfer_error("receive_file: could not close src stream", err_transfer);
            return;
        }
        total_recv += static_cast<std::size_t>(got);
        answer.body_read += got;
        // A body longer than its range fails before what it holds is
        // written; the file-size limit stops what a chunk already written
        // could not be checked for.
        if (answer.body_room >= 0 && static_cast<int64_t>(total_recv) > answer.body_room) {
            errno = EFBIG;
            xfer_error("transfer_file: could not write all data", err_transfer);
        }
        pending += static_cast<std::size_t>(got);
        if (pending >= stream_buf_size) {
            if (!write_at(fd, read_buf, pending, offset))
                xfer_error("transfer_file: could not write all data", err_transfer);
            pending = 0;
        }
    }
}

// ---- the end of the process -------------------------------------------------

// mod_cgid ends a request by sending the program SIGTERM and, while the
// process still exists, sleeping 10 ms before it looks again; the next
// request on the connection waits for that. It reads the answer until
// standard output closes, and an exiting process closes its files a moment
// before it is gone: woken by that close, the server often looks first. So
// at exit a keeper that shares our file table holds standard output open
// until we are gone, then ends. The keeper is our parent's child, left for
// the kernel to reap, so only where the parent has it reap its children by
// ignoring SIGCHLD, as mod_cgid's daemon does; elsewhere it would be left a
// zombie, and a zombie counts as existing anyway.
alignas(16) char keeper_stack[16 << 10];
int exiting_pidfd;

bool parent_ignores_sigchld()
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(getppid()));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[4096];
    ssize_t len = read(fd, text, sizeof text);
    close(fd);
    std::string_view status(text, static_cast<std::size_t>(std::max<ssize_t>(len, 0)));
    constexpr std::string_view field = "\nSigIgn:\t";
    std::size_t at = status.find(field);
    if (at == std::string_view::npos)
        return false;
    unsigned long long ignored = strtoull(text + at + field.size(), nullptr, 16);
    return (ignored >> (SIGCHLD - 1)) & 1;
}

// Runs on keeper_stack in our address space while we exit: raw system
// calls only, nothing of the C library's state (nor of a sanitizer's,
// whose stack bookkeeping belongs to the exiting thread).
__attribute__((no_sanitize("address", "undefined"))) int keep_output_open(void *)
{
    pollfd gone = {exiting_pidfd, POLLIN, 0};
    syscall(SYS_ppoll, &gone, 1, nullptr, nullptr, 0);
    // The descriptor turns readable as we exit, just before the pid goes.
    // Asked through the descriptor, not the number, which another process
    // may be given once ours is gone.
    while (syscall(SYS_pidfd_send_signal, exiting_pidfd, 0, nullptr, 0) == 0)
        syscall(SYS_sched_yield);
    return 0;
}

void hand_output_to_keeper()
{
    if (!parent_ignores_sigchld())
        return;
    exiting_pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    if (exiting_pidfd < 0)
        return;
    // On failure the process simply ends as it would have.
    clone(keep_output_open, keeper_stack + sizeof keeper_stack, CLONE_VM | CLONE_FILES | CLONE_PARENT, nullptr);
}

// ---- storage time bound ------------------------------------------------------

// A volume that stops answering (a network file system whose server froze or
// was cut off) holds a write, a close or fdatasync for a minute and more,
// and may then report success. An upload spends at most this long in them
// all together (UPLOAD_STORAGE_TIMEOUT, seconds): a little under the web
// server's Timeout of 30 s for the program's answer, so that the client
// hears why and retries the chunk instead of waiting.
constexpr double storage_timeout_default = 25.0;
constexpr int64_t ns_per_s = 1000000000;
constexpr int64_t storage_idle = 0;    // storage_call_since: in no storage call
constexpr int64_t storage_fired = -1;  // the bound ran out: no 200 follows

// A call stuck in such a volume does not end for any signal, not even
// SIGKILL, until the file system gives up; so a thread of its own watches the
// clock, answers the request itself and ends the process, which goes once
// the call returns. The main thread marks each storage call; whichever side
// swaps the mark first decides how the call ends.
std::atomic<int64_t> storage_call_since{storage_idle};  // CLOCK_MONOTONIC ns
std::atomic<int64_t> storage_spent{0};                  // ns spent in finished calls
int64_t storage_budget = 0;
char storage_timeout_text[128];

int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * ns_per_s + now.tv_nsec;
}

[[noreturn]] void storage_timed_out()
{
    errno = ETIMEDOUT;
    log_msg(LOG_ERR, "ERR  SYNC ERR %s: %s", storage_timeout_text, strerror(errno));
    drain_request_body();
    // The stuck call holds the process, and with it these, open: closed here
    // the slot goes back and the web server sees the answer end now.
    if (answer.admission_fd >= 0)
        close(answer.admission_fd);
    write_headers("500 Internal Server Error", 0, 0, err_transfer, nullptr);
    // No exit handler runs, as they (a sanitizer's leak check among them)
    // would wait for the stuck thread.
    close(STDOUT_FILENO);
    close(STDIN_FILENO);
    _exit(1);
}

void *watch_storage(void *)
{
    for (;;) {
        int64_t since = storage_call_since.load();
        int64_t left = storage_budget - storage_spent.load();
        int64_t now = monotonic_ns();
        if (since > 0) {
            left -= now - since;
            if (left <= 0 && storage_call_since.compare_exchange_strong(since, storage_fired))
                storage_timed_out();
        }
        // Nothing can run out sooner than the budget left.
        left = std::max<int64_t>(left, 1000000);
        timespec nap = {static_cast<time_t>(left / ns_per_s), static_cast<long>(left % ns_per_s)};
        while (nanosleep(&nap, &nap) != 0 && errno == EINTR) {
        }
    }
}

void start_storage_watch()
{
    const char *text = getenv("UPLOAD_STORAGE_TIMEOUT");
    char *end = nullptr;
    double seconds = text ? strtod(text, &end) : 0;
    if (!text || end == text || *end != '\0' || !(seconds > 0) || seconds > 86400)
        seconds = storage_timeout_default;
    storage_budget = static_cast<int64_t>(seconds * ns_per_s);
    snprintf(storage_timeout_text, sizeof storage_timeout_text,
             "receive_file: the volume did not confirm the upload within %g s (UPLOAD_STORAGE_TIMEOUT)", seconds);
    pthread_t thread;
    errno = pthread_create(&thread, nullptr, watch_storage, nullptr);
    if (errno != 0)
        xfer_error("receive_file: could not watch the storage time", err_transfer);
}

void storage_call_begins()
{
    storage_call_since.store(monotonic_ns());
}

// Keeps errno: the caller reports the call's.
void storage_call_ends()
{
    int saved_errno = errno;
    int64_t since = storage_call_since.load();
    if (since == storage_fired || !storage_call_since.compare_exchange_strong(since, storage_idle)) {
        // The watch answers and ends the process.
        for (;;)
            pause();
    }
    storage_spent.fetch_add(monotonic_ns() - since);
    errno = saved_errno;
}

// ---- request flow ----------------------------------------------------------

void close_admission(bool bypass_admctl, int sock_fd)
{
    answer.admission_fd = -1;
    if (!bypass_admctl && close(sock_fd) != 0)
        xfer_error("Couldn't shut admctl fd", err_admission);
}

}  // namespace

int main(int, char **)
{
    log_init(log_ident);
    atexit(hand_output_to_keeper);
    setvbuf(stdout, stdout_buf, _IOFBF, sizeof stdout_buf);
    setvbuf(stdin, stdin_buf, _IOFBF, sizeof stdin_buf);
    // A client that goes away mid-transfer becomes a logged write failure
    // instead of a silent death by signal.
    signal(SIGPIPE, SIG_IGN);

    bool log_requests = getenv("LOG_REQUESTS") != nullptr;
    if (log_requests)
        write_timing_log_event("chunk_start");

    // Before anything about the image is told, even that a range lies past
    // its end: the certificate must be that of the device the image is for.
    // A refused upload's body must still be read, so that the answer arrives.
    if (const char *method = getenv("REQUEST_METHOD"); method && strcmp(method, "POST") == 0) {
        answer.body_pending = true;
        answer.body_length = request_body_length();
    }
    // Only a device id checked here goes to the admission server: without
    // the check the header may be the client's own word.
    const char *checked_device_id = nullptr;
    if (const char *expected_device_id = getenv("EXPECTED_DEVICE_ID")) {
        const char *device_id = get_env_required("HTTP_SSL_DEVICE_UUID");
        if (strcmp(expected_device_id, device_id) != 0)
            xfer_error("diskrelay: expected device ID does not match SSL cert", err_device_id);
        checked_device_id = device_id;
    }

    if (getenv("RANGE_UNSATISFIABLE")) {
        write_headers("416 Range Unsatisfiable", 0, 0, err_range_unsatisfiable, nullptr);
        return 0;
    }

    const char *xfer_canon_path = get_env_required("XFER_CANON_PATH");
    const char *xfer_context_id = get_env_required("HTTP_X_OVRA_XFER_CONTEXT");
    const char *xfer_start_str = get_env_required("XFER_START");
    const char *request_method = get_env_required("REQUEST_METHOD");
    bool is_post = strcmp(request_method, "POST") == 0;

    log_msg(LOG_NOTICE, "diskrelay started - %s %s context=%s start=%s", escaped(request_method).text,
            escaped(xfer_canon_path).text, escaped(xfer_context_id).text, escaped(xfer_start_str).text);
    int64_t xfer_start = get_offset(xfer_start_str);
    // The web server's bound on what an upload may write.
    if (const char *upload_end = is_post ? getenv("XFER_UPLOAD_END") : nullptr)
        bound_upload(xfer_start, get_offset(upload_end));

    const char *adm_ctrl_path = get_env_required("ADM_CTRL_PATH");
    bool bypass_admctl = getenv("BYPASS_ADMCTL") != nullptr;
    int sock_fd = 0;
    if (!bypass_admctl) {
        sock_fd = connect_to_admission_server(adm_ctrl_path);
        answer.admission_fd = sock_fd;
        int retry_time = request_admission(sock_fd, xfer_context_id, checked_device_id);
        if (retry_time > 0) {
            log_msg(LOG_NOTICE, "admission denied, retry=%d", retry_time);
            drain_request_body();
            write_headers("403 Forbidden", retry_time, 0, err_admission_deferred, nullptr);
            return 0;
        }
        if (retry_time < 0)
            xfer_error("error requesting admission", err_admission);
    }

    if (is_post) {
        start_storage_watch();
        storage_call_begins();
        image_fd = open_image(xfer_canon_path, true);
        storage_call_ends();
        if (image_fd < 0)
            xfer_error("receive_file: could not open file", err_open);
    } else if (strcmp(request_method, "GET") == 0) {
        image_fd = open_image(xfer_canon_path, false);
        if (image_fd < 0)
            xfer_error("send_file: could not open file", err_open);
    }
    if (is_post) {
        // The answer waits until the body is stored, so that it can still
        // report a failure.
        receive_file(xfer_canon_path, xfer_start);
        sync_upload();
        close_admission(bypass_admctl, sock_fd);
        write_headers("200 OK", 0, 0, 0, nullptr);
    } else if (strcmp(request_method, "GET") == 0) {
        int64_t xfer_end = get_offset(get_env_required("XFER_END"));
        if (xfer_end < xfer_start) {
            errno = EINVAL;
            xfer_error("diskrelay: xfer_end below xfer_start", err_offset);
        }
        const char *range = getenv("HTTP_RANGE") ? get_env_required("CONTENT_RANGE_HEADER") : nullptr;
        send_file(xfer_canon_path, xfer_start, xfer_end, range);
        close_admission(bypass_admctl, sock_fd);
    } else {
        fprintf(stderr, "Unknown request_method %s", escaped(request_method).text);
        exit(1);
    }

    if (log_requests)
        write_timing_log_event("chunk_end");
    return 0;
}
