// liblsaclient: the LSA client calls that the form module uses, checking
// "DOMAIN\user" and a password against the domain's Kerberos KDC.
//
// A connection is a Kerberos context plus the domain-to-realm mappings of the
// configuration file, both read once when it is opened. An authentication
// asks the KDC for initial credentials with the password (no prompter, no
// ticket cache) and turns the KDC's answer into a Likewise error number.

#include "lsaclient.h"

#include <krb5.h>

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

struct ErrorEntry {
    DWORD code;
    const char *name;
    const char *text;
};

constexpr ErrorEntry error_table[] = {
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

const ErrorEntry *find_error(DWORD code)
{
    for (const ErrorEntry &e : error_table)
        if (e.code == code)
            return &e;
    return nullptr;
}

// What the KDC's answers mean to a caller. Anything not listed is
// LW_ERROR_KRB5_CALL_FAILED. KRB5KDC_ERR_KEY_EXP is not listed: an MIT KDC
// reports an expired password whatever password was sent, so
// LsaAuthenticateUser tells the two cases apart itself.
struct KrbEntry {
    krb5_error_code krb;
    DWORD lw;
};

constexpr KrbEntry krb5_table[] = {
    {KRB5KDC_ERR_PREAUTH_FAILED, LW_ERROR_PASSWORD_MISMATCH},
    {KRB5KRB_AP_ERR_BAD_INTEGRITY, LW_ERROR_PASSWORD_MISMATCH},
    {KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN, LW_ERROR_NO_SUCH_USER},
    {KRB5KDC_ERR_CLIENT_REVOKED, LW_ERROR_ACCOUNT_DISABLED},
    {KRB5KDC_ERR_NAME_EXP, LW_ERROR_ACCOUNT_EXPIRED},
    {KRB5_KDC_UNREACH, LW_ERROR_DOMAIN_IS_OFFLINE},
    {KRB5_REALM_UNKNOWN, LW_ERROR_DOMAIN_IS_OFFLINE},
    {KRB5_REALM_CANT_RESOLVE, LW_ERROR_DOMAIN_IS_OFFLINE},
    {KRB5KRB_AP_ERR_SKEW, LW_ERROR_CLOCK_SKEW},
    {ENOMEM, LW_ERROR_OUT_OF_MEMORY},
};

DWORD map_krb5_error(krb5_error_code ret)
{
    if (ret == 0)
        return LW_ERROR_SUCCESS;
    for (const KrbEntry &e : krb5_table)
        if (e.krb == ret)
            return e.lw;
    return LW_ERROR_KRB5_CALL_FAILED;
}

// ---------------------------------------------------------------------------
// The library's own debug log, through the installed logger.

__attribute__((format(printf, 2, 3)))
void log_message(LsaLogLevel level, const char *format, ...)
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
    const ErrorEntry *e = find_error(code);
    return e ? e->name : "<unknown>";
}

// ---------------------------------------------------------------------------
// The connection and its configuration.

// Realm names and domains longer than a DNS name are refused.
constexpr size_t max_domain_length = 255;

struct DomainRealm {
    std::string domain;
    std::string realm;
};

struct LsaConnection {
    krb5_context krb = nullptr;
    std::vector<DomainRealm> realms;
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

// Parses "domain = realm" lines into conn->realms.
DWORD parse_config(const char *path, std::string_view text, LsaConnection *conn)
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
        std::string_view domain = trim(line.substr(0, eq));
        std::string_view realm = eq == std::string_view::npos ? std::string_view() : trim(line.substr(eq + 1));
        if (!valid_domain(domain) || !valid_domain(realm)) {
            log_message(LSA_LOG_LEVEL_ERROR, "LsaOpenServer: %s:%d: expected \"domain = realm\"", path, line_number);
            return LW_ERROR_INVALID_CONFIG;
        }
        conn->realms.push_back({std::string(domain), std::string(realm)});
    }
    return LW_ERROR_SUCCESS;
}

DWORD read_config(LsaConnection *conn)
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
    return parse_config(path, text, conn);
}

// Writes the realm for a domain into realm (max_domain_length + 1 bytes):
// the mapped one, else the domain in upper case.
void realm_for_domain(const LsaConnection *conn, std::string_view domain, char *realm)
{
    for (const DomainRealm &m : conn->realms) {
        if (same_domain(m.domain, domain)) {
            memcpy(realm, m.realm.data(), m.realm.size());
            realm[m.realm.size()] = '\0';
            return;
        }
    }
    for (size_t i = 0; i < domain.size(); i++) {
        char c = domain[i];
        realm[i] = c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
    }
    realm[domain.size()] = '\0';
}

// ---------------------------------------------------------------------------
// Authentication.

// Asks the KDC for initial credentials of client for service (null: the
// ticket-granting service) and throws the ticket away.
krb5_error_code request_ticket(krb5_context krb, krb5_principal client, const char *password, const char *service)
{
    krb5_get_init_creds_opt *options = nullptr;
    krb5_error_code ret = krb5_get_init_creds_opt_alloc(krb, &options);
    if (ret != 0)
        return ret;
    // The plainest ticket: a KDC rule against forwardable or proxiable
    // tickets must not fail a password check.
    krb5_get_init_creds_opt_set_forwardable(options, 0);
    krb5_get_init_creds_opt_set_proxiable(options, 0);
    krb5_get_init_creds_opt_set_renew_life(options, 0);

    krb5_creds creds;
    memset(&creds, 0, sizeof creds);
    ret = krb5_get_init_creds_password(krb, &creds, client, password, nullptr, nullptr, 0, service, options);
    if (ret == 0)
        krb5_free_cred_contents(krb, &creds);
    krb5_get_init_creds_opt_free(krb, options);
    return ret;
}

// The KDC's verdict on principal and password as a Likewise error number.
DWORD check_password(krb5_context krb, krb5_principal client, const char *password)
{
    krb5_error_code ret = request_ticket(krb, client, password, nullptr);
    if (ret == KRB5KDC_ERR_KEY_EXP) {
        // The KDC says so before it looks at the password. The password
        // service still accepts an expired password, and only the right one.
        ret = request_ticket(krb, client, password, "kadmin/changepw");
        if (ret == 0)
            return LW_ERROR_PASSWORD_EXPIRED;
        if (ret == KRB5KDC_ERR_KEY_EXP)
            return LW_ERROR_PASSWORD_MISMATCH;
    }
    DWORD error = map_krb5_error(ret);
    if (error == LW_ERROR_KRB5_CALL_FAILED || error == LW_ERROR_CLOCK_SKEW || error == LW_ERROR_DOMAIN_IS_OFFLINE) {
        const char *message = krb5_get_error_message(krb, ret);
        log_message(LSA_LOG_LEVEL_ERROR, "LsaAuthenticateUser: Kerberos error %ld: %s", static_cast<long>(ret),
                    message ? message : "");
        krb5_free_error_message(krb, message);
    }
    return error;
}

} // namespace

// ---------------------------------------------------------------------------
// The exported calls.

LSA_EXPORT DWORD LsaOpenServer(HANDLE *phConnection)
{
    if (phConnection == nullptr)
        return LW_ERROR_INVALID_PARAMETER;
    *phConnection = nullptr;

    LsaConnection *conn = new (std::nothrow) LsaConnection;
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
    const auto *conn = static_cast<const LsaConnection *>(hLsaConnection);

    std::string_view login(pszLoginName);
    size_t backslash = login.find('\\');
    if (backslash == std::string_view::npos || !valid_domain(login.substr(0, backslash))) {
        // Not echoed: a login name field sometimes holds a password typed
        // in the wrong place.
        log_message(LSA_LOG_LEVEL_VERBOSE, "LsaAuthenticateUser: login name is not DOMAIN\\user");
        return LW_ERROR_INVALID_PARAMETER;
    }
    std::string_view domain = login.substr(0, backslash);
    const char *user = pszLoginName + backslash + 1;
    // Refused here: an empty name or password would make the Kerberos
    // library ask for one, or ask the KDC about a principal with no name.
    if (*user == '\0')
        return LW_ERROR_NO_SUCH_USER;
    if (*pszPassword == '\0')
        return LW_ERROR_PASSWORD_MISMATCH;

    char realm[max_domain_length + 1];
    realm_for_domain(conn, domain, realm);

    // One component whatever the user name holds, so "alice/admin" or
    // "alice@OTHER" never name another principal or realm.
    krb5_principal client = nullptr;
    krb5_error_code ret = krb5_build_principal(conn->krb, &client, static_cast<unsigned int>(strlen(realm)), realm,
                                               user, static_cast<const char *>(nullptr));
    if (ret != 0)
        return map_krb5_error(ret) == LW_ERROR_OUT_OF_MEMORY ? LW_ERROR_OUT_OF_MEMORY : LW_ERROR_INTERNAL;

    DWORD error = check_password(conn->krb, client, pszPassword);

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

LSA_EXPORT DWORD LsaCloseServer(HANDLE hLsaConnection)
{
    if (hLsaConnection == nullptr)
        return LW_ERROR_INVALID_PARAMETER;
    auto *conn = static_cast<LsaConnection *>(hLsaConnection);
    krb5_free_context(conn->krb);
    delete conn;
    return LW_ERROR_SUCCESS;
}

LSA_EXPORT size_t LwGetErrorString(DWORD dwError, PSTR pszBuffer, size_t stBufSize)
{
    const ErrorEntry *e = find_error(dwError);
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
    const ErrorEntry *e = find_error(dwError);
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
