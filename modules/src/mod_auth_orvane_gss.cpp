// NTLM authentication for Apache over GSS-API. The check-user-id hook runs one
// leg of the handshake per request from the "Authorization" header, keeps the
// half-finished security context on the connection between legs, and sets the
// request's user once the context is complete.

#include <httpd.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>

#include <apr_base64.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>

#include <gssapi/gssapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <strings.h>
#include <unistd.h>

extern "C" {
#ifdef APLOG_USE_MODULE
APLOG_USE_MODULE(auth_orvane_gss);
#endif
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

// Authentication result codes that the client gets for the mechanism's minor
// status after a failed leg; any other status gives 'E'.
struct minor_result_code {
    OM_uint32 minor;
    char code;
};
constexpr minor_result_code minor_result_codes[] = {
    {40017, '0'}, {40022, '0'}, {40047, '0'},
    {40024, 'X'}, {40055, 'L'}, {40056, 'D'},
};

char result_code_for(OM_uint32 minor)
{
    for (const auto &row : minor_result_codes)
        if (row.minor == minor)
            return row.code;
    return 'E';
}

// ---------------------------------------------------------------------------
// Logging and status texts

void log_rerror(const char *file, int line, int level, apr_status_t status,
                const request_rec *r, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

void log_rerror(const char *file, int line, int level, apr_status_t status,
                const request_rec *r, const char *fmt, ...)
{
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    // APLOG_NOERRNO from the headers we build against: 2.4 moved it to 16,
    // and the 2.2 value 8 would turn an error line into a trace line.
#ifdef APLOG_USE_MODULE
    ap_log_rerror(file, line, APLOG_MODULE_INDEX, level | APLOG_NOERRNO, status, r, "%s", msg);
#else
    ap_log_rerror(file, line, level | APLOG_NOERRNO, status, r, "%s", msg);
#endif
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
        maj_stat = gss_display_status(&min_stat, err_maj, GSS_C_GSS_CODE, GSS_C_NO_OID,
                                      &msg_ctx, &status_string);
        if (GSS_ERROR(maj_stat))
            break;
        err_msg = apr_pstrcat(p, err_msg, ": ", buffer_text(p, status_string), nullptr);
        gss_release_buffer(&min_stat, &status_string);

        maj_stat = gss_display_status(&min_stat, err_min, GSS_C_MECH_CODE, GSS_C_NO_OID,
                                      &msg_ctx, &status_string);
        if (!GSS_ERROR(maj_stat)) {
            err_msg = apr_pstrcat(p, err_msg, " (", buffer_text(p, status_string), ")", nullptr);
            gss_release_buffer(&min_stat, &status_string);
        }
    } while (!GSS_ERROR(maj_stat) && msg_ctx != 0);
    return err_msg;
}

// ---------------------------------------------------------------------------
// One leg of the handshake

// The mechanism's default acceptor credential serves every request.
int get_gss_creds(request_rec *, gss_cred_id_t *server_creds)
{
    *server_creds = GSS_C_NO_CREDENTIAL;
    return 0;
}

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
// when the leg ends, whichever way it ends.
struct leg_holdings {
    gss_cred_id_t server_creds = GSS_C_NO_CREDENTIAL;
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
    if (held.server_creds != GSS_C_NO_CREDENTIAL)
        gss_release_cred(&minor, &held.server_creds);
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
    log_rerror(source_path, 267, APLOG_DEBUG, 0, r, "got existing context: %p", stored);
    apr_pool_userdata_set(nullptr, context_key, nullptr, conn_pool);
    apr_pool_cleanup_kill(conn_pool, stored, cleanup_context);
    return static_cast<gss_ctx_id_t>(stored);
}

void store_pending_context(request_rec *r, gss_ctx_id_t context)
{
    log_rerror(source_path, 361, APLOG_DEBUG, 0, r, "got continue needed - storing context: %p",
               static_cast<void *>(context));
    apr_pool_userdata_set(context, context_key, cleanup_context, r->connection->pool);
}

int run_leg(request_rec *r, const char *auth_line, leg_holdings &held,
            const char **negotiate_ret_value, char *error_code)
{
    const char *word = ap_getword_white(r->pool, &auth_line);
    if (word == nullptr) {
        log_rerror(source_path, 241, APLOG_ERR, 0, r, "No Authorization parameter in request from client");
        return HTTP_UNAUTHORIZED;
    }

    gss_buffer_desc input_token = GSS_C_EMPTY_BUFFER;
    input_token.value = apr_pcalloc(r->pool, apr_base64_decode_len(word) + 1);
    if (input_token.value == nullptr) {
        log_rerror(source_path, 250, APLOG_ERR, 0, r, "ap_pcalloc() failed (not enough memory)");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    input_token.length = apr_base64_decode(static_cast<char *>(input_token.value), word);

    const gss_ctx_id_t pending = take_pending_context(r);
    held.context = pending;

    OM_uint32 minor = 0;
    const OM_uint32 major = gss_accept_sec_context(
        &minor, &held.context, held.server_creds, &input_token, GSS_C_NO_CHANNEL_BINDINGS,
        &held.client_name, nullptr, &held.output_token, nullptr, nullptr, &held.delegated_cred);
    log_rerror(source_path, 283, APLOG_DEBUG, 0, r, "Verification returned code %x/%x", major, minor);

    OM_uint32 ignored;
    if (pending != GSS_C_NO_CONTEXT && held.context != pending) {
        log_rerror(source_path, 290, APLOG_DEBUG, 0, r, "got different context: %p",
                   static_cast<void *>(held.context));
        log_rerror(source_path, 291, APLOG_DEBUG, 0, r, "deleting old context: %p",
                   static_cast<void *>(pending));
        gss_ctx_id_t old = pending;
        gss_delete_sec_context(&ignored, &old, GSS_C_NO_BUFFER);
    }

    if (held.output_token.length == 0) {
        *negotiate_ret_value = nullptr;
        // An empty token may still come in an allocated buffer, which the
        // display name would overwrite.
        gss_release_buffer(&ignored, &held.output_token);
    } else {
        const int token_length = static_cast<int>(held.output_token.length);
        char *text = static_cast<char *>(apr_pcalloc(r->pool, apr_base64_encode_len(token_length)));
        if (text == nullptr) {
            log_rerror(source_path, 302, APLOG_ERR, 0, r, "ap_pcalloc() failed (not enough memory)");
            gss_release_buffer(&ignored, &held.output_token);
            return HTTP_INTERNAL_SERVER_ERROR;
        }
        apr_base64_encode(text, static_cast<const char *>(held.output_token.value), token_length);
        *negotiate_ret_value = text;
        log_rerror(source_path, 311, APLOG_DEBUG, 0, r,
                   "GSS-API token of length %d bytes will be sent back", token_length);
        gss_release_buffer(&ignored, &held.output_token);
    }

    if (GSS_ERROR(major)) {
        log_rerror(source_path, 321, APLOG_ERR, 0, r, "%s",
                   get_gss_error(r->pool, major, minor, "gss_accept_sec_context() failed"));
        *error_code = result_code_for(minor);
        return HTTP_UNAUTHORIZED;
    }

    const int continue_needed = (major & GSS_S_CONTINUE_NEEDED) ? 1 : 0;
    log_rerror(source_path, 354, APLOG_DEBUG, 0, r, "Continue needed: %d", continue_needed);
    if (continue_needed) {
        store_pending_context(r, held.context);
        held.context = GSS_C_NO_CONTEXT;
        *error_code = 'C';
        return HTTP_UNAUTHORIZED;
    }

    if (held.client_name == GSS_C_NO_NAME) {
        log_rerror(source_path, 375, APLOG_ERR, 0, r, "Didn't get client name");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    OM_uint32 name_minor = 0;
    const OM_uint32 name_major =
        gss_display_name(&name_minor, held.client_name, &held.output_token, nullptr);
    if (GSS_ERROR(name_major)) {
        log_rerror(source_path, 384, APLOG_ERR, 0, r, "%s",
                   get_gss_error(r->pool, name_major, name_minor, "gss_display_name() failed"));
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (held.output_token.value == nullptr) {
        log_rerror(source_path, 393, APLOG_ERR, 0, r, "Client display name is NULL");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    char *user = buffer_text(r->pool, held.output_token);
    if (user == nullptr) {
        log_rerror(source_path, 402, APLOG_ERR, 0, r, "Failed to duplicate client display name");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    log_rerror(source_path, 407, APLOG_DEBUG, 0, r, "Setting the request user to %s", user);
    r->user = user;
    r->ap_auth_type = const_cast<char *>("NTLM");
    gss_release_buffer(&ignored, &held.output_token);
    *error_code = '1';
    return OK;
}

// Runs one leg with the rest of the header value after the scheme word.
// Returns OK, HTTP_UNAUTHORIZED or HTTP_INTERNAL_SERVER_ERROR; the response
// token is empty text, the base64 answer of the mechanism, or null when the
// mechanism had nothing to send.
int authenticate_user_gss(request_rec *r, const char *auth_line,
                          const char **negotiate_ret_value, char *error_code)
{
    *negotiate_ret_value = "";
    *error_code = 'E';
    leg_holdings held;
    get_gss_creds(r, &held.server_creds);
    const int ret = run_leg(r, auth_line, held, negotiate_ret_value, error_code);
    release_leg(held);
    return ret;
}

// ---------------------------------------------------------------------------
// The check-user-id hook. It returns DECLINED where the AuthType is not NTLM,
// OK once the request's user is set, and 401 or 500 otherwise; every 401
// carries a challenge header and the result code header.

void set_auth_headers(request_rec *r, const char *token, char code)
{
    const char *header = r->proxyreq == PROXYREQ_PROXY ? "Proxy-Authenticate" : "WWW-Authenticate";
    apr_table_add(r->err_headers_out, header,
                  *token == '\0' ? "NTLM" : apr_pstrcat(r->pool, "NTLM ", token, nullptr));
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
    log_rerror(source_path, 509, APLOG_DEBUG, 0, r,
               "[pid %d] kerb_authenticate_user entered with user %s and auth_type %s",
               static_cast<int>(getpid()), r->user ? r->user : "(NULL)", type ? type : "(NULL)");
    if (type == nullptr || strcasecmp(type, "NTLM") != 0)
        return DECLINED;

    const char *auth_line = apr_table_get(
        r->headers_in, r->proxyreq == PROXYREQ_PROXY ? "Proxy-Authorization" : "Authorization");
    if (auth_line == nullptr) {
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
    if (strcasecmp(scheme, "NTLM") == 0)
        ret = authenticate_user_gss(r, auth_line, &token, &code);

    if (ret == HTTP_UNAUTHORIZED || token != nullptr)
        set_auth_headers(r, token ? token : "", code);
    if (ap_is_initial_req(r))
        apr_table_setn(r->subprocess_env, result_variable, apr_psprintf(r->pool, "%d", ret));
    return ret;
}

int init_handler(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *, server_rec *)
{
    ap_add_version_component(pconf, version_component);
    return OK;
}

void register_hooks(apr_pool_t *)
{
    ap_hook_post_config(init_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_check_user_id(authenticate_user, nullptr, nullptr, APR_HOOK_MIDDLE);
}

} // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA auth_orvane_gss_module = {
    STANDARD20_MODULE_STUFF,
    nullptr, // per-directory config creator
    nullptr, // per-directory config merger
    nullptr, // per-server config creator
    nullptr, // per-server config merger
    nullptr, // no directives
    register_hooks,
#ifdef AP_MODULE_HAS_FLAGS
    AP_MODULE_FLAG_NONE,
#endif
};
}
