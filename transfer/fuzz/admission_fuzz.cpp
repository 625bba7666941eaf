// libFuzzer target for diskrelay's admission conversation: request_admission
// over a socket pair whose far end reads the ADMIT message and answers with
// the fuzzed reply (or hangs up when the reply is empty). The input's first
// byte gives the length of the transfer context that comes after it; the
// rest is the reply.
//
// The program's source is compiled in, its main renamed, so that the
// file-local functions are reachable and run exactly as in the program. A
// fatal path would end the process through exit(), which libFuzzer reports
// as a failure: none may be reached with a context that fits the message.
#define main diskrelay_main
#include "../src/main.cpp"
#undef main

#include <cstdarg>
#include <string>

namespace {

// What the program last sent to syslog, formatted.
std::string last_log;

// Reads the whole of what the client wrote, up to its shutdown.
std::string drain(int fd)
{
    std::string got;
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    return got;
}

// The reply read as the protocol describes it, through the C library's
// string calls: tokens split at spaces, PROCEED compared over the reply
// length, the RETRY number as strtol reads it, held to int range. A RETRY
// with a number is the one refusal that is not logged.
int expected_result(std::string_view reply, bool *retry_number)
{
    *retry_number = false;
    if (reply.empty())
        return -1;  // the server hung up
    reply = reply.substr(0, admission_request_max + 1);
    char text[admission_request_max + 2] = {};
    std::memcpy(text, reply.data(), reply.size());
    char *save = nullptr;
    constexpr char separator[] = {admission_word_separator, '\0'};
    const char *prefix = strtok_r(text, separator, &save);
    if (!prefix)
        return -1;
    if (strncmp(prefix, admission_proceed, reply.size()) == 0)
        return 0;
    if (strcmp(prefix, admission_retry) != 0)
        return -1;
    const char *number = strtok_r(nullptr, separator, &save);
    if (!number)
        return -1;
    *retry_number = true;
    if (isspace(static_cast<unsigned char>(number[0])))
        return 0;  // the number starts right at the token: no digits read
    long value = strtol(number, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace

// Syslog stays quiet during a fuzz run; the last line is kept for the checks.
extern "C" void vsyslog(int, const char *format, va_list args)
{
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    last_log = line;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The context is an environment value: no NUL, and short enough to send
    // behind the verb and its space.
    constexpr std::size_t context_max = admission_request_max - (sizeof admission_admit - 1) - 1;
    std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string_view context_bytes = rest.substr(0, std::min<std::size_t>(data[0], rest.size()));
    const std::string context(context_bytes.substr(0, std::min(context_bytes.find('\0'), context_max)));
    const std::string_view reply = rest.substr(context_bytes.size());

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        std::abort();
    if (!reply.empty() && write(fds[1], reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
        std::abort();
    if (reply.empty())
        shutdown(fds[1], SHUT_WR);
    last_log.clear();

    const int result = request_admission(fds[0], context.c_str(), nullptr);

    shutdown(fds[0], SHUT_WR);
    const std::string sent = drain(fds[1]);
    close(fds[0]);
    close(fds[1]);

    if (sent != admission_admit + std::string(1, admission_word_separator) + context)
        std::abort();
    bool retry_number;
    if (result != expected_result(reply, &retry_number))
        std::abort();
    // Every refusal but a RETRY number is logged; nothing else is.
    const bool refused = result == -1 && !retry_number;
    if (refused != !last_log.empty())
        std::abort();
    if (refused && last_log.rfind("ERR  request_admission: ", 0) != 0)
        std::abort();
    return 0;
}
