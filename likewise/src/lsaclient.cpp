// liblsaclient: the LSA client calls that the form module uses, checking
// "DOMAIN\user" and a password against the domain's Kerberos KDC.
//
// A connection is a Kerberos context plus the settings of the configuration
// file (listed domains, their realms and keytabs, the KDC timeout), both read
// once when it is opened. An authentication asks the KDC for initial
// credentials with the password (no prompter, no ticket cache), carrying the
// messages itself so that a silent KDC costs a bounded time, verifies the
// ticket with the keytab's key when there is one, and turns the outcome into
// a Likewise error number.

#include "lsaclient.h"

#include <krb5.h>
#include <profile.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// The header declares every export with C linkage; everything else stays
// inside the library.
#define LSA_EXPORT __attribute__((visibility("default")))

#ifndef LSACLIENT_CONF_DEFAULT
#define LSACLIENT_CONF_DEFAULT "/opt/likewise/etc/lsaclient.conf"
#endif

LSA_EXPORT PFN_LSA_LOG_MESSAGE gpfnLogger = nullptr;
LSA_EXPORT HANDLE ghLog = nullptr;
LSA_EXPORT LsaLogLevel gLsaMaxLogLevel = LSA_LOG_LEVEL_ERROR;

namespace {

// ---------------------------------------------------------------------------
// Error numbers: the one table behind LwGetErrorString and
// LwWin32ExtErrorToName.

struct error_entry {
    DWORD code;
    const char *name;
    const char *text;
};

constexpr error_entry error_table[] = {
    {LW_ERROR_SUCCESS, "LW_ERROR_SUCCESS", "No error"},
    {LW_ERROR_OUT_OF_MEMORY, "LW_ERROR_OUT_OF_MEMORY", "Out of memory"},
    {LW_ERROR_INTERNAL, "LW_ERROR_INTERNAL", "Internal error"},
    {LW_ERROR_NO_SUCH_USER, "LW_ERROR_NO_SUCH_USER", "No such user"},
    {LW_ERROR_PASSWORD_MISMATCH, "LW_ERROR_PASSWORD_MISMATCH", "The password is incorrect for the given user"},
    {LW_ERROR_PASSWORD_EXPIRED, "LW_ERROR_PASSWORD_EXPIRED", "The password has expired"},
    {LW_ERROR_INVALID_PARAMETER, "LW_ERROR_INVALID_PARAMETER", "Invalid parameter"},
    {LW_ERROR_INVALID_PASSWORD, "LW_ERROR_INVALID_PASSWORD", "The password is invalid"},
    {LW_ERROR_ACCOUNT_DISABLED, "LW_ERROR_ACCOUNT_DISABLED", "The account is disabled or locked out"},
    {LW_ERROR_ACCOUNT_EXPIRED, "LW_ERROR_ACCOUNT_EXPIRED", "The account has expired"},
    {LW_ERROR_DOMAIN_IS_OFFLINE, "LW_ERROR_DOMAIN_IS_OFFLINE", "The domain is offline: no KDC could be reached"},
    {LW_ERROR_INVALID_CONFIG, "LW_ERROR_INVALID_CONFIG", "The LSA client configuration file is missing or invalid"},
    {LW_ERROR_CLOCK_SKEW, "LW_ERROR_CLOCK_SKEW", "The clocks of this host and the KDC differ too much"},
    {LW_ERROR_KRB5_CALL_FAILED, "LW_ERROR_KRB5_CALL_FAILED", "A Kerberos call failed"},
    {LW_ERROR_DOMAIN_NOT_LISTED, "LW_ERROR_DOMAIN_NOT_LISTED",
     "The domain is not listed in the LSA client configuration"},
    {LW_ERROR_KDC_REPLY_UNVERIFIED, "LW_ERROR_KDC_REPLY_UNVERIFIED",
     "The KDC's reply could not be verified with the keytab"},
    {LW_ERROR_REALM_HAS_NO_KDC, "LW_ERROR_REALM_HAS_NO_KDC",
     "krb5.conf names no KDC for the domain's realm: list one under [realms] (no KDC was tried)"},
};

constexpr bool codes_unique()
{
    for (size_t i = 0; i < std::size(error_table); i++)
        for (size_t j = i + 1; j < std::size(error_table); j++)
            if (error_table[i].code == error_table[j].code)
                return false;
    return true;
}
static_assert(codes_unique(), "each error number has one entry");

const error_entry *find_error(DWORD code)
{
    for (const error_entry &e : error_table)
        if (e.code == code)
            return &e;
    return nullptr;
}

// What the KDC's answers mean to a caller. Anything not listed is
// LW_ERROR_KRB5_CALL_FAILED. KRB5KDC_ERR_KEY_EXP is not listed: an MIT KDC
// reports an expired password whatever password was sent, so
// LsaAuthenticateUser tells the two cases apart itself.
struct krb_entry {
    krb5_error_code krb;
    DWORD lw;
};

constexpr krb_entry krb5_table[] = {
    {KRB5KDC_ERR_PREAUTH_FAILED, LW_ERROR_PASSWORD_MISMATCH},
    {KRB5KRB_AP_ERR_BAD_INTEGRITY, LW_ERROR_PASSWORD_MISMATCH},
    {KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN, LW_ERROR_NO_SUCH_USER},
    {KRB5KDC_ERR_CLIENT_REVOKED, LW_ERROR_ACCOUNT_DISABLED},
    {KRB5KDC_ERR_NAME_EXP, LW_ERROR_ACCOUNT_EXPIRED},
    {KRB5_KDC_UNREACH, LW_ERROR_DOMAIN_IS_OFFLINE},
    {KRB5_REALM_UNKNOWN, LW_ERROR_REALM_HAS_NO_KDC},  // send_to_realm: no kdc listed
    {KRB5_REALM_CANT_RESOLVE, LW_ERROR_DOMAIN_IS_OFFLINE},
    {KRB5KRB_AP_ERR_SKEW, LW_ERROR_CLOCK_SKEW},
    {ENOMEM, LW_ERROR_OUT_OF_MEMORY},
};

// What a Windows domain's KDC says beyond the Kerberos code: an NTSTATUS in
// the error's e-data. Disabled, expired and locked accounts all come back as
// KDC_ERR_CLIENT_REVOKED, told apart only by this status.
struct nt_status_entry {
    uint32_t status;
    DWORD lw;
};

constexpr nt_status_entry ntstatus_table[] = {
    {0xC0000072, LW_ERROR_ACCOUNT_DISABLED},   // STATUS_ACCOUNT_DISABLED
    {0xC0000234, LW_ERROR_ACCOUNT_DISABLED},   // STATUS_ACCOUNT_LOCKED_OUT
    {0xC0000193, LW_ERROR_ACCOUNT_EXPIRED},    // STATUS_ACCOUNT_EXPIRED
    {0xC0000071, LW_ERROR_PASSWORD_EXPIRED},   // STATUS_PASSWORD_EXPIRED
    {0xC0000224, LW_ERROR_PASSWORD_EXPIRED},   // STATUS_PASSWORD_MUST_CHANGE
    {0xC000006A, LW_ERROR_PASSWORD_MISMATCH},  // STATUS_WRONG_PASSWORD
    {0xC0000064, LW_ERROR_NO_SUCH_USER},       // STATUS_NO_SUCH_USER
};

// One DER element at the front of *in (tag, definite length up to 4 length
// bytes); *in moves past it. False when it does not fit.
bool der_next(std::string_view *in, unsigned char *tag, std::string_view *contents)
{
    if (in->size() < 2)
        return false;
    *tag = static_cast<unsigned char>((*in)[0]);
    size_t length = static_cast<unsigned char>((*in)[1]), head = 2;
    if (length & 0x80) {
        size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || in->size() < 2 + bytes)
            return false;
        length = 0;
        for (size_t i = 0; i < bytes; i++)
            length = length << 8 | static_cast<unsigned char>((*in)[2 + i]);
        head += bytes;
    }
    if (in->size() - head < length)
        return false;
    *contents = in->substr(head, length);
    in->remove_prefix(head + length);
    return true;
}

// The NTSTATUS of one PA-DATA / KERB-ERROR-DATA (SEQUENCE { [1] INTEGER,
// [2] OCTET STRING }) of type 3 (PA-PW-SALT, KERB_ERR_TYPE_EXTENDED) whose
// value is a 12-byte KERB-EXT-ERROR: status, reserved, flags, little endian.
// 0 when it is anything else.
uint32_t ntstatus_of_entry(std::string_view entry)
{
    unsigned char tag;
    std::string_view type, value, inner;
    if (!der_next(&entry, &tag, &type) || tag != 0xa1 || !der_next(&type, &tag, &inner) || tag != 0x02 ||
        inner.size() != 1 || inner[0] != 3)
        return 0;
    if (!der_next(&entry, &tag, &value) || tag != 0xa2 || !der_next(&value, &tag, &inner) || tag != 0x04 ||
        inner.size() != 12)
        return 0;
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(inner[i])); };
    return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}

// The NTSTATUS in a KDC error's e-data, 0 when there is none. Windows sends
// a METHOD-DATA (a SEQUENCE OF PA-DATA) or one KERB-ERROR-DATA; Samba sends
// one PA-DATA. The last two have the same shape.
uint32_t ntstatus_of_edata(std::string_view edata)
{
    unsigned char tag;
    std::string_view outer;
    if (!der_next(&edata, &tag, &outer) || tag != 0x30)
        return 0;
    if (!outer.empty() && static_cast<unsigned char>(outer[0]) == 0xa1)
        return ntstatus_of_entry(outer);
    while (!outer.empty()) {
        std::string_view entry;
        if (!der_next(&outer, &tag, &entry) || tag != 0x30)
            return 0;
        if (uint32_t status = ntstatus_of_entry(entry))
            return status;
    }
    return 0;
}

DWORD map_ntstatus(uint32_t status)
{
    for (const nt_status_entry &e : ntstatus_table)
        if (e.status == status)
            return e.lw;
    return LW_ERROR_SUCCESS;
}

DWORD map_krb5_error(krb5_error_code ret)
{
    if (ret == 0)
        return LW_ERROR_SUCCESS;
    for (const krb_entry &e : krb5_table)
        if (e.krb == ret)
            return e.lw;
    return LW_ERROR_KRB5_CALL_FAILED;
}

// ---------------------------------------------------------------------------
// The library's own debug log, through the installed logger.

__attribute__((format(printf, 2, 3))) void log_message(LsaLogLevel level, const char *format, ...)
{
    PFN_LSA_LOG_MESSAGE logger = gpfnLogger;
    if (logger == nullptr || level > gLsaMaxLogLevel)
        return;
    va_list args;
    va_start(args, format);
    logger(ghLog, level, format, args);
    va_end(args);
}

const char *error_name(DWORD code)
{
    const error_entry *e = find_error(code);
    return e ? e->name : "<unknown>";
}

// ---------------------------------------------------------------------------
// The connection and its configuration.

// Realm names and domains longer than a DNS name are refused.
constexpr size_t max_domain_length = 255;

// One listed domain; an empty keytab means the connection's default one.
struct domain_realm {
    std::string domain;
    std::string realm;
    std::string keytab;
};

constexpr int default_kdc_timeout = 3;
constexpr int max_kdc_timeout = 60;

struct lsa_connection {
    krb5_context krb = nullptr;
    std::vector<domain_realm> realms;
    std::string keytab;                     // for domains that name none
    int kdc_timeout = default_kdc_timeout;  // seconds per KDC and exchange
    bool warned_unverified = false;
    std::string canonical;  // "DOMAIN\\user" of the last success
};

// Bytes that cannot be part of a domain or realm name here: they would turn
// the name into several principal parts or into another lookup.
bool valid_domain(std::string_view name)
{
    if (name.empty() || name.size() > max_domain_length)
        return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7f || c == '/' || c == '@' || c == '\\' || c == '=' || c == '#')
            return false;
    return true;
}

bool same_domain(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x -= 'a' - 'A';
        if (y >= 'a' && y <= 'z')
            y -= 'a' - 'A';
        if (x != y)
            return false;
    }
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The configuration is a few lines; anything larger is not ours.
constexpr size_t max_config_size = 64 * 1024;

// Parses "domain = realm [keytab]", "keytab = file" and "kdc_timeout =
// seconds" lines into conn.
DWORD parse_config(const char *path, std::string_view text, lsa_connection *conn)
{
    int line_number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line_number++;
        if (line.empty() || line.front() == '#')
            continue;
        size_t eq = line.find('=');
        std::string_view name = trim(line.substr(0, eq));
        std::string_view rest = eq == std::string_view::npos ? std::string_view() : trim(line.substr(eq + 1));
        if (eq != std::string_view::npos && name == "keytab" && !rest.empty()) {
            conn->keytab = rest;
            continue;
        }
        if (eq != std::string_view::npos && name == "kdc_timeout") {
            int seconds = 0;
            for (char c : rest)
                seconds = c >= '0' && c <= '9' && seconds <= max_kdc_timeout ? seconds * 10 + (c - '0') : -1;
            if (seconds < 1 || seconds > max_kdc_timeout) {
                log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: %s:%d: kdc_timeout is 1 to %d seconds", path,
                            line_number, max_kdc_timeout);
                return LW_ERROR_INVALID_CONFIG;
            }
            conn->kdc_timeout = seconds;
            continue;
        }
        size_t blank = rest.find_first_of(" \t");
        std::string_view realm = rest.substr(0, blank);
        std::string_view keytab = blank == std::string_view::npos ? std::string_view() : trim(rest.substr(blank));
        if (!valid_domain(name) || !valid_domain(realm)) {
            log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: %s:%d: expected \"domain = realm [keytab]\"", path,
                        line_number);
            return LW_ERROR_INVALID_CONFIG;
        }
        conn->realms.push_back({std::string(name), std::string(realm), std::string(keytab)});
    }
    return LW_ERROR_SUCCESS;
}

DWORD read_config(lsa_connection *conn)
{
    const char *path = secure_getenv("LSACLIENT_CONF");
    bool required = path != nullptr;
    if (path == nullptr)
        path = LSACLIENT_CONF_DEFAULT;

    FILE *file = fopen(path, "re");
    if (file == nullptr) {
        if (errno == ENOENT && !required)
            return LW_ERROR_SUCCESS;
        log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: cannot open %s: %s", path, strerror(errno));
        return LW_ERROR_INVALID_CONFIG;
    }
    std::string text(max_config_size + 1, '\0');
    size_t got = fread(text.data(), 1, text.size(), file);
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed || got > max_config_size) {
        log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: cannot read %s, or larger than %zu bytes", path,
                    max_config_size);
        return LW_ERROR_INVALID_CONFIG;
    }
    text.resize(got);
    if (text.find('\0') != std::string::npos) {
        log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: %s holds a NUL byte", path);
        return LW_ERROR_INVALID_CONFIG;
    }
    DWORD error = parse_config(path, text, conn);
    // A keytab that this process cannot read is found now, not at a login.
    std::vector<const std::string *> keytabs = {&conn->keytab};
    for (const domain_realm &m : conn->realms)
        keytabs.push_back(&m.keytab);
    for (const std::string *keytab : keytabs) {
        std::string_view file = *keytab;
        if (file.starts_with("FILE:"))
            file.remove_prefix(5);
        if (error == LW_ERROR_SUCCESS && !file.empty() && file.find(':') == std::string_view::npos &&
            access(std::string(file).c_str(), R_OK) != 0) {
            log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: %s: cannot read keytab %s: %s", path, keytab->c_str(),
                        strerror(errno));
            error = LW_ERROR_INVALID_CONFIG;
        }
    }
    return error;
}

// The first listed entry of a domain, or null.
const domain_realm *listed_domain(const lsa_connection *conn, std::string_view domain)
{
    for (const domain_realm &m : conn->realms)
        if (same_domain(m.domain, domain))
            return &m;
    return nullptr;
}

// Warnings an administrator must see even when no logger takes them: through
// the logger when it takes warnings, else on standard error (which a web
// server's children send to its error log).
__attribute__((format(printf, 1, 2))) void warn(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (gpfnLogger != nullptr && gLsaMaxLogLevel >= LSA_LOG_LEVEL_WARNING) {
        gpfnLogger(ghLog, LSA_LOG_LEVEL_WARNING, format, args);
    } else {
        char line[512];
        vsnprintf(line, sizeof line, format, args);
        fprintf(stderr, "liblsaclient: WARNING: %s\n", line);
        fflush(stderr);
    }
    va_end(args);
}

// ---------------------------------------------------------------------------
// Carrying messages to the KDC: over TCP to the "kdc" entries of the realm in
// krb5.conf, each address given at most kdc_timeout seconds per message. The
// Kerberos library's own transport takes as long as it likes and looks KDCs
// up in DNS; ours does neither.

constexpr uint32_t max_reply_size = 1 << 20;

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// False when the deadline passes first; errors show in the next call on fd.
bool wait_for(int fd, short events, long long deadline)
{
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd p = {fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// Sends (POLLOUT) or receives (POLLIN) all len bytes before the deadline.
bool transfer_all(int fd, short direction, char *data, size_t len, long long deadline)
{
    while (len > 0) {
        if (!wait_for(fd, direction, deadline))
            return false;
        ssize_t n = direction == POLLOUT ? send(fd, data, len, MSG_NOSIGNAL) : recv(fd, data, len, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// One message to one KDC address (RFC 4120 TCP framing: a 4-byte length in
// front). On success *reply holds a malloc'd copy of the answer.
bool exchange_with(const addrinfo *ai, const krb5_data &request, long long deadline, krb5_data *reply)
{
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return false;
    bool ok = false;
    int error = 0;
    socklen_t error_len = sizeof error;
    if ((connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 || errno == EINPROGRESS) && wait_for(fd, POLLOUT, deadline) &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) == 0 && error == 0) {
        const uint32_t n = request.length;
        char prefix[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                          static_cast<char>(n)};
        unsigned char head[4];
        if (transfer_all(fd, POLLOUT, prefix, 4, deadline) &&
            transfer_all(fd, POLLOUT, request.data, request.length, deadline) &&
            transfer_all(fd, POLLIN, reinterpret_cast<char *>(head), 4, deadline)) {
            const uint32_t size = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
            char *data = size > 0 && size <= max_reply_size ? static_cast<char *>(malloc(size)) : nullptr;
            if (data != nullptr && transfer_all(fd, POLLIN, data, size, deadline)) {
                reply->data = data;
                reply->length = size;
                ok = true;
            } else {
                free(data);
            }
        }
    }
    close(fd);
    return ok;
}

// A krb5.conf "kdc" entry: host, host:port or [address]:port, with an
// optional "tcp/" or "udp/" in front (we speak TCP either way).
bool split_kdc(std::string_view entry, std::string *host, std::string *port)
{
    entry = trim(entry);
    if (entry.starts_with("tcp/") || entry.starts_with("udp/"))
        entry.remove_prefix(4);
    if (entry.find("://") != std::string_view::npos)
        return false;  // an HTTPS proxy: not spoken here
    std::string_view h = entry, p = "88";
    if (entry.starts_with('[')) {
        size_t close = entry.find(']');
        if (close == std::string_view::npos)
            return false;
        h = entry.substr(1, close - 1);
        std::string_view after = entry.substr(close + 1);
        if (after.starts_with(':'))
            p = after.substr(1);
        else if (!after.empty())
            return false;
    } else if (size_t colon = entry.find(':'); colon != std::string_view::npos && entry.rfind(':') == colon) {
        h = entry.substr(0, colon);
        p = entry.substr(colon + 1);
    }
    if (h.empty() || p.empty())
        return false;
    host->assign(h);
    port->assign(p);
    return true;
}

// Sends request to the realm's KDCs in turn until one answers; a Kerberos
// error code, as the ticket exchange deals in. Each address gets
// kdc_timeout seconds, and the whole login (all its messages) kdc_timeout
// per listed KDC: *deadline, set at the login's first message, so that the
// caller's lock is held no longer whatever the KDCs do.
krb5_error_code send_to_realm(const lsa_connection *conn, const krb5_data &realm, const krb5_data &request,
                              krb5_data *reply, long long *deadline)
{
    const std::string realm_name(realm.data, realm.length);
    profile_t profile = nullptr;
    krb5_error_code ret = krb5_get_profile(conn->krb, &profile);
    if (ret != 0)
        return ret;
    const char *names[] = {"realms", realm_name.c_str(), "kdc", nullptr};
    char **values = nullptr;
    if (profile_get_values(profile, names, &values) != 0)
        values = nullptr;
    profile_release(profile);
    if (values == nullptr) {
        log_message(LSA_LOG_LEVEL_ERROR, "LsaAuthenticateUser: krb5.conf lists no kdc for realm %s",
                    realm_name.c_str());
        return KRB5_REALM_UNKNOWN;
    }
    if (*deadline == 0) {
        long long kdcs = 0;
        for (char **value = values; *value != nullptr; value++)
            kdcs++;
        *deadline = now_ms() + std::max(kdcs, 1LL) * conn->kdc_timeout * 1000LL;
    }
    ret = KRB5_KDC_UNREACH;
    for (char **value = values; *value != nullptr && ret != 0 && now_ms() < *deadline; value++) {
        std::string host, port;
        if (!split_kdc(*value, &host, &port))
            continue;
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *list = nullptr;
        if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
            continue;
        for (const addrinfo *ai = list; ai != nullptr && ret != 0; ai = ai->ai_next)
            if (exchange_with(ai, request, std::min(now_ms() + conn->kdc_timeout * 1000LL, *deadline), reply))
                ret = 0;
        freeaddrinfo(list);
    }
    profile_free_list(values);
    if (ret != 0)
        log_message(LSA_LOG_LEVEL_ERROR, "LsaAuthenticateUser: no KDC of %s answered within %d s", realm_name.c_str(),
                    conn->kdc_timeout);
    return ret;
}

// ---------------------------------------------------------------------------
// Authentication.

// Asks the KDC for initial credentials of client for service (null: the
// ticket-granting service), carrying the messages with send_to_realm; with
// canonicalize the reply names the account as the KDC spells it. When the
// KDC refuses, *ntstatus is the NTSTATUS its error carried, else 0.
krb5_error_code request_ticket(const lsa_connection *conn, krb5_const_principal client, const char *password,
                               const char *service, bool canonicalize, krb5_creds *creds, long long *deadline,
                               uint32_t *ntstatus)
{
    *ntstatus = 0;
    krb5_context krb = conn->krb;
    krb5_get_init_creds_opt *options = nullptr;
    krb5_error_code ret = krb5_get_init_creds_opt_alloc(krb, &options);
    if (ret != 0)
        return ret;
    // The plainest ticket: a KDC rule against forwardable or proxiable
    // tickets must not fail a password check.
    krb5_get_init_creds_opt_set_forwardable(options, 0);
    krb5_get_init_creds_opt_set_proxiable(options, 0);
    krb5_get_init_creds_opt_set_renew_life(options, 0);
    krb5_get_init_creds_opt_set_canonicalize(options, canonicalize ? 1 : 0);

    krb5_init_creds_context init = nullptr;
    ret = krb5_init_creds_init(krb, const_cast<krb5_principal>(client), nullptr, nullptr, 0, options, &init);
    if (ret == 0)
        ret = krb5_init_creds_set_password(krb, init, password);
    if (ret == 0 && service != nullptr)
        ret = krb5_init_creds_set_service(krb, init, service);
    krb5_data reply = {};
    for (bool done = false; ret == 0 && !done;) {
        krb5_data request = {}, realm = {};
        unsigned int flags = 0;
        ret = krb5_init_creds_step(krb, init, &reply, &request, &realm, &flags);
        free(reply.data);
        reply = {};
        if (ret == 0 && (flags & KRB5_INIT_CREDS_STEP_FLAG_CONTINUE))
            ret = send_to_realm(conn, realm, request, &reply, deadline);
        else
            done = true;
        krb5_free_data_contents(krb, &request);
        krb5_free_data_contents(krb, &realm);
    }
    if (ret == 0) {
        ret = krb5_init_creds_get_creds(krb, init, creds);
    } else if (init != nullptr) {
        krb5_error *refusal = nullptr;
        if (krb5_init_creds_get_error(krb, init, &refusal) == 0 && refusal != nullptr) {
            // Only the error that ended the exchange speaks for the account.
            if (static_cast<krb5_error_code>(refusal->error) + ERROR_TABLE_BASE_krb5 == ret)
                *ntstatus = ntstatus_of_edata(std::string_view(refusal->e_data.data, refusal->e_data.length));
            krb5_free_error(krb, refusal);
        }
    }
    krb5_init_creds_free(krb, init);
    krb5_get_init_creds_opt_free(krb, options);
    return ret;
}

// The service whose key vouches for the KDC's replies: the keytab's first
// HTTP/ principal in realm, else its first principal there. A domain
// member's keytab starts with host/ and the machine account, whose keys the
// web server's own HTTP/ entries share.
krb5_error_code keytab_principal(krb5_context krb, krb5_keytab keytab, std::string_view realm, krb5_principal *server)
{
    krb5_kt_cursor cursor;
    krb5_error_code ret = krb5_kt_start_seq_get(krb, keytab, &cursor);
    if (ret != 0)
        return ret;
    ret = KRB5_KT_NOTFOUND;
    *server = nullptr;
    bool http = false;
    krb5_keytab_entry entry;
    while (!http && krb5_kt_next_entry(krb, keytab, &entry, &cursor) == 0) {
        const krb5_data &r = entry.principal->realm;
        http = entry.principal->length == 2 &&
               std::string_view(entry.principal->data[0].data, entry.principal->data[0].length) == "HTTP";
        if (std::string_view(r.data, r.length) == realm && (http || *server == nullptr)) {
            krb5_free_principal(krb, *server);
            *server = nullptr;
            ret = krb5_copy_principal(krb, entry.principal, server);
            if (ret != 0)
                http = true;  // out of memory: stop looking
        } else {
            http = false;
        }
        krb5_free_keytab_entry_contents(krb, &entry);
    }
    krb5_kt_end_seq_get(krb, keytab, &cursor);
    return ret;
}

void log_krb5_error(krb5_context krb, const char *what, krb5_error_code ret)
{
    const char *message = krb5_get_error_message(krb, ret);
    log_message(LSA_LOG_LEVEL_ERROR, "LsaAuthenticateUser: %s: Kerberos error %ld: %s", what, static_cast<long>(ret),
                message ? message : "");
    krb5_free_error_message(krb, message);
}

// "DOMAIN\\user" from the realm's first listed domain (a realm listed under
// several names still has one name per account) and the name the KDC
// returned for the client: one component in the domain's realm. False only when memory
// runs out; a name of another shape leaves the canonical name empty, and so
// does one with control characters (callers put it into headers).
bool canonical_name(lsa_connection *conn, const domain_realm &domain, krb5_const_principal client)
{
    if (client == nullptr || client->length != 1 ||
        std::string_view(client->realm.data, client->realm.length) != domain.realm)
        return true;
    const std::string_view user(client->data[0].data, client->data[0].length);
    if (user.empty() ||
        std::any_of(user.begin(), user.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return true;
    try {
        const domain_realm *first = &domain;
        for (const domain_realm &m : conn->realms)
            if (m.realm == domain.realm) {
                first = &m;
                break;
            }
        conn->canonical = first->domain + '\\' + std::string(user);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// The KDC's verdict on principal and password as a Likewise error number,
// vouched for by the domain's keytab when it has one.
DWORD check_password(lsa_connection *conn, const domain_realm &domain, krb5_principal client, const char *password)
{
    krb5_context krb = conn->krb;
    const std::string &keytab_name = domain.keytab.empty() ? conn->keytab : domain.keytab;
    krb5_keytab keytab = nullptr;
    krb5_principal server = nullptr;
    char *service = nullptr;
    if (!keytab_name.empty()) {
        krb5_error_code ret = krb5_kt_resolve(krb, keytab_name.c_str(), &keytab);
        if (ret == 0)
            ret = keytab_principal(krb, keytab, domain.realm, &server);
        if (ret == 0)
            ret = krb5_unparse_name(krb, server, &service);
        if (ret != 0) {
            log_krb5_error(krb, ("no key of realm " + domain.realm + " in keytab " + keytab_name).c_str(), ret);
            krb5_free_principal(krb, server);
            if (keytab != nullptr)
                krb5_kt_close(krb, keytab);
            return ret == ENOMEM ? LW_ERROR_OUT_OF_MEMORY : LW_ERROR_INVALID_CONFIG;
        }
    } else if (!conn->warned_unverified) {
        conn->warned_unverified = true;
        warn("no keytab for realm %s: KDC replies are not verified, so whoever answers for the KDC can vouch "
             "for any password",
             domain.realm.c_str());
    }

    krb5_creds creds;
    memset(&creds, 0, sizeof creds);
    long long deadline = 0;  // of the whole login, set at its first message
    uint32_t ntstatus = 0;
    // A Windows domain's KDC names the account as it spells it (other case,
    // the account name for a UPN) only in a ticket-granting ticket: MIT's
    // library refuses a renamed client in a ticket for any other service.
    // So the ticket for our service is asked for that name, in a second
    // exchange.
    krb5_error_code ret = request_ticket(conn, client, password, nullptr, true, &creds, &deadline, &ntstatus);
    if (ret == 0 && keytab != nullptr) {
        krb5_principal account = nullptr;
        ret = krb5_copy_principal(krb, creds.client, &account);
        krb5_free_cred_contents(krb, &creds);
        memset(&creds, 0, sizeof creds);
        if (ret == 0)
            ret = request_ticket(conn, account, password, service, false, &creds, &deadline, &ntstatus);
        krb5_free_principal(krb, account);
    }
    DWORD error;
    if (ntstatus != 0 && map_ntstatus(ntstatus) != LW_ERROR_SUCCESS) {
        log_message(LSA_LOG_LEVEL_VERBOSE, "LsaAuthenticateUser: Kerberos error %ld with NTSTATUS 0x%08x",
                    static_cast<long>(ret), static_cast<unsigned>(ntstatus));
        error = map_ntstatus(ntstatus);
    } else if (ret == 0 && keytab != nullptr) {
        // The ticket is for our own service: only a KDC that knows its key
        // made it, and checking it asks no KDC again.
        krb5_verify_init_creds_opt verify;
        krb5_verify_init_creds_opt_init(&verify);
        krb5_verify_init_creds_opt_set_ap_req_nofail(&verify, 1);
        ret = krb5_verify_init_creds(krb, &creds, server, keytab, nullptr, &verify);
        if (ret != 0)
            log_krb5_error(krb, ("reply not verified with keytab " + keytab_name).c_str(), ret);
        error = ret == 0 ? LW_ERROR_SUCCESS : LW_ERROR_KDC_REPLY_UNVERIFIED;
    } else if (ret == KRB5KDC_ERR_KEY_EXP) {
        // The KDC says so before it looks at the password. The password
        // service still accepts an expired password, and only the right one.
        ret = request_ticket(conn, client, password, "kadmin/changepw", false, &creds, &deadline, &ntstatus);
        if (ret == 0)
            error = LW_ERROR_PASSWORD_EXPIRED;
        else if (ret == KRB5KDC_ERR_KEY_EXP)
            error = LW_ERROR_PASSWORD_MISMATCH;
        else
            error = map_krb5_error(ret);
    } else {
        error = map_krb5_error(ret);
    }
    if (error == LW_ERROR_SUCCESS && !canonical_name(conn, domain, creds.client))
        error = LW_ERROR_OUT_OF_MEMORY;
    if (ret != 0 &&
        (error == LW_ERROR_KRB5_CALL_FAILED || error == LW_ERROR_CLOCK_SKEW || error == LW_ERROR_DOMAIN_IS_OFFLINE))
        log_krb5_error(krb, "ticket", ret);
    krb5_free_cred_contents(krb, &creds);
    krb5_free_unparsed_name(krb, service);
    krb5_free_principal(krb, server);
    if (keytab != nullptr)
        krb5_kt_close(krb, keytab);
    return error;
}

}  // namespace

// ---------------------------------------------------------------------------
// The exported calls.

LSA_EXPORT DWORD LsaOpenServer(HANDLE *phConnection)
{
    if (phConnection == nullptr)
        return LW_ERROR_INVALID_PARAMETER;
    *phConnection = nullptr;

    lsa_connection *conn = new (std::nothrow) lsa_connection;
    if (conn == nullptr)
        return LW_ERROR_OUT_OF_MEMORY;
    DWORD error;
    try {
        error = read_config(conn);
    } catch (const std::bad_alloc &) {
        error = LW_ERROR_OUT_OF_MEMORY;
    }
    if (error == LW_ERROR_SUCCESS) {
        krb5_error_code ret = krb5_init_context(&conn->krb);
        if (ret != 0) {
            // Without a context the message is the plain one for the number;
            // a malformed krb5.conf is the usual cause.
            const char *message = krb5_get_error_message(nullptr, ret);
            log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: krb5_init_context failed: %s", message ? message : "");
            krb5_free_error_message(nullptr, message);
            conn->krb = nullptr;
            error = ret == ENOMEM ? LW_ERROR_OUT_OF_MEMORY : LW_ERROR_KRB5_CALL_FAILED;
        }
    }
    if (error != LW_ERROR_SUCCESS) {
        delete conn;
        return error;
    }
    *phConnection = conn;
    return LW_ERROR_SUCCESS;
}

LSA_EXPORT DWORD LsaAuthenticateUser(HANDLE hLsaConnection, PCSTR pszLoginName, PCSTR pszPassword)
{
    if (hLsaConnection == nullptr || pszLoginName == nullptr || pszPassword == nullptr)
        return LW_ERROR_INVALID_PARAMETER;
    auto *conn = static_cast<lsa_connection *>(hLsaConnection);

    std::string_view login(pszLoginName);
    size_t backslash = login.find('\\');
    if (backslash == std::string_view::npos || !valid_domain(login.substr(0, backslash))) {
        // Not echoed: a login name field sometimes holds a password typed
        // in the wrong place.
        log_message(LSA_LOG_LEVEL_VERBOSE, "LsaAuthenticateUser: login name is not DOMAIN\\user");
        return LW_ERROR_INVALID_PARAMETER;
    }
    // Only listed domains: anyone can run a KDC for a realm of their own.
    const domain_realm *domain = listed_domain(conn, login.substr(0, backslash));
    if (domain == nullptr) {
        log_message(LSA_LOG_LEVEL_VERBOSE, "LsaAuthenticateUser: domain not listed in the configuration");
        return LW_ERROR_DOMAIN_NOT_LISTED;
    }
    const char *user = pszLoginName + backslash + 1;
    // Refused here: an empty name or password would make the Kerberos
    // library ask for one, or ask the KDC about a principal with no name.
    if (*user == '\0')
        return LW_ERROR_NO_SUCH_USER;
    if (*pszPassword == '\0')
        return LW_ERROR_PASSWORD_MISMATCH;

    // One component whatever the user name holds, so "alice/admin" or
    // "alice@OTHER" never name another principal or realm.
    krb5_principal client = nullptr;
    krb5_error_code ret = krb5_build_principal(conn->krb, &client, static_cast<unsigned int>(domain->realm.size()),
                                               domain->realm.c_str(), user, static_cast<const char *>(nullptr));
    if (ret != 0)
        return map_krb5_error(ret) == LW_ERROR_OUT_OF_MEMORY ? LW_ERROR_OUT_OF_MEMORY : LW_ERROR_INTERNAL;

    conn->canonical.clear();
    DWORD error = check_password(conn, *domain, client, pszPassword);
    if (error != LW_ERROR_SUCCESS)
        conn->canonical.clear();

    if (gpfnLogger != nullptr && gLsaMaxLogLevel >= LSA_LOG_LEVEL_DEBUG) {
        char *name = nullptr;
        if (krb5_unparse_name(conn->krb, client, &name) == 0) {
            // The unparsed name shows control characters escaped.
            log_message(LSA_LOG_LEVEL_DEBUG, "LsaAuthenticateUser: %s: %u (%s)", name, static_cast<unsigned>(error),
                        error_name(error));
            krb5_free_unparsed_name(conn->krb, name);
        }
    }
    krb5_free_principal(conn->krb, client);
    return error;
}

LSA_EXPORT size_t LsaGetCanonicalName(HANDLE hLsaConnection, PSTR pszBuffer, size_t stBufSize)
{
    if (hLsaConnection == nullptr)
        return 0;
    const std::string &name = static_cast<const lsa_connection *>(hLsaConnection)->canonical;
    if (name.empty())
        return 0;
    if (pszBuffer != nullptr && stBufSize > 0) {
        size_t n = std::min(name.size(), stBufSize - 1);
        memcpy(pszBuffer, name.data(), n);
        pszBuffer[n] = '\0';
    }
    return name.size() + 1;
}

LSA_EXPORT DWORD LsaCloseServer(HANDLE hLsaConnection)
{
    if (hLsaConnection == nullptr)
        return LW_ERROR_INVALID_PARAMETER;
    auto *conn = static_cast<lsa_connection *>(hLsaConnection);
    krb5_free_context(conn->krb);
    delete conn;
    return LW_ERROR_SUCCESS;
}

LSA_EXPORT size_t LwGetErrorString(DWORD dwError, PSTR pszBuffer, size_t stBufSize)
{
    const error_entry *e = find_error(dwError);
    if (e == nullptr)
        return 0;
    size_t needed = strlen(e->text) + 1;
    if (pszBuffer != nullptr && stBufSize > 0) {
        size_t n = needed <= stBufSize ? needed - 1 : stBufSize - 1;
        memcpy(pszBuffer, e->text, n);
        pszBuffer[n] = '\0';
    }
    return needed;
}

LSA_EXPORT PCSTR LwWin32ExtErrorToName(DWORD dwError)
{
    const error_entry *e = find_error(dwError);
    return e ? e->name : nullptr;
}

LSA_EXPORT DWORD LwAllocateMemory(DWORD dwSize, PVOID *ppMemory)
{
    if (ppMemory == nullptr)
        return LW_ERROR_INVALID_PARAMETER;
    // A zero-size request still yields a block the caller may free.
    *ppMemory = calloc(dwSize ? dwSize : 1, 1);
    return *ppMemory ? LW_ERROR_SUCCESS : LW_ERROR_OUT_OF_MEMORY;
}

LSA_EXPORT void LwFreeMemory(PVOID pMemory)
{
    free(pMemory);
}

LSA_EXPORT void LwFreeString(PSTR pszString)
{
    free(pszString);
}

LSA_EXPORT void LsaLogMessage(PFN_LSA_LOG_MESSAGE pfnLogger, HANDLE hLog, LsaLogLevel level, PCSTR pszFormat, ...)
{
    if (pfnLogger == nullptr || pszFormat == nullptr)
        return;
    va_list args;
    va_start(args, pszFormat);
    pfnLogger(hLog, level, pszFormat, args);
    va_end(args);
}
