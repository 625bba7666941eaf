// NTLM authentication for Apache over GSS-API. The check-user-id hook runs one
// leg of the handshake per request from the "Authorization" header, keeps the
// half-finished security context on the connection between legs, and sets the
// request's user once the context is complete.
//
// Directives, all per directory and all off or unset by default:
//   OrvaneNTLMConnectionBound On   a connection that completed a handshake
//                                  stays signed on for the requests after it
//   OrvaneNTLMDefaultDomain NAME   accepted, but supplies no domain any more:
//                                  a client name without one is refused
//   OrvaneNTLMChannelBinding On    answers must be bound to this TLS channel
//   OrvaneNTLMDomainAlias DNS NAME a client's domain DNS is the domain NAME

#include <httpd.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>

#include <apr_base64.h>
#include <apr_lib.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>

#include <http_ssl.h>

#include <gssapi/gssapi.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include "log_text.h"
#include "mod_auth_orvane_gss.h"
#include "result_codes.h"

extern "C" {
APLOG_USE_MODULE(auth_orvane_gss);
}

namespace {

// Every log line names this file, the same path that the module record carries.
constexpr const char *source_path = "src/mod_auth_orvane_gss.cpp";
static_assert(std::string_view(__FILE__) == source_path,
              "build with the source prefix mapped away (apache_module_flags)");

constexpr const char *version_component = "mod_auth_orvane_gss/0.1";
constexpr const char *result_variable = "GSSAUTHRET";
constexpr const char *result_code_header = "OV-GSS-Error-Code";

// The pending context lives in the connection pool's own user data, so the key
// needs nothing that tells connections apart. It must not contain c->id: the
// event MPM hands a kept-alive connection a new id whenever another worker
// thread serves its next request, and the next leg would miss the context.
constexpr const char *context_key = "mod_auth_orvane_gss:";

// The user of the connection's completed handshake, kept for the requests
// after it where the connection is bound; under a fixed key for the same
// reason.
constexpr const char *bound_user_key = "mod_auth_orvane_gss:user";

// gss-ntlmssp's OID, 1.3.6.1.4.1.311.2.2.10: the only mechanism that answers
// at an NTLM location.
gss_OID_desc ntlm_mechanism{10, const_cast<char *>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// RFC 5929's prefix of the tls-server-end-point channel binding.
constexpr std::string_view end_point_prefix = "tls-server-end-point:";

// ---------------------------------------------------------------------------
// Per-directory configuration

// A directive not given in a directory takes the enclosing one's value; one
// given nowhere is off.
enum class setting : unsigned char { unset, off, on };

// Zero-filled is the default: nothing set, no default domain.
struct directory_config {
    setting connection_bound;
    setting channel_binding;
    const char *default_domain;   // upper case; null for none (checked, not used: see canonical_user)
    apr_table_t *domain_aliases;  // upper case alias -> domain; null for none
};

void *create_directory_config(apr_pool_t *p, char *)
{
    return apr_pcalloc(p, sizeof(directory_config));
}

setting inherit(setting base, setting add)
{
    return add != setting::unset ? add : base;
}

void *merge_directory_config(apr_pool_t *p, void *base_conf, void *add_conf)
{
    const auto *base = static_cast<const directory_config *>(base_conf);
    const auto *add = static_cast<const directory_config *>(add_conf);
    auto *merged = static_cast<directory_config *>(apr_pcalloc(p, sizeof(directory_config)));
    merged->connection_bound = inherit(base->connection_bound, add->connection_bound);
    merged->channel_binding = inherit(base->channel_binding, add->channel_binding);
    merged->default_domain = add->default_domain ? add->default_domain : base->default_domain;
    merged->domain_aliases = !add->domain_aliases    ? base->domain_aliases
                             : !base->domain_aliases ? add->domain_aliases
                                                     : apr_table_overlay(p, add->domain_aliases, base->domain_aliases);
    return merged;
}

// The request's configuration. A request without a configuration vector
// (none that the server makes) gets the defaults.
const directory_config &config_of(const request_rec *r)
{
    static const directory_config defaults{};
    if (r->per_dir_config == nullptr)
        return defaults;
    const auto *config =
        static_cast<const directory_config *>(ap_get_module_config(r->per_dir_config, &auth_orvane_gss_module));
    return config ? *config : defaults;
}

const char *set_connection_bound(cmd_parms *, void *config, int on)
{
    static_cast<directory_config *>(config)->connection_bound = on ? setting::on : setting::off;
    return nullptr;
}

const char *set_channel_binding(cmd_parms *, void *config, int on)
{
    static_cast<directory_config *>(config)->channel_binding = on ? setting::on : setting::off;
    return nullptr;
}

const char *set_default_domain(cmd_parms *cmd, void *config, const char *name)
{
    if (*name == '\0' || std::strpbrk(name, "\\@/ \t") != nullptr)
        return "OrvaneNTLMDefaultDomain takes a NetBIOS domain name, such as ORVANE";
    char *upper = apr_pstrdup(cmd->pool, name);
    for (char *c = upper; *c != '\0'; ++c)
        *c = static_cast<char>(apr_toupper(*c));
    static_cast<directory_config *>(config)->default_domain = upper;
    return nullptr;
}

char *upper_case(apr_pool_t *p, const char *text)
{
    char *upper = apr_pstrdup(p, text);
    for (char *c = upper; *c != '\0'; ++c)
        *c = static_cast<char>(apr_toupper(*c));
    return upper;
}

// A domain's other names (its DNS name beside the NetBIOS one): a client may
// send either, and the domain controller accepts both for one account.
const char *set_domain_alias(cmd_parms *cmd, void *config, const char *alias, const char *name)
{
    if (*alias == '\0' || *name == '\0' || std::strpbrk(alias, "\\@/ \t") != nullptr ||
        std::strpbrk(name, "\\@/ \t") != nullptr)
        return "OrvaneNTLMDomainAlias takes a domain's other name and its NetBIOS name, such as "
               "AD.ORVANE.EXAMPLE ORVANE";
    auto *dir = static_cast<directory_config *>(config);
    if (dir->domain_aliases == nullptr)
        dir->domain_aliases = apr_table_make(cmd->pool, 2);
    apr_table_setn(dir->domain_aliases, upper_case(cmd->pool, alias), upper_case(cmd->pool, name));
    return nullptr;
}

// C++ sees the command table's function type without its parameters; the
// core calls each handler with the parameters its FLAG or TAKE1 kind has.
// (void (*)() is the type a function pointer passes through unwarned.)
template <typename Fn> cmd_func directive_func(Fn fn)
{
    return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(fn));
}

const command_rec directives[] = {
    {"OrvaneNTLMConnectionBound", directive_func(set_connection_bound), nullptr, OR_AUTHCFG, FLAG,
     "On: once an NTLM handshake completes, the connection's later requests without "
     "credentials run as its user (never behind a proxy that shares connections)"},
    {"OrvaneNTLMDefaultDomain", directive_func(set_default_domain), nullptr, OR_AUTHCFG, TAKE1,
     "no longer used: an NTLM user name sent without a domain is refused, as the mechanism does not "
     "say which domain's account it matched"},
    {"OrvaneNTLMChannelBinding", directive_func(set_channel_binding), nullptr, OR_AUTHCFG, FLAG,
     "On: NTLM answers must carry this TLS channel's bindings (tls-server-end-point)"},
    {"OrvaneNTLMDomainAlias", directive_func(set_domain_alias), nullptr, OR_AUTHCFG, TAKE2,
     "another name of a domain (its DNS name) and the NetBIOS name that user names carry instead"},
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},
};

// ---------------------------------------------------------------------------
// Logging and status texts

void log_rerror(log_site site, int level, apr_status_t status, const request_rec *r, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

void log_rerror(log_site site, int level, apr_status_t status, const request_rec *r, const char *fmt, ...)
{
    char msg[1024];
    // Formatting costs more than the rest of a kept-alive request's check.
    if (!APLOG_R_MODULE_IS_LEVEL(r, APLOG_MODULE_INDEX, level))
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    ap_log_rerror(source_path, static_cast<int>(site), APLOG_MODULE_INDEX, level | APLOG_NOERRNO, status, r, "%s", msg);
}

// Client text for a log line, in the request's pool (log_text.h).
const char *log_text(apr_pool_t *p, std::string_view text)
{
    auto *out = static_cast<char *>(apr_palloc(p, log_text_size(text.size())));
    escape_log_text(text, out);
    return out;
}

// The library's buffers carry a length; copying by it spares us relying on a
// terminating NUL that GSS-API does not promise.
char *buffer_text(apr_pool_t *p, const gss_buffer_desc &buffer)
{
    return apr_pstrmemdup(p, static_cast<const char *>(buffer.value), buffer.length);
}

char *get_gss_error(apr_pool_t *p, OM_uint32 err_maj, OM_uint32 err_min, const char *prefix)
{
    char *err_msg = apr_pstrdup(p, prefix);
    OM_uint32 msg_ctx = 0;
    OM_uint32 maj_stat;
    do {
        OM_uint32 min_stat;
        gss_buffer_desc status_string = GSS_C_EMPTY_BUFFER;
        maj_stat = gss_display_status(&min_stat, err_maj, GSS_C_GSS_CODE, GSS_C_NO_OID, &msg_ctx, &status_string);
        if (GSS_ERROR(maj_stat))
            break;
        err_msg = apr_pstrcat(p, err_msg, ": ", buffer_text(p, status_string), nullptr);
        gss_release_buffer(&min_stat, &status_string);

        maj_stat = gss_display_status(&min_stat, err_min, GSS_C_MECH_CODE, GSS_C_NO_OID, &msg_ctx, &status_string);
        if (!GSS_ERROR(maj_stat)) {
            err_msg = apr_pstrcat(p, err_msg, " (", buffer_text(p, status_string), ")", nullptr);
            gss_release_buffer(&min_stat, &status_string);
        }
    } while (!GSS_ERROR(maj_stat) && msg_ctx != 0);
    return err_msg;
}

// ---------------------------------------------------------------------------
// The acceptor credential

// The acceptor credential of the NTLM mechanism alone: with the library's
// default credential an empty token would get a SPNEGO offer back, and on a
// host with a keytab a Kerberos token would authenticate here. gss-ntlmssp
// 1.2 keeps 32 bytes of every credential it hands out after its release, so
// each server thread acquires one the first time and keeps it for good; the
// legs borrow it. Returns 0, or 500 when the mechanism is not available.
int get_gss_creds(request_rec *r, gss_cred_id_t *server_creds)
{
    thread_local gss_cred_id_t ntlm_creds = GSS_C_NO_CREDENTIAL;
    if (ntlm_creds == GSS_C_NO_CREDENTIAL) {
        gss_OID_set_desc mechanisms{1, &ntlm_mechanism};
        OM_uint32 minor = 0;
        const OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_ACCEPT,
                                                 &ntlm_creds, nullptr, nullptr);
        if (GSS_ERROR(major)) {
            log_rerror(log_site::acquire_cred_failed, APLOG_ERR, 0, r, "%s",
                       get_gss_error(r->pool, major, minor, "gss_acquire_cred() for NTLM failed"));
            ntlm_creds = GSS_C_NO_CREDENTIAL;
            return HTTP_INTERNAL_SERVER_ERROR;
        }
    }
    *server_creds = ntlm_creds;
    return 0;
}

bool is_ntlm_mechanism(gss_const_OID mechanism)
{
    return mechanism != GSS_C_NO_OID && mechanism->length == ntlm_mechanism.length &&
           std::memcmp(mechanism->elements, ntlm_mechanism.elements, ntlm_mechanism.length) == 0;
}

// ---------------------------------------------------------------------------
// Channel bindings

// The TLS channel's bindings as RFC 5929 defines tls-server-end-point: the
// server certificate's hash, by its signature's hash algorithm, SHA-256 for
// MD5, SHA-1 or none. Null when the connection has no TLS or no readable
// server certificate.
gss_channel_bindings_t tls_channel_bindings(request_rec *r)
{
    if (!ap_ssl_conn_is_ssl(r->connection))
        return nullptr;
    const char *pem = ap_ssl_var_lookup(r->pool, r->server, r->connection, r, "SSL_SERVER_CERT");
    if (pem == nullptr || *pem == '\0')
        return nullptr;
    BIO *bio = BIO_new_mem_buf(pem, -1);
    X509 *cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (cert == nullptr)
        return nullptr;
    int digest_nid = NID_undef, key_nid = NID_undef;
    const EVP_MD *digest = nullptr;
    if (OBJ_find_sigid_algs(X509_get_signature_nid(cert), &digest_nid, &key_nid) && digest_nid != NID_md5 &&
        digest_nid != NID_sha1)
        digest = EVP_get_digestbynid(digest_nid);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hash_length = 0;
    const int hashed = X509_digest(cert, digest ? digest : EVP_sha256(), hash, &hash_length);
    X509_free(cert);
    if (!hashed)
        return nullptr;

    auto *bindings = static_cast<gss_channel_bindings_t>(apr_pcalloc(r->pool, sizeof(gss_channel_bindings_struct)));
    auto *data = static_cast<char *>(apr_palloc(r->pool, end_point_prefix.size() + hash_length));
    std::memcpy(data, end_point_prefix.data(), end_point_prefix.size());
    std::memcpy(data + end_point_prefix.size(), hash, hash_length);
    bindings->initiator_addrtype = GSS_C_AF_UNSPEC;
    bindings->acceptor_addrtype = GSS_C_AF_UNSPEC;
    bindings->application_data.value = data;
    bindings->application_data.length = end_point_prefix.size() + hash_length;
    return bindings;
}

// gss-ntlmssp refuses an answer whose channel bindings differ from ours but
// takes one that carries none, which a relayed answer made on a channel
// without TLS does not. So an authenticate message (type 3) must carry them
// itself: a non-zero MsvAvChannelBindings pair among the AV pairs of its
// NTLMv2 response. The response's proof covers those pairs, so the mechanism
// catches a message whose pairs were changed. Other messages pass.
bool lacks_channel_bindings(const gss_buffer_desc &token)
{
    const auto *m = static_cast<const unsigned char *>(token.value);
    const size_t size = token.length;
    const auto u16 = [m](size_t at) { return static_cast<size_t>(m[at] | m[at + 1] << 8); };
    const auto u32 = [m](size_t at) {
        return static_cast<size_t>(m[at] | m[at + 1] << 8 | m[at + 2] << 16) | static_cast<size_t>(m[at + 3]) << 24;
    };
    if (size < 28 || std::memcmp(m, "NTLMSSP\0", 8) != 0 || u32(8) != 3)
        return false;
    // NtChallengeResponse: length and offset; the NTLMv2 client blob after
    // the 16-byte proof has 28 bytes before its AV pairs.
    const size_t nt_length = u16(20), nt_offset = u32(24);
    if (nt_length <= 16 + 28 || nt_offset > size || nt_length > size - nt_offset)
        return true;
    constexpr size_t av_channel_bindings = 0x000a, av_end = 0x0000;
    for (size_t at = nt_offset + 16 + 28, end = nt_offset + nt_length; at + 4 <= end;) {
        const size_t id = u16(at), length = u16(at + 2);
        if (id == av_end || at + 4 + length > end)
            break;
        if (id == av_channel_bindings && length == 16) {
            const unsigned char *value = m + at + 4;
            return std::all_of(value, value + 16, [](unsigned char b) { return b == 0; });
        }
        at += 4 + length;
    }
    return true;
}

// ---------------------------------------------------------------------------
// One leg of the handshake

// Runs when the connection pool goes away with a context still pending. A leg
// that takes the context out withdraws this cleanup, so it never sees a
// context that someone else deletes.
apr_status_t cleanup_context(void *data)
{
    gss_ctx_id_t context = static_cast<gss_ctx_id_t>(data);
    if (context != GSS_C_NO_CONTEXT) {
        OM_uint32 minor;
        gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    }
    return APR_SUCCESS;
}

// What a leg holds from the GSS-API library; all of it is released together
// when the leg ends, whichever way it ends. (The acceptor credential is the
// thread's, borrowed.)
struct leg_holdings {
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_name_t client_name = GSS_C_NO_NAME;
    gss_buffer_desc output_token = GSS_C_EMPTY_BUFFER;
    gss_cred_id_t delegated_cred = GSS_C_NO_CREDENTIAL;
};

void release_leg(leg_holdings &held)
{
    OM_uint32 minor;
    if (held.delegated_cred != GSS_C_NO_CREDENTIAL)
        gss_release_cred(&minor, &held.delegated_cred);
    if (held.output_token.length != 0)
        gss_release_buffer(&minor, &held.output_token);
    if (held.client_name != GSS_C_NO_NAME)
        gss_release_name(&minor, &held.client_name);
    if (held.context != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&minor, &held.context, GSS_C_NO_BUFFER);
}

// Takes the connection's pending context out, if there is one. From here on
// the leg owns it, so the connection's cleanup for it is withdrawn.
gss_ctx_id_t take_pending_context(request_rec *r)
{
    apr_pool_t *const conn_pool = r->connection->pool;
    void *stored = nullptr;
    apr_pool_userdata_get(&stored, context_key, conn_pool);
    if (stored == nullptr)
        return GSS_C_NO_CONTEXT;
    log_rerror(log_site::existing_context, APLOG_DEBUG, 0, r, "got existing context: %p", stored);
    apr_pool_userdata_set(nullptr, context_key, nullptr, conn_pool);
    apr_pool_cleanup_kill(conn_pool, stored, cleanup_context);
    return static_cast<gss_ctx_id_t>(stored);
}

void store_pending_context(request_rec *r, gss_ctx_id_t context)
{
    log_rerror(log_site::storing_context, APLOG_DEBUG, 0, r, "got continue needed - storing context: %p",
               static_cast<void *>(context));
    apr_pool_userdata_set(context, context_key, cleanup_context, r->connection->pool);
}

// The user of a bound connection, with what its handshake proved: whether
// the answer was bound to the TLS channel. A location that requires that of
// a handshake that did not give it does not take the user, and asks for a
// handshake of its own. Its pool, below the connection's, holds one user at
// a time, so many handshakes on one connection take no more.
struct connection_user {
    apr_pool_t *pool;
    const char *name;  // null while the connection has no user
    bool channel_bound;
};

connection_user *user_of(conn_rec *c, bool create)
{
    void *stored = nullptr;
    apr_pool_userdata_get(&stored, bound_user_key, c->pool);
    if (stored != nullptr || !create)
        return static_cast<connection_user *>(stored);
    auto *user = static_cast<connection_user *>(apr_pcalloc(c->pool, sizeof(connection_user)));
    apr_pool_create(&user->pool, c->pool);
    apr_pool_userdata_setn(user, bound_user_key, nullptr, c->pool);
    return user;
}

// A new handshake on the connection starts from no user.
void forget_connection_user(conn_rec *c)
{
    connection_user *user = user_of(c, false);
    if (user != nullptr && user->name != nullptr) {
        user->name = nullptr;
        apr_pool_clear(user->pool);
    }
}

void bind_connection_user(request_rec *r, const directory_config &config)
{
    connection_user *user = user_of(r->connection, true);
    apr_pool_clear(user->pool);
    user->name = apr_pstrdup(user->pool, r->user);
    user->channel_bound = config.channel_binding == setting::on;
    log_rerror(log_site::connection_bound, APLOG_DEBUG, 0, r, "Connection bound to user %s",
               log_text(r->pool, user->name));
}

// Runs the request as the bound connection's user, if it has one and its
// handshake satisfies this location: bound to the channel where the location
// wants that.
bool reuse_connection_user(request_rec *r, const directory_config &config)
{
    const connection_user *user = user_of(r->connection, false);
    if (user == nullptr || user->name == nullptr)
        return false;
    if (config.channel_binding == setting::on && !user->channel_bound) {
        log_rerror(log_site::user_not_channel_bound, APLOG_DEBUG, 0, r,
                   "Connection's user %s signed on without channel bindings; a new handshake is "
                   "needed here (OrvaneNTLMChannelBinding On)",
                   log_text(r->pool, user->name));
        return false;
    }
    r->user = apr_pstrdup(r->pool, user->name);
    r->ap_auth_type = const_cast<char *>("NTLM");
    if (APLOG_R_MODULE_IS_LEVEL(r, APLOG_MODULE_INDEX, APLOG_DEBUG))  // every request of the connection
        log_rerror(log_site::already_authenticated, APLOG_DEBUG, 0, r, "Connection already authenticated as %s",
                   log_text(r->pool, r->user));
    return true;
}

// The one spelling of an account's name: DOMAIN\user, the domain in upper
// and the user in lower case (ASCII letters), as the domain compares names
// without regard to case. Null for a name without a domain or without a
// user: gss-ntlmssp checks a bare name against the first account of that
// name in any domain and then tells only the name the client sent, so no
// domain put in front of it (OrvaneNTLMDefaultDomain, which did) can be
// known to be the matched account's. A principal name (user@dns.domain) is
// refused too: which NetBIOS domain it belongs to is not ours to guess, and
// DOMAIN\user@dns.domain would be a second name for the account.
char *canonical_user(apr_pool_t *p, std::string_view name)
{
    const size_t backslash = name.find('\\');
    if (backslash == std::string_view::npos)
        return nullptr;
    const std::string_view domain = name.substr(0, backslash);
    name.remove_prefix(backslash + 1);
    if (name.find('@') != std::string_view::npos || domain.empty() || name.empty())
        return nullptr;
    auto *text = static_cast<char *>(apr_palloc(p, domain.size() + name.size() + 2));
    char *out =
        std::transform(domain.begin(), domain.end(), text, [](char c) { return static_cast<char>(apr_toupper(c)); });
    *out++ = '\\';
    out = std::transform(name.begin(), name.end(), out, [](char c) { return static_cast<char>(apr_tolower(c)); });
    *out = '\0';
    return text;
}

// user ("DOMAIN\\user", as canonical_user made it) with an alias domain
// replaced by the domain's own name, so one account has one name.
char *unalias_domain(apr_pool_t *p, char *user, const apr_table_t *aliases)
{
    char *backslash = std::strchr(user, '\\');
    if (aliases == nullptr || backslash == nullptr)
        return user;
    const char *name = apr_table_get(aliases, apr_pstrmemdup(p, user, static_cast<apr_size_t>(backslash - user)));
    return name ? apr_pstrcat(p, name, backslash, nullptr) : user;
}

// gss-ntlmssp on a domain member checks answers through winbindd, and
// reports every refusal as EACCES: a wrong password, a disabled or locked
// account, and a set-up in which it cannot reach winbindd look alike. After
// such a failure the set-up is looked at here (not with a user file, which
// NTLM_USER_FILE names). The paths are those built into Debian's Samba.
constexpr const char *winbind_pipe = "/run/samba/winbindd/pipe";
constexpr const char *winbind_privileged_dir = "/var/lib/samba/winbindd_privileged";

// What keeps gss-ntlmssp from winbindd, or null when nothing does.
const char *winbind_fault()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, winbind_pipe, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        close(fd);
    if (!answered)
        return "winbindd does not answer on /run/samba/winbindd/pipe: is it running?";
    if (access(winbind_privileged_dir, X_OK) != 0)
        return "this server's user may not use winbindd's privileged pipe in /var/lib/samba/winbindd_privileged "
               "(add it to the group winbindd_priv)";
    return nullptr;
}

// The fault this process last logged: each is logged once, not at every
// failed sign-on, until the set-up works again.
std::atomic<const char *> logged_winbind_fault{nullptr};

void check_winbind(const request_rec *r, OM_uint32 minor)
{
    if (minor != EACCES || std::getenv("NTLM_USER_FILE") != nullptr)
        return;
    const char *fault = winbind_fault();
    if (logged_winbind_fault.exchange(fault) != fault && fault != nullptr)
        log_rerror(log_site::ntlm_setup_broken, APLOG_ERR, 0, r, "NTLM set-up broken, not a wrong password: %s", fault);
}

// Decodes the base64 token after the scheme word into *token (request
// pool). Returns OK, or the status that ends the leg.
int decode_token(request_rec *r, const char *auth_line, gss_buffer_desc *token)
{
    const char *word = ap_getword_white(r->pool, &auth_line);
    if (word == nullptr) {
        log_rerror(log_site::no_authorization_parameter, APLOG_ERR, 0, r,
                   "No Authorization parameter in request from client");
        return HTTP_UNAUTHORIZED;
    }
    token->value = apr_pcalloc(r->pool, apr_base64_decode_len(word) + 1);
    if (token->value == nullptr) {
        log_rerror(log_site::input_buffer_failed, APLOG_ERR, 0, r, "ap_pcalloc() failed (not enough memory)");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    token->length = apr_base64_decode(static_cast<char *>(token->value), word);
    return OK;
}

// What the library made of one token.
struct accept_result {
    OM_uint32 major = 0;
    OM_uint32 minor = 0;
    gss_OID mechanism = GSS_C_NO_OID;
};

// Takes the connection's pending context into the leg and accepts the token
// on it; a pending context the mechanism replaced is deleted. Returns OK, or
// the status that ends the leg (an answer without the bindings it needs).
int accept_token(request_rec *r, gss_buffer_desc &input_token, gss_cred_id_t server_creds,
                 gss_channel_bindings_t bindings, leg_holdings &held, accept_result *result)
{
    const gss_ctx_id_t pending = take_pending_context(r);
    held.context = pending;

    if (bindings != GSS_C_NO_CHANNEL_BINDINGS && lacks_channel_bindings(input_token)) {
        log_rerror(log_site::answer_without_channel_bindings, APLOG_ERR, 0, r,
                   "NTLM answer without channel bindings refused (OrvaneNTLMChannelBinding On)");
        return HTTP_UNAUTHORIZED;
    }

    result->major =
        gss_accept_sec_context(&result->minor, &held.context, server_creds, &input_token, bindings, &held.client_name,
                               &result->mechanism, &held.output_token, nullptr, nullptr, &held.delegated_cred);
    log_rerror(log_site::verification_returned, APLOG_DEBUG, 0, r, "Verification returned code %x/%x", result->major,
               result->minor);

    if (pending != GSS_C_NO_CONTEXT && held.context != pending) {
        log_rerror(log_site::different_context, APLOG_DEBUG, 0, r, "got different context: %p",
                   static_cast<void *>(held.context));
        log_rerror(log_site::deleting_old_context, APLOG_DEBUG, 0, r, "deleting old context: %p",
                   static_cast<void *>(pending));
        OM_uint32 ignored;
        gss_ctx_id_t old = pending;
        gss_delete_sec_context(&ignored, &old, GSS_C_NO_BUFFER);
    }
    return OK;
}

// Hands the mechanism's answer token out as base64 text (null when it has
// none) and releases it. Returns OK, or the status that ends the leg.
int encode_answer(request_rec *r, leg_holdings &held, const char **negotiate_ret_value)
{
    OM_uint32 ignored;
    if (held.output_token.length == 0) {
        *negotiate_ret_value = nullptr;
        // An empty token may still come in an allocated buffer, which the
        // display name would overwrite.
        gss_release_buffer(&ignored, &held.output_token);
        return OK;
    }
    const int token_length = static_cast<int>(held.output_token.length);
    char *text = static_cast<char *>(apr_pcalloc(r->pool, apr_base64_encode_len(token_length)));
    if (text == nullptr) {
        log_rerror(log_site::output_buffer_failed, APLOG_ERR, 0, r, "ap_pcalloc() failed (not enough memory)");
        gss_release_buffer(&ignored, &held.output_token);
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    apr_base64_encode(text, static_cast<const char *>(held.output_token.value), token_length);
    *negotiate_ret_value = text;
    log_rerror(log_site::token_sent_back, APLOG_DEBUG, 0, r, "GSS-API token of length %d bytes will be sent back",
               token_length);
    gss_release_buffer(&ignored, &held.output_token);
    return OK;
}

// Makes the completed context's client the request's user, in the one
// spelling of its account. Returns OK, or the status that ends the leg.
int set_user(request_rec *r, leg_holdings &held)
{
    if (held.client_name == GSS_C_NO_NAME) {
        log_rerror(log_site::no_client_name, APLOG_ERR, 0, r, "Didn't get client name");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    OM_uint32 name_minor = 0;
    const OM_uint32 name_major = gss_display_name(&name_minor, held.client_name, &held.output_token, nullptr);
    if (GSS_ERROR(name_major)) {
        log_rerror(log_site::display_name_failed, APLOG_ERR, 0, r, "%s",
                   get_gss_error(r->pool, name_major, name_minor, "gss_display_name() failed"));
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (held.output_token.value == nullptr) {
        log_rerror(log_site::display_name_null, APLOG_ERR, 0, r, "Client display name is NULL");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    OM_uint32 ignored;
    // The mechanism counts a terminating NUL into some names' length.
    std::string_view name(static_cast<const char *>(held.output_token.value), held.output_token.length);
    name = name.substr(0, name.find('\0'));
    char *user = canonical_user(r->pool, name);
    if (user == nullptr) {
        log_rerror(log_site::client_name_not_domain_user, APLOG_ERR, 0, r,
                   "Client name %s is not of the form DOMAIN\\user (the mechanism does not say which "
                   "domain's account a bare user name matched)",
                   log_text(r->pool, name));
        // An empty name may come in an allocated buffer, which step 20 skips.
        gss_release_buffer(&ignored, &held.output_token);
        return HTTP_UNAUTHORIZED;
    }
    user = unalias_domain(r->pool, user, config_of(r).domain_aliases);
    log_rerror(log_site::setting_request_user, APLOG_DEBUG, 0, r, "Setting the request user to %s",
               log_text(r->pool, user));
    r->user = user;
    r->ap_auth_type = const_cast<char *>("NTLM");
    gss_release_buffer(&ignored, &held.output_token);
    return OK;
}

// One leg: the token decoded, accepted on the connection's context, the
// answer encoded; then, once the exchange is complete, the user set.
int run_leg(request_rec *r, const char *auth_line, gss_cred_id_t server_creds, gss_channel_bindings_t bindings,
            leg_holdings &held, const char **negotiate_ret_value, char *error_code)
{
    gss_buffer_desc input_token = GSS_C_EMPTY_BUFFER;
    accept_result accepted;
    int status = decode_token(r, auth_line, &input_token);
    if (status == OK)
        status = accept_token(r, input_token, server_creds, bindings, held, &accepted);
    if (status == OK)
        status = encode_answer(r, held, negotiate_ret_value);
    if (status != OK)
        return status;

    if (GSS_ERROR(accepted.major)) {
        log_rerror(log_site::accept_failed, APLOG_ERR, 0, r, "%s",
                   get_gss_error(r->pool, accepted.major, accepted.minor, "gss_accept_sec_context() failed"));
        *error_code = failure_result_code(accepted.minor);
        check_winbind(r, accepted.minor);
        return HTTP_UNAUTHORIZED;
    }

    // The credential admits NTLM alone; this holds even if a library lets
    // another mechanism past it.
    const bool continue_needed = (accepted.major & GSS_S_CONTINUE_NEEDED) != 0;
    if (!is_ntlm_mechanism(accepted.mechanism) && (accepted.mechanism != GSS_C_NO_OID || !continue_needed)) {
        log_rerror(log_site::not_ntlm, APLOG_ERR, 0, r, "Client's token is not NTLM; refused");
        *negotiate_ret_value = nullptr;
        return HTTP_UNAUTHORIZED;
    }

    log_rerror(log_site::continue_needed, APLOG_DEBUG, 0, r, "Continue needed: %d", continue_needed ? 1 : 0);
    if (continue_needed) {
        store_pending_context(r, held.context);
        held.context = GSS_C_NO_CONTEXT;
        *error_code = 'C';
        return HTTP_UNAUTHORIZED;
    }

    status = set_user(r, held);
    if (status == OK)
        *error_code = '1';
    return status;
}

// Runs one leg with the rest of the header value after the scheme word.
// Returns OK, HTTP_UNAUTHORIZED or HTTP_INTERNAL_SERVER_ERROR; the response
// token is empty text, the base64 answer of the mechanism, or null when the
// mechanism had nothing to send.
int authenticate_user_gss(request_rec *r, const char *auth_line, const char **negotiate_ret_value, char *error_code)
{
    *negotiate_ret_value = "";
    *error_code = 'E';
    const directory_config &config = config_of(r);
    gss_channel_bindings_t bindings = GSS_C_NO_CHANNEL_BINDINGS;
    if (config.channel_binding == setting::on) {
        bindings = tls_channel_bindings(r);
        if (bindings == nullptr) {
            log_rerror(log_site::channel_binding_needs_tls, APLOG_ERR, 0, r,
                       "OrvaneNTLMChannelBinding On needs a TLS connection with a server certificate");
            return HTTP_INTERNAL_SERVER_ERROR;
        }
    }
    gss_cred_id_t server_creds = GSS_C_NO_CREDENTIAL;
    if (get_gss_creds(r, &server_creds) != 0)
        return HTTP_INTERNAL_SERVER_ERROR;
    leg_holdings held;
    const int ret = run_leg(r, auth_line, server_creds, bindings, held, negotiate_ret_value, error_code);
    release_leg(held);
    return ret;
}

// ---------------------------------------------------------------------------
// The mechanism's MD4

// gss-ntlmssp 1.2 hashes a password with MD4 from a library context that it
// makes for that one hash (with OpenSSL's legacy provider loaded into it),
// and never frees the digest it fetched there. The digest keeps the legacy
// provider and the provider's own library context alive: about 8 KB for
// every handshake that reaches its third leg, in every child, for good.
// Loading the legacy provider beforehand changes nothing, since the
// mechanism fetches from its new context each time. So the module serves
// those fetches itself: it defines EVP_MD_fetch, which Apache's global
// symbol scope puts before OpenSSL's for the mechanism it loads later, and
// answers the mechanism's requests for MD4 with one digest per process,
// fetched once from a library context of its own that holds only the legacy
// provider. Every other call goes to OpenSSL unchanged.

using md_fetch_function = EVP_MD *(*)(OSSL_LIB_CTX *, const char *, const char *);

md_fetch_function openssl_md_fetch()
{
    static const auto fetch = reinterpret_cast<md_fetch_function>(dlsym(RTLD_NEXT, "EVP_MD_fetch"));
    return fetch;
}

bool called_from_mechanism(const void *return_address)
{
    Dl_info caller{};
    return dladdr(return_address, &caller) != 0 && caller.dli_fname != nullptr &&
           std::strstr(caller.dli_fname, "gssntlmssp") != nullptr;
}

// The process's MD4, with a reference for the caller; null when the legacy
// provider is not there (the mechanism then fails as it would have).
EVP_MD *process_md4()
{
    static EVP_MD *const md4 = [] {
        OSSL_LIB_CTX *own = OSSL_LIB_CTX_new();
        if (own == nullptr)
            return static_cast<EVP_MD *>(nullptr);
        EVP_MD *md = OSSL_PROVIDER_load(own, "legacy") ? openssl_md_fetch()(own, "MD4", nullptr) : nullptr;
        if (md == nullptr)
            OSSL_LIB_CTX_free(own);
        return md;  // the context stays with it for the process's life
    }();
    if (md4 != nullptr && EVP_MD_up_ref(md4) != 1)
        return nullptr;
    return md4;
}

}  // namespace

extern "C" EVP_MD *EVP_MD_fetch(OSSL_LIB_CTX *ctx, const char *algorithm, const char *properties)
{
    if (algorithm != nullptr && strcasecmp(algorithm, "MD4") == 0 &&
        called_from_mechanism(__builtin_return_address(0))) {
        if (EVP_MD *md4 = process_md4())
            return md4;
    }
    const md_fetch_function fetch = openssl_md_fetch();
    return fetch ? fetch(ctx, algorithm, properties) : nullptr;
}

namespace {

// ---------------------------------------------------------------------------
// The check-user-id hook. It returns DECLINED where the AuthType is not NTLM,
// OK once the request's user is set, and 401 or 500 otherwise; every 401
// carries a challenge header and the result code header.

void set_auth_headers(request_rec *r, const char *token, char code)
{
    const char *header = r->proxyreq == PROXYREQ_PROXY ? "Proxy-Authenticate" : "WWW-Authenticate";
    apr_table_add(r->err_headers_out, header, *token == '\0' ? "NTLM" : apr_pstrcat(r->pool, "NTLM ", token, nullptr));
    const char code_text[2] = {code, '\0'};
    apr_table_add(r->err_headers_out, result_code_header, code_text);
}

// A sub-request of an authenticated request takes over the user of its
// top-level request instead of running the handshake again.
int already_succeeded(request_rec *r, int *result)
{
    if (ap_is_initial_req(r) || r->main == nullptr)
        return 0;
    const request_rec *top = r->main;
    while (top->main != nullptr)
        top = top->main;
    const char *recorded = apr_table_get(top->subprocess_env, result_variable);
    if (recorded == nullptr || *recorded == '\0')
        return 0;
    *result = atoi(recorded);
    if (*result != 0)
        return 0;
    r->user = apr_pstrdup(r->pool, top->user);
    r->ap_auth_type = apr_pstrdup(r->pool, top->ap_auth_type);
    return 1;
}

int authenticate_user(request_rec *r)
{
    const char *type = ap_auth_type(r);
    if (APLOG_R_IS_LEVEL(r, APLOG_DEBUG))
        log_rerror(log_site::hook_entered, APLOG_DEBUG, 0, r,
                   "[pid %d] kerb_authenticate_user entered with user %s and auth_type %s", static_cast<int>(getpid()),
                   r->user ? log_text(r->pool, r->user) : "(NULL)", type ? type : "(NULL)");
    if (type == nullptr || strcasecmp(type, "NTLM") != 0)
        return DECLINED;

    const directory_config &config = config_of(r);
    const bool bound = config.connection_bound == setting::on;
    const char *auth_line =
        apr_table_get(r->headers_in, r->proxyreq == PROXYREQ_PROXY ? "Proxy-Authorization" : "Authorization");
    if (auth_line == nullptr) {
        if (bound && reuse_connection_user(r, config)) {
            if (ap_is_initial_req(r))
                apr_table_setn(r->subprocess_env, result_variable, "0");
            return OK;
        }
        set_auth_headers(r, "", 'E');
        return HTTP_UNAUTHORIZED;
    }
    const char *scheme = ap_getword_white(r->pool, &auth_line);

    int ret = DECLINED;
    if (already_succeeded(r, &ret))
        return ret;

    ret = HTTP_UNAUTHORIZED;
    const char *token = nullptr;
    char code = 'E';
    if (strcasecmp(scheme, "NTLM") == 0) {
        forget_connection_user(r->connection);
        ret = authenticate_user_gss(r, auth_line, &token, &code);
        if (ret == OK && bound)
            bind_connection_user(r, config);
    }

    if (ret == HTTP_UNAUTHORIZED || token != nullptr)
        set_auth_headers(r, token ? token : "", code);
    if (ap_is_initial_req(r))
        apr_table_setn(r->subprocess_env, result_variable, apr_psprintf(r->pool, "%d", ret));
    return ret;
}

// The mechanism, which MIT's library loads later, finds the module's
// EVP_MD_fetch only if no module loaded before this one brought OpenSSL into
// the server's symbol scope (mod_ssl does; Debian loads mods-enabled in
// alphabetical order, auth_orvane_gss before ssl).
int init_handler(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *, server_rec *s)
{
    ap_add_version_component(pconf, version_component);
    constexpr const char *late =
        "loaded after a module that uses OpenSSL (mod_ssl?): gss-ntlmssp keeps about 8 KB for every NTLM "
        "handshake until MaxConnectionsPerChild replaces the child; load auth_orvane_gss first";
    // (Our own &EVP_MD_fetch would name whichever comes first too.)
    Dl_info first{}, ours{};
    if (dladdr(dlsym(RTLD_DEFAULT, "EVP_MD_fetch"), &first) == 0 ||
        dladdr(reinterpret_cast<void *>(&init_handler), &ours) == 0 || first.dli_fbase != ours.dli_fbase)
        ap_log_error(source_path, static_cast<int>(log_site::loaded_after_openssl), APLOG_MODULE_INDEX, APLOG_WARNING,
                     0, s, "%s", late);
    return OK;
}

void register_hooks(apr_pool_t *)
{
    ap_hook_post_config(init_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_check_user_id(authenticate_user, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA auth_orvane_gss_module = {
    STANDARD20_MODULE_STUFF,
    create_directory_config,
    merge_directory_config,
    nullptr,  // per-server config creator
    nullptr,  // per-server config merger
    directives,
    register_hooks,
    AP_MODULE_FLAG_NONE,
};
}
