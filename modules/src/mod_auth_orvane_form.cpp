// mod_auth_orvane_form: the input filter "ORVANE_CHECK_PASSWORD". On a
// URL-encoded login form it checks "domain\username" with the password
// through the Likewise LSA client, overwrites the password in the body with
// '&' and writes the authentication result code into the `result` value.
// The application behind it gets a body of unchanged length without the
// password. Every copy of form data is zeroed before its memory is released.
#include <httpd.h>
#include <http_config.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_filter.h>

#include <apr_buckets.h>
#include <apr_strings.h>
#include <apr_thread_mutex.h>

#include <lsaclient.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <strings.h>

#include "log_text.h"
#include "mod_auth_orvane_form.h"
#include "result_codes.h"

extern "C" {
APLOG_USE_MODULE(auth_orvane_form);

apr_thread_mutex_t *lsaMutex = nullptr;
HANDLE hLsaConnection = nullptr;
}

// ---------------------------------------------------------------------------
// Constants

namespace {

constexpr const char *filter_name = "ORVANE_CHECK_PASSWORD";
// The filter's helpers log under the filter function's name.
constexpr const char *filter_function = "mod_auth_orvane_form_if";
constexpr const char *form_content_type = "application/x-www-form-urlencoded";
// Where the application finds the account a successful login checked
// ("DOMAIN\\user" as the domain spells it): the subprocess environment, and
// the request header for a handler that reads the body before it forwards
// the headers. Set only with result code '1'.
constexpr const char *account_variable = "OV_ACCOUNT";
constexpr const char *account_header = "OV-Account";
constexpr const char *account_header_underscore = "OV_Account";
// A NetBIOS domain, a backslash and an account name (at most 20 characters
// in AD, a UPN up to 1024): longer names are not passed on.
constexpr std::size_t account_size = 1100;

// A login form is small; anything larger is refused rather than buffered.
constexpr apr_size_t data_limit = 0x4000;
// The data, the '&' that ends the last pair while parsing, and a NUL.
constexpr apr_size_t form_size = data_limit + 2;

// The statuses the filter hands back, as errno numbers. A form over the
// limit is ENOSPC, which handlers map to 413 (ap_map_http_request_error)
// where any other status would read as a plain 400.
constexpr apr_status_t status_eagain = APR_EAGAIN;
constexpr apr_status_t status_enomem = APR_ENOMEM;
constexpr apr_status_t status_einval = APR_EINVAL;
constexpr apr_status_t status_enospc = APR_ENOSPC;
static_assert(status_eagain == 11 && status_enomem == 12 && status_einval == 22 && status_enospc == 28);
static_assert(APR_EGENERAL == 20014);

// The Likewise numbers the filter and MapErrorCode deal in.
constexpr DWORD lsa_internal = LW_ERROR_INTERNAL;                 // 40016
constexpr DWORD lsa_domain_offline = LW_ERROR_DOMAIN_IS_OFFLINE;  // 40118
static_assert(lsa_internal == 40016 && lsa_domain_offline == 40118);

// Network errnos that the LSA client passes through; they mean the domain
// could not be reached.
static_assert(ENETUNREACH == 101 && ETIMEDOUT == 110 && ECONNREFUSED == 111);

char result_code(apr_status_t status, DWORD error)
{
    return status == APR_SUCCESS ? '1' : failure_result_code(error);
}

// Zeroing that the compiler may not drop although the memory is freed next.
void scrub(void *p, std::size_t n)
{
    explicit_bzero(p, n);
}

// A decoded copy of form data. len counts every decoded byte: a NUL from
// "%00" ends the string but not what must be zeroed.
struct decoded {
    char *text;
    std::size_t len;
};

void scrub_and_free(decoded *d)
{
    if (!d->text)
        return;
    scrub(d->text, d->len);
    std::free(d->text);
    *d = {};
}

// Digit value of the character after a '%': anything that is no hex digit
// counts 0.
constexpr unsigned hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    return 0;
}
static_assert(hex_value('0') == 0 && hex_value('9') == 9 && hex_value('f') == 15 && hex_value('g') == 0);

// The raw text of a key or value: up to the first '&' or NUL.
std::size_t raw_length(const char *raw)
{
    return std::strcspn(raw, "&");
}

// ---------------------------------------------------------------------------
// Form value decoding

// decode() over the len raw bytes at raw, whatever they hold.
decoded decode_span(request_rec *r, char *raw, std::size_t len, int wipe)
{
    auto *out = static_cast<char *>(std::calloc(len + 1, 1));
    std::size_t j = 0;
    if (!out) {
        ap_log_rerror(APLOG_MARK, APLOG_CRIT, status_enomem, r, "%s: failed to allocate memory for decoded string",
                      "decode");
    } else {
        std::size_t i = 0;
        while (i + 3 <= len) {
            if (raw[i] == '%') {
                out[j] = static_cast<char>(16 * hex_value(raw[i + 1]) + hex_value(raw[i + 2]));
                i += 3;
            } else {
                out[j] = raw[i] == '+' ? ' ' : raw[i];
                ++i;
            }
            ++j;
        }
        // An escape needs both its digits inside the raw text.
        for (; i < len; ++i, ++j)
            out[j] = raw[i] == '+' ? ' ' : raw[i];
    }
    if (wipe)
        std::memset(raw, '&', len);
    return {out, j};
}

// ---------------------------------------------------------------------------
// The rewritten body's bucket

static_assert(data_limit <= UINT32_MAX);

// Puts a copy of data in front of `before`, as one heap bucket that zeroes
// its payload when it is destroyed. Returns 0 or ENOMEM.
apr_status_t insert_bucket(request_rec *r, apr_bucket_alloc_t *list, apr_bucket *before, const char *data,
                           apr_size_t len)
{
    const std::uint32_t word = static_cast<std::uint32_t>(len);
    auto *block = static_cast<char *>(std::malloc(len + sizeof word));
    if (!block) {
        ap_log_rerror(APLOG_MARK, APLOG_CRIT, status_enomem, r, "%s: failed to allocate memory for sized buffer",
                      __func__);
        return status_enomem;
    }
    std::memcpy(block, &word, sizeof word);
    std::memcpy(block + sizeof word, data, len);

    apr_bucket *b = apr_bucket_heap_create(block + sizeof word, len, zero_and_free, list);
    if (!b) {
        zero_and_free(block + sizeof word);
        ap_log_rerror(APLOG_MARK, APLOG_CRIT, status_enomem, r, "%s: failed to allocate memory for bucket", __func__);
        return status_enomem;
    }
    APR_BUCKET_INSERT_BEFORE(before, b);
    return APR_SUCCESS;
}

// ---------------------------------------------------------------------------
// The form filter

// What one request's filter keeps between the handler's reads: the body
// gathered so far, and then the rewritten body still to be handed up. The
// whole body is one form, checked once.
struct form_ctx {
    char *form;           // form_size heap bytes while gathering, else null
    apr_size_t count;     // body bytes in form
    apr_status_t failed;  // once non-zero, what every later read returns
    bool rewritten;       // out holds the rewritten body (and EOS)
    apr_bucket_brigade *out;
};

// A field's raw value inside the form buffer; null until the field is seen.
struct form_value {
    char *raw;
    std::size_t len;
};

struct form_fields {
    form_value username;
    form_value domain;
    form_value password;
    form_value result;
    bool ambiguous;  // more than one key that some parser reads as username or domain
};

// The call's decoded copies of form data.
struct form_secrets {
    decoded username;
    decoded domain;
    decoded password;
    decoded login;
};

void release_form(form_ctx *ctx)
{
    if (!ctx->form)
        return;
    scrub(ctx->form, form_size);
    std::free(ctx->form);
    ctx->form = nullptr;
}

apr_status_t release_form_cleanup(void *data)
{
    release_form(static_cast<form_ctx *>(data));
    return APR_SUCCESS;
}

void release_secrets(form_secrets *s)
{
    scrub_and_free(&s->username);
    scrub_and_free(&s->domain);
    scrub_and_free(&s->password);
    scrub_and_free(&s->login);
}

// Data of immortal, mmap and file buckets may be read-only memory; every
// other bucket's data is ours to overwrite.
bool bucket_data_writable(const apr_bucket *b)
{
    return !(APR_BUCKET_IS_IMMORTAL(b) || APR_BUCKET_IS_MMAP(b) || APR_BUCKET_IS_FILE(b));
}

apr_status_t fail(form_ctx *ctx, apr_status_t status)
{
    release_form(ctx);
    ctx->failed = status;
    return status;
}

// A key names a field only when its whole decoded text is the name.
bool is_field(const decoded &key, std::string_view name)
{
    return std::string_view(key.text, key.len) == name;
}

// Parsers differ in how leniently they read a key: up to a NUL (C strings),
// without the blanks around it, `name[...]` as the field's array, with
// brackets around it (`[name]`, Rack and qs), or without regard to letter
// case. A key that some parser reads as one of our fields, yet is not
// exactly the field, is treated the safe way for every parser: its password
// value blanked, its result value '0', and a user name or domain under it
// leaves the form unchecked.
bool may_read_as(const decoded &key, std::string_view name)
{
    std::string_view k(key.text, key.len);
    k.remove_prefix(std::min(k.find_first_not_of(" \t[]"), k.size()));
    k = k.substr(0, k.find_first_of(std::string_view("\0[]", 3)));
    k = k.substr(0, k.find_last_not_of(" \t") + 1);
    return k.size() == name.size() && strncasecmp(k.data(), name.data(), k.size()) == 0;
}

// %uXXXX is a character to some parsers and a NUL and text to ours: a key
// spelled so may be any field to the application.
bool has_unicode_escape(std::string_view raw)
{
    for (std::size_t at = raw.find('%'); at != std::string_view::npos; at = raw.find('%', at + 1))
        if (at + 1 < raw.size() && (raw[at + 1] == 'u' || raw[at + 1] == 'U'))
            return true;
    return false;
}

// Parsers disagree on a '%' that two hex digits do not follow (kept, dropped,
// or read with the non-digit as 0, as ours does), so a name holding one is
// not one name to all of them.
bool has_bad_escape(const form_value &value)
{
    const std::string_view raw(value.raw, value.len);
    for (std::size_t at = raw.find('%'); at != std::string_view::npos; at = raw.find('%', at + 1))
        if (at + 2 >= raw.size() || !std::isxdigit(static_cast<unsigned char>(raw[at + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(raw[at + 2])))
            return true;
    return false;
}

// Remembers a username or domain value; a second one makes the form one
// that is not checked, as applications differ on which of two they read.
// So does a raw ';' in the value, where some parsers end it (below).
void remember(form_fields *fields, form_value *field, const form_value &value)
{
    if (field->raw || std::memchr(value.raw, ';', value.len))
        fields->ambiguous = true;
    *field = value;
}

// What a key that is not exactly a field, but that some parser may read as
// one, does to the form: a user name or domain leaves it unchecked, a
// password is blanked, a result value starts with '0'.
void neutralise(const decoded &key, std::string_view raw_key, const form_value &value, form_fields *fields)
{
    if (may_read_as(key, "username") || may_read_as(key, "domain")) {
        fields->ambiguous = true;
    } else if (has_unicode_escape(raw_key)) {
        fields->ambiguous = true;
        std::memset(value.raw, '&', value.len);
    } else if (may_read_as(key, "password")) {
        std::memset(value.raw, '&', value.len);
    } else if (may_read_as(key, "result") && value.len > 0) {
        *value.raw = '0';
    }
}

// Perl's CGI.pm, Ruby's CGI.parse and Plack end a pair at a raw ';' as well
// as at '&'. Each piece of the pair at [pair, end) that such a parser reads
// as a pair of its own may be any field to it, whatever its key is to us:
// every piece behind a ';', and the piece before the first one when that
// ';' lies in our key (when it lies in our value, that piece has our key).
apr_status_t neutralise_semicolon_pairs(request_rec *r, char *pair, char *end, form_fields *fields)
{
    const auto span = [](const char *from, const char *to) { return static_cast<std::size_t>(to - from); };
    auto *semicolon = static_cast<char *>(std::memchr(pair, ';', span(pair, end)));
    if (!semicolon)
        return APR_SUCCESS;
    auto *eq = static_cast<char *>(std::memchr(pair, '=', span(pair, end)));
    for (char *piece = eq && eq < semicolon ? semicolon + 1 : pair; piece <= end;) {
        auto *piece_end = static_cast<char *>(std::memchr(piece, ';', span(piece, end)));
        if (!piece_end)
            piece_end = end;
        auto *piece_eq = static_cast<char *>(std::memchr(piece, '=', span(piece, piece_end)));
        char *key_end = piece_eq ? piece_eq : piece_end;
        char *value_start = piece_eq ? piece_eq + 1 : piece_end;

        decoded key = decode_span(r, piece, span(piece, key_end), 0);
        if (!key.text)
            return status_enomem;
        neutralise(key, std::string_view(piece, span(piece, key_end)), {value_start, span(value_start, piece_end)},
                   fields);
        scrub_and_free(&key);
        piece = piece_end + 1;
    }
    return APR_SUCCESS;
}

// Finds the four fields in the form buffer and blanks every `password`
// value after the first one at once; a non-empty `result` value starts as
// '0'. Every pair of the body counts: a NUL byte is data like any other, as
// the application may read it, so no pair behind one escapes the check.
apr_status_t parse_form(request_rec *r, char *form, apr_size_t count, form_fields *fields)
{
    *fields = {};
    char *const end = form + count;
    *end = '&';
    for (char *cursor = form; cursor <= end;) {
        auto *amp = static_cast<char *>(std::memchr(cursor, '&', static_cast<std::size_t>(end + 1 - cursor)));
        auto *eq = static_cast<char *>(std::memchr(cursor, '=', static_cast<std::size_t>(amp - cursor)));
        char *key_end = eq ? eq : amp;
        char *value_start = eq ? eq + 1 : amp;
        const form_value value = {value_start, static_cast<std::size_t>(amp - value_start)};

        decoded key = decode_span(r, cursor, static_cast<std::size_t>(key_end - cursor), 0);
        if (!key.text)
            return status_enomem;
        const bool password = is_field(key, "password");
        if (is_field(key, "username")) {
            remember(fields, &fields->username, value);
        } else if (is_field(key, "domain")) {
            remember(fields, &fields->domain, value);
        } else if (password) {
            if (!fields->password.raw)
                fields->password = value;
            else
                std::memset(value.raw, '&', value.len);
        } else if (is_field(key, "result") && value.len > 0) {
            fields->result = value;
            *value.raw = '0';
        } else {
            neutralise(key, std::string_view(cursor, static_cast<std::size_t>(key_end - cursor)), value, fields);
        }
        scrub_and_free(&key);
        // A password's value is blanked whole, whatever ';' pieces it holds.
        if (!password) {
            const apr_status_t rv = neutralise_semicolon_pairs(r, cursor, amp, fields);
            if (rv != APR_SUCCESS)
                return rv;
        }
        cursor = amp + 1;
    }
    return APR_SUCCESS;
}

// Checks the login name with the password under the child's lock and
// writes the result code. Returns the filter's status: 0 when the check ran,
// whatever it found.
apr_status_t authenticate(request_rec *r, const form_fields *fields, form_secrets *s)
{
    s->username = decode_span(r, fields->username.raw, fields->username.len, 0);
    if (!s->username.text)
        return status_enomem;
    s->domain = decode_span(r, fields->domain.raw, fields->domain.len, 0);
    if (!s->domain.text)
        return status_enomem;

    // A NUL would make the name checked differ from the name the
    // application reads.
    if (std::strlen(s->username.text) != s->username.len || std::strlen(s->domain.text) != s->domain.len) {
        ap_log_rerror(APLOG_MARK, APLOG_WARNING, status_einval, r,
                      "%s: NUL byte in user name or domain, not authenticated", filter_function);
        return APR_SUCCESS;
    }
    // So would an escape that parsers read differently, or a backslash in
    // the domain, which moves the line between domain and user name.
    if (has_bad_escape(fields->username) || has_bad_escape(fields->domain) ||
        std::memchr(s->domain.text, '\\', s->domain.len)) {
        ap_log_rerror(APLOG_MARK, APLOG_WARNING, status_einval, r,
                      "%s: bad escape in user name or domain, or backslash in domain, not authenticated",
                      filter_function);
        return APR_SUCCESS;
    }

    const std::size_t domain_len = s->domain.len;
    const std::size_t user_len = s->username.len;
    s->login = {static_cast<char *>(std::calloc(domain_len + user_len + 2, 1)), domain_len + user_len + 1};
    if (!s->login.text) {
        ap_log_rerror(APLOG_MARK, APLOG_CRIT, status_enomem, r, "%s: failed to allocate memory for domain\\user string",
                      filter_function);
        return status_enomem;
    }
    std::memcpy(s->login.text, s->domain.text, domain_len);
    s->login.text[domain_len] = '\\';
    std::memcpy(s->login.text + domain_len + 1, s->username.text, user_len);

    if (!lsaMutex) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, status_einval, r, "%s: mutex not initalized so cannot proceed",
                      filter_function);
        return status_einval;
    }
    apr_status_t rv = apr_thread_mutex_lock(lsaMutex);
    if (rv != APR_SUCCESS) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, r, "%s: apr_thread_mutex_lock failed", filter_function);
        return rv;
    }

    DWORD error = 0;
    apr_status_t status = APR_SUCCESS;
    if (!hLsaConnection) {
        error = LsaOpenServer(&hLsaConnection);
        status = check_lsa_error(r, &error);
        if (status != APR_SUCCESS) {
            error = lsa_internal;
            ap_log_rerror(APLOG_MARK, APLOG_ERR, status, r, "%s: Failed to initialize LSA", filter_function);
        }
    }
    // The account's own name, as the domain returned it: the typed name may
    // be another spelling of it (other case, the UPN).
    char account[account_size] = "";
    if (status == APR_SUCCESS) {
        error = LsaAuthenticateUser(hLsaConnection, s->login.text, s->password.text);
        status = check_lsa_error(r, &error);
        if (status == APR_SUCCESS && LsaGetCanonicalName(hLsaConnection, account, sizeof account) > sizeof account)
            account[0] = '\0';
    }

    rv = apr_thread_mutex_unlock(lsaMutex);
    if (rv != APR_SUCCESS) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, r, "%s: apr_thread_mutex_unlock failed", filter_function);
        return rv;
    }

    const char code = result_code(status, error);
    *fields->result.raw = code;
    if (code == '1' && account[0] != '\0') {
        const char *name = apr_pstrdup(r->pool, account);
        apr_table_setn(r->subprocess_env, account_variable, name);
        apr_table_setn(r->headers_in, account_header, name);
    }
    char shown[log_text_size(log_text_max)];
    escape_log_text(s->login.text, shown);
    ap_log_rerror(APLOG_MARK, APLOG_INFO, status, r, "%s: result for user <%s>: %c", filter_function, shown, code);
    scrub(shown, sizeof shown);
    return APR_SUCCESS;
}

// Parses the gathered form, checks the password and puts the rewritten body
// in front of the EOS already in ctx->out. The bucket comes from the
// connection's allocator: brigades made on the request pool before the
// filter ran may still hold it when that pool is destroyed.
apr_status_t check_form(request_rec *r, form_ctx *ctx, form_secrets *s)
{
    form_fields fields;
    apr_status_t rv = parse_form(r, ctx->form, ctx->count, &fields);
    if (rv != APR_SUCCESS)
        return rv;

    if (fields.password.raw) {
        s->password = decode_span(r, fields.password.raw, fields.password.len, 1);
        if (!s->password.text)
            return status_enomem;
        if (fields.ambiguous) {
            ap_log_rerror(
                APLOG_MARK, APLOG_WARNING, status_einval, r,
                "%s: username or domain given twice, or under a key some parser reads as one, not authenticated",
                filter_function);
        } else if (fields.username.raw && fields.domain.raw && fields.result.raw) {
            rv = authenticate(r, &fields, s);
            if (rv != APR_SUCCESS)
                return rv;
        }
    }

    return insert_bucket(r, ctx->out->bucket_alloc, APR_BRIGADE_FIRST(ctx->out), ctx->form, ctx->count);
}

// Reads from the filter below until EOS, copying the data into the form
// buffer and zeroing and deleting every data bucket read. Returns 0 once
// EOS is in ctx->out.
apr_status_t gather(ap_filter_t *f, form_ctx *ctx, apr_bucket_brigade *bb, apr_read_type_e block)
{
    request_rec *r = f->r;
    for (;;) {
        // Never ask for more than it takes to see that the form is too large.
        const apr_off_t want = static_cast<apr_off_t>(data_limit + 1 - ctx->count);
        apr_status_t rv = ap_get_brigade(f->next, bb, AP_MODE_READBYTES, block, want);
        // A non-blocking read may also say "nothing yet" with an empty
        // brigade; either way the next call picks up where this one stopped.
        if (APR_STATUS_IS_EAGAIN(rv) || (rv == APR_SUCCESS && block == APR_NONBLOCK_READ && APR_BRIGADE_EMPTY(bb))) {
            ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r, "%s: input filter returning EAGAIN", filter_function);
            return status_eagain;
        }
        if (rv != APR_SUCCESS) {
            ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, r, "%s: ap_get_brigade failed", filter_function);
            return fail(ctx, rv);
        }

        bool too_large = false;
        apr_bucket *b = APR_BRIGADE_FIRST(bb);
        while (b != APR_BRIGADE_SENTINEL(bb) && !APR_BUCKET_IS_EOS(b)) {
            const char *data = nullptr;
            apr_size_t len = 0;
            rv = apr_bucket_read(b, &data, &len, APR_BLOCK_READ);
            // Only now: a file, pipe or socket bucket puts what it did not
            // read into a new bucket behind itself.
            apr_bucket *next = APR_BUCKET_NEXT(b);
            if (rv != APR_SUCCESS) {
                ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, r, "%s: apr_bucket_read failed", filter_function);
                apr_bucket_delete(b);
                return fail(ctx, rv);
            }
            if (len == 0) {
                ap_log_rerror(APLOG_MARK, APLOG_WARNING, status_einval, r, "%s: invalid bucket length: %d",
                              filter_function, static_cast<int>(len));
                apr_bucket_delete(b);
                b = next;
                continue;
            }
            if (!too_large) {
                if (len > data_limit || ctx->count + len > data_limit) {
                    too_large = true;
                } else {
                    std::memcpy(ctx->form + ctx->count, data, len);
                    ctx->count += len;
                }
            }
            if (bucket_data_writable(b))
                scrub(const_cast<char *>(data), len);
            apr_bucket_delete(b);
            b = next;
        }

        if (too_large) {
            ap_log_rerror(APLOG_MARK, APLOG_WARNING, status_enospc, r, "%s: request too large", filter_function);
            return fail(ctx, status_enospc);
        }
        if (b != APR_BRIGADE_SENTINEL(bb)) {
            // EOS, and whatever follows it, goes up behind the body.
            apr_brigade_split_ex(bb, b, ctx->out);
            return APR_SUCCESS;
        }
    }
}

// Moves (or, for a speculative read, copies) up to readbytes of the
// rewritten body into bb; EOS follows the last data.
void hand_up(form_ctx *ctx, apr_bucket_brigade *bb, ap_input_mode_t mode, apr_off_t readbytes)
{
    apr_bucket *after = APR_BRIGADE_SENTINEL(ctx->out);
    if (mode != AP_MODE_EXHAUSTIVE && apr_brigade_partition(ctx->out, readbytes, &after) != APR_SUCCESS)
        after = APR_BRIGADE_SENTINEL(ctx->out);
    // Metadata (EOS) goes with the last data.
    while (after != APR_BRIGADE_SENTINEL(ctx->out) && APR_BUCKET_IS_METADATA(after))
        after = APR_BUCKET_NEXT(after);

    for (apr_bucket *b = APR_BRIGADE_FIRST(ctx->out); b != after;) {
        apr_bucket *next = APR_BUCKET_NEXT(b);
        if (mode == AP_MODE_SPECULATIVE) {
            apr_bucket *copy = nullptr;
            if (apr_bucket_copy(b, &copy) == APR_SUCCESS)
                APR_BRIGADE_INSERT_TAIL(bb, copy);
        } else {
            APR_BUCKET_REMOVE(b);
            APR_BRIGADE_INSERT_TAIL(bb, b);
        }
        b = next;
    }
}

// apr_table_do over the request's Content-Encoding lines: clears *identity
// at the first value that is not "identity".
int identity_coding(void *identity, const char *, const char *value)
{
    std::string_view coding(value);
    coding.remove_prefix(std::min(coding.find_first_not_of(" \t"), coding.size()));
    coding = coding.substr(0, coding.find_last_not_of(" \t") + 1);
    if (coding.size() == 8 && strncasecmp(coding.data(), "identity", 8) == 0)
        return 1;
    *static_cast<bool *>(identity) = false;
    return 0;
}

// A body in a content coding (gzip, deflate, ...) is not the form the filter
// reads, yet frameworks behind it decode such bodies (Express's body-parser
// does) and would read a form that nobody checked.
bool body_in_identity(request_rec *r)
{
    bool identity = true;
    apr_table_do(identity_coding, &identity, r->headers_in, "Content-Encoding", nullptr);
    return identity;
}

// The checks made before a byte of the body is read, and the context that
// gathers it. Returns 0 with *out set, or the filter's status.
apr_status_t start_form(ap_filter_t *f, form_ctx **out)
{
    request_rec *r = f->r;
    const char *type = apr_table_get(r->headers_in, "Content-Type");
    if (!type) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, status_einval, r, "%s: no content type in headers", filter_function);
        return status_einval;
    }
    if (strcasecmp(type, form_content_type) != 0) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, status_einval, r,
                      "%s: content type isn't application/x-www-form-urlencoded", filter_function);
        return status_einval;
    }
    if (!body_in_identity(r)) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, status_einval, r, "%s: content coding isn't identity", filter_function);
        return status_einval;
    }
    auto *form = static_cast<char *>(std::calloc(form_size, 1));
    if (!form) {
        ap_log_rerror(APLOG_MARK, APLOG_CRIT, status_enomem, r, "%s: failed to allocate memory for form buffer",
                      filter_function);
        return status_enomem;
    }
    auto *ctx = static_cast<form_ctx *>(apr_pcalloc(r->pool, sizeof(form_ctx)));
    ctx->form = form;
    ctx->out = apr_brigade_create(r->pool, f->c->bucket_alloc);
    apr_pool_cleanup_register(r->pool, ctx, release_form_cleanup, apr_pool_cleanup_null);
    *out = ctx;
    return APR_SUCCESS;
}

// Gathers the whole body, checks the form once and keeps the rewritten body
// in ctx->out.
apr_status_t take_form(ap_filter_t *f, form_ctx *ctx, apr_bucket_brigade *bb, apr_read_type_e block)
{
    apr_status_t rv = gather(f, ctx, bb, block);
    if (rv != APR_SUCCESS)
        return rv;
    if (ctx->count > 0) {
        form_secrets secrets{};
        rv = check_form(f->r, ctx, &secrets);
        release_secrets(&secrets);
        if (rv != APR_SUCCESS)
            return fail(ctx, rv);
    }
    release_form(ctx);
    ctx->rewritten = true;
    return APR_SUCCESS;
}

// Ends the request in the filter's init: every later read of the body
// fails with status, and the connection closes after the answer, so that
// Apache does not read (through this filter) and discard a body it refused.
int refuse_request(ap_filter_t *f, apr_status_t status, int http_status)
{
    auto *ctx = static_cast<form_ctx *>(f->ctx);
    if (!ctx) {
        ctx = static_cast<form_ctx *>(apr_pcalloc(f->r->pool, sizeof *ctx));
        f->ctx = ctx;
    }
    fail(ctx, status);
    f->r->connection->keepalive = AP_CONN_CLOSE;
    return http_status;
}

}  // namespace

// ---------------------------------------------------------------------------
// LSA connection and error reporting

DWORD MapErrorCode(DWORD error)
{
    switch (error) {
    case ENETUNREACH:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return lsa_domain_offline;
    default:
        return error;
    }
}

// Returns 0 for error number 0, else logs the error and returns
// APR_EGENERAL; *error becomes the mapped number either way.
apr_status_t check_lsa_error(request_rec *r, DWORD *error)
{
    if (*error == 0)
        return APR_SUCCESS;

    if (gpfnLogger && gLsaMaxLogLevel > LSA_LOG_LEVEL_VERBOSE) {
        const char *name = LwWin32ExtErrorToName(*error);
        LsaLogMessage(gpfnLogger, ghLog, LSA_LOG_LEVEL_DEBUG, "[%s() %s:%d] Error code: %d (symbol: %s)", __func__,
                      __FILE__, __LINE__, static_cast<int>(*error), name ? name : "<null>");
    }

    *error = MapErrorCode(*error);
    // A wrong password or a locked account is the user's doing, not a fault
    // of this server: it is told at notice level, without APR's "Internal
    // error" text. Whatever the domain or the library failed at stays an error.
    const bool users_doing = failure_result_code(*error) != 'E';
    const int level = users_doing ? APLOG_NOTICE : APLOG_ERR;
    const apr_status_t shown = users_doing ? APR_SUCCESS : APR_EGENERAL;

    bool logged = false;
    if (const std::size_t size = LwGetErrorString(*error, nullptr, 0)) {
        PVOID text = nullptr;
        if (LwAllocateMemory(static_cast<DWORD>(size), &text) == 0 && text) {
            auto *message = static_cast<PSTR>(text);
            if (LwGetErrorString(*error, message, size) == size && message[0] != '\0') {
                ap_log_rerror(APLOG_MARK, level, shown, r, "%s: LSA error (%d): %s", __func__, static_cast<int>(*error),
                              message);
                logged = true;
            }
            LwFreeString(message);
        }
    }
    if (!logged)
        ap_log_rerror(APLOG_MARK, level, shown, r, "%s: LSA error (%d)", __func__, static_cast<int>(*error));
    return APR_EGENERAL;
}

// ---------------------------------------------------------------------------
// Form value decoding and the rewritten body, as the tests reach them

// Decodes one raw key or value ('+' is a space, "%XY" a byte) into a new
// heap string; the raw text ends at the first '&' or NUL. With wipe set the
// raw text is overwritten with '&' in place, which keeps the body's length.
// Returns null when out of memory.
char *decode(request_rec *r, char *raw, int wipe)
{
    return decode_span(r, raw, raw_length(raw), wipe).text;
}

// Frees a sized buffer: the payload's length is in the 32-bit word in front
// of it.
void zero_and_free(void *data)
{
    auto *payload = static_cast<char *>(data);
    std::uint32_t len = 0;
    std::memcpy(&len, payload - sizeof len, sizeof len);
    scrub(payload, len);
    std::free(payload - sizeof len);
}

// The filter: gathers the whole body (resuming after EAGAIN), checks it once
// and hands the rewritten body up in the pieces the callers ask for.
// Failures are returned as APR statuses; a failed authentication is no
// failure (status 0, the outcome is in the body).
apr_status_t mod_auth_orvane_form_if(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                     apr_read_type_e block, apr_off_t readbytes)
{
    request_rec *r = f->r;
    ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r, "%s: input filter called", __func__);

    auto *ctx = static_cast<form_ctx *>(f->ctx);
    if (!ctx) {
        const apr_status_t rv = start_form(f, &ctx);
        if (rv != APR_SUCCESS)
            return rv;
        f->ctx = ctx;
    }

    if (ctx->failed != APR_SUCCESS)
        return ctx->failed;

    if (!ctx->rewritten) {
        const apr_status_t rv = take_form(f, ctx, bb, block);
        if (rv != APR_SUCCESS)
            return rv;
    }

    if (APR_BRIGADE_EMPTY(ctx->out))
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(bb->bucket_alloc));
    else
        hand_up(ctx, bb, mode, readbytes);

    ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r, "%s: input filter exit with success", __func__);
    return APR_SUCCESS;
}

namespace {

// Runs before the handler, so before a CGI application starts; returns OK
// or the HTTP status that ends the request there.
// - A body in a content coding is refused with 415 (and "Accept-Encoding:
//   identity", as RFC 7694 has it); the filter itself would refuse it too.
// - A body without a length (chunked) is gathered and checked here, and the
//   request then carries the length of the rewritten body instead of its
//   Transfer-Encoding, as mod_request does for a body it kept: a CGI
//   application learns the length only from CONTENT_LENGTH, and without it
//   reads no form. The handler's reads get the rewritten body as usual.
int mod_auth_orvane_form_if_init(ap_filter_t *f)
{
    request_rec *r = f->r;
    const bool has_length = apr_table_get(r->headers_in, "Content-Length") != nullptr;
    if (!has_length && !apr_table_get(r->headers_in, "Transfer-Encoding"))
        return OK;  // no body

    if (!body_in_identity(r)) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, status_einval, r, "%s: content coding isn't identity", filter_function);
        apr_table_setn(r->err_headers_out, "Accept-Encoding", "identity");
        return refuse_request(f, status_einval, HTTP_UNSUPPORTED_MEDIA_TYPE);
    }
    if (has_length)
        return OK;

    form_ctx *ctx = nullptr;
    apr_status_t rv = start_form(f, &ctx);
    if (rv == APR_SUCCESS) {
        f->ctx = ctx;
        apr_bucket_brigade *bb = apr_brigade_create(r->pool, f->c->bucket_alloc);
        rv = take_form(f, ctx, bb, APR_BLOCK_READ);
        apr_brigade_destroy(bb);
    }
    if (rv != APR_SUCCESS)
        return refuse_request(f, rv, ap_map_http_request_error(rv, HTTP_BAD_REQUEST));
    apr_table_unset(r->headers_in, "Transfer-Encoding");
    apr_table_setn(r->headers_in, "Content-Length", apr_off_t_toa(r->pool, static_cast<apr_off_t>(ctx->count)));
    return OK;
}

// ---------------------------------------------------------------------------
// Child process lifetime and hook registration

apr_status_t mod_auth_orvane_form_cleanup(void *)
{
    if (hLsaConnection)
        LsaCloseServer(hLsaConnection);
    if (lsaMutex)
        apr_thread_mutex_destroy(lsaMutex);
    return APR_SUCCESS;
}

void mod_auth_orvane_form_init(apr_pool_t *pchild, server_rec *)
{
    ap_log_perror(APLOG_MARK, APLOG_NOTICE, 0, pchild, "%s: initializing globals", __func__);
    const apr_status_t rv = apr_thread_mutex_create(&lsaMutex, APR_THREAD_MUTEX_UNNESTED, pchild);
    if (rv != APR_SUCCESS) {
        lsaMutex = nullptr;
        ap_log_perror(APLOG_MARK, APLOG_ERR, rv, pchild, "%s: failed to initialize mutex", __func__);
        return;
    }
    apr_pool_cleanup_register(pchild, nullptr, mod_auth_orvane_form_cleanup, apr_pool_cleanup_null);
    ap_log_perror(APLOG_MARK, APLOG_NOTICE, 0, pchild, "%s: initialization done", __func__);
}

ap_filter_rec_t *form_filter_record = nullptr;

// Checks a login form before the handler starts, so that the account's name
// (account_variable, account_header) is there when it does: CGI programs get
// their environment, and mod_proxy builds the request's head, before they
// read the body. A speculative read of the filter gathers and checks the
// whole form and keeps the rewritten body for the handler's reads; its
// failure comes back to the handler's first read. A body without a length
// or in a content coding is left to the filter's init, which runs next.
void check_before_handler(request_rec *r)
{
    for (ap_filter_t *f = r->input_filters; f != nullptr; f = f->next) {
        if (f->frec == form_filter_record && f->r == r) {
            // Only the filter names the account, never the client; nor with
            // an underscore, which some servers behind a proxy read as '-'.
            apr_table_unset(r->headers_in, account_header);
            apr_table_unset(r->headers_in, account_header_underscore);
            apr_table_unset(r->subprocess_env, account_variable);
            if (!apr_table_get(r->headers_in, "Content-Length") || !body_in_identity(r))
                return;
            apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
            ap_get_brigade(f, bb, AP_MODE_SPECULATIVE, APR_BLOCK_READ, 1);
            apr_brigade_destroy(bb);
            return;
        }
    }
}

void mod_auth_orvane_form_register_hooks(apr_pool_t *p)
{
    // Debug, not notice: every apache2ctl call registers the hooks, and an
    // administrator's terminal has no use for the line.
    ap_log_perror(APLOG_MARK, APLOG_DEBUG, 0, p, "%s: registering mod_auth_orvane_form input filter", __func__);
    ap_hook_child_init(mod_auth_orvane_form_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    form_filter_record =
        ap_register_input_filter(filter_name, mod_auth_orvane_form_if, mod_auth_orvane_form_if_init, AP_FTYPE_RESOURCE);
    // After the core has added the configured filters.
    ap_hook_insert_filter(check_before_handler, nullptr, nullptr, APR_HOOK_REALLY_LAST);
}

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA auth_orvane_form_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,  // create_dir_config
    nullptr,  // merge_dir_config
    nullptr,  // create_server_config
    nullptr,  // merge_server_config
    nullptr,  // cmds
    mod_auth_orvane_form_register_hooks,
    AP_MODULE_FLAG_NONE,
};
}
