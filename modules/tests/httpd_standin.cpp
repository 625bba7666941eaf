// Stand-in definitions of the httpd core calls our modules make; see the
// header. The calls behave as the core's do where a module could tell.
#include "httpd_standin.h"

#include <http_protocol.h>

#include <apr_strings.h>
#include <http_request.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace standin {
namespace {

std::mutex log_mutex;
std::vector<log_line> lines;
std::vector<registered_filter> filters;
std::vector<registered_hook> hooks;
std::vector<void (*)(request_rec *)> insert_hooks;

void capture(const char *file, int line, int level, apr_status_t status, const char *fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    const std::lock_guard<std::mutex> lock(log_mutex);
    lines.push_back({level & APLOG_LEVELMASK, status, std::move(text), file ? file : "", line});
}

}  // namespace

const std::vector<log_line> &logged()
{
    return lines;
}

void clear_log()
{
    const std::lock_guard<std::mutex> lock(log_mutex);
    lines.clear();
}

const std::vector<registered_filter> &input_filters()
{
    return filters;
}

const std::vector<registered_hook> &child_inits()
{
    return hooks;
}

const std::vector<void (*)(request_rec *)> &insert_filters()
{
    return insert_hooks;
}

void clear_registrations()
{
    for (auto &f : filters)
        delete f.rec;
    filters.clear();
    hooks.clear();
    insert_hooks.clear();
}

void make_request(request *req, apr_pool_t *parent)
{
    std::memset(req, 0, sizeof *req);
    apr_pool_create(&req->pool, parent);
    req->log.level = APLOG_TRACE8;
    req->log.module_levels = nullptr;

    req->server.log = req->log;
    req->server.process = nullptr;

    req->connection.pool = req->pool;
    req->connection.base_server = &req->server;
    req->connection.bucket_alloc = apr_bucket_alloc_create(req->pool);
    req->connection.log = &req->log;

    req->r.pool = req->pool;
    req->r.connection = &req->connection;
    req->r.server = &req->server;
    req->r.log = &req->log;
    req->r.headers_in = apr_table_make(req->pool, 8);
    req->r.headers_out = apr_table_make(req->pool, 8);
    req->r.err_headers_out = apr_table_make(req->pool, 8);
    req->r.subprocess_env = apr_table_make(req->pool, 8);
    req->r.notes = apr_table_make(req->pool, 8);
    req->r.method = "POST";
    req->r.uri = apr_pstrdup(req->pool, "/login");
}

void destroy_request(request *req)
{
    if (req->pool)
        apr_pool_destroy(req->pool);
    req->pool = nullptr;
}

// --- form module: the input filter chain ---

namespace {

apr_status_t call_below(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode, apr_read_type_e block,
                        apr_off_t readbytes)
{
    auto *chain = static_cast<filter_chain *>(f->ctx);
    return chain->below_func(chain->below_data, bb, mode, block, readbytes);
}

}  // namespace

void make_filter_chain(filter_chain *chain, request *req, ap_in_filter_func func, below_fn below_func, void *below_data)
{
    std::memset(chain, 0, sizeof *chain);
    chain->below_func = below_func;
    chain->below_data = below_data;

    chain->top_rec.name = "ORVANE_CHECK_PASSWORD";
    chain->top_rec.filter_func.in_func = func;
    chain->top_rec.ftype = AP_FTYPE_RESOURCE;
    chain->below_rec.name = "TEST_BELOW";
    chain->below_rec.filter_func.in_func = call_below;
    chain->below_rec.ftype = AP_FTYPE_PROTOCOL;

    chain->below.frec = &chain->below_rec;
    chain->below.ctx = chain;
    chain->below.r = &req->r;
    chain->below.c = &req->connection;

    chain->top.frec = &chain->top_rec;
    chain->top.next = &chain->below;
    chain->top.r = &req->r;
    chain->top.c = &req->connection;
}

}  // namespace standin

// The core's entry points, with the core's C linkage from the headers.

AP_DECLARE(void)
ap_log_rerror_(const char *file, int line, int, int level, apr_status_t status, const request_rec *, const char *fmt,
               ...)
{
    va_list args;
    va_start(args, fmt);
    standin::capture(file, line, level, status, fmt, args);
    va_end(args);
}

AP_DECLARE(void)
ap_log_perror_(const char *file, int line, int, int level, apr_status_t status, apr_pool_t *, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    standin::capture(file, line, level, status, fmt, args);
    va_end(args);
}

AP_DECLARE(void)
ap_log_error_(const char *file, int line, int, int level, apr_status_t status, const server_rec *, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    standin::capture(file, line, level, status, fmt, args);
    va_end(args);
}

AP_DECLARE(void) ap_hook_child_init(ap_HOOK_child_init_t *pf, const char *const *, const char *const *, int nOrder)
{
    standin::hooks.push_back({pf, nOrder});
}

AP_DECLARE(void) ap_hook_insert_filter(ap_HOOK_insert_filter_t *pf, const char *const *, const char *const *, int)
{
    standin::insert_hooks.push_back(pf);
}

AP_DECLARE(ap_filter_rec_t *)
ap_register_input_filter(const char *name, ap_in_filter_func filter_func, ap_init_filter_func filter_init,
                         ap_filter_type ftype)
{
    auto *rec = new ap_filter_rec_t{};
    rec->name = name;
    rec->filter_func.in_func = filter_func;
    rec->filter_init_func = filter_init;
    rec->ftype = ftype;
    standin::filters.push_back({name, filter_func, rec});
    return rec;
}

AP_DECLARE(apr_status_t)
ap_get_brigade(ap_filter_t *filter, apr_bucket_brigade *bucket, ap_input_mode_t mode, apr_read_type_e block,
               apr_off_t readbytes)
{
    if (!filter)
        return AP_NOBODY_READ;
    return filter->frec->filter_func.in_func(filter, bucket, mode, block, readbytes);
}

// As the core maps a filter's status when its handler reads the body.
AP_DECLARE(int) ap_map_http_request_error(apr_status_t rv, int status)
{
    switch (rv) {
    case AP_FILTER_ERROR:
        return AP_FILTER_ERROR;
    case APR_ENOSPC:
        return HTTP_REQUEST_ENTITY_TOO_LARGE;
    case APR_ENOTIMPL:
        return HTTP_NOT_IMPLEMENTED;
    case APR_TIMEUP:
    case APR_ETIMEDOUT:
        return HTTP_REQUEST_TIME_OUT;
    default:
        return status;
    }
}

// --- gss module: authentication hooks and request facts ---

#include <apr_lib.h>
#include <string_view>
#include <apr_strings.h>
#include <http_core.h>
#include <http_request.h>

namespace standin {
namespace {
registered_auth_hooks auth_registrations;
const char *configured_auth_type = nullptr;
const char *tls_server_cert = nullptr;
}  // namespace

registered_auth_hooks &auth_hooks()
{
    return auth_registrations;
}

void set_auth_type(const char *type)
{
    configured_auth_type = type;
}

void set_tls(const char *server_cert_pem)
{
    tls_server_cert = server_cert_pem;
}

}  // namespace standin

AP_DECLARE(void) ap_hook_post_config(ap_HOOK_post_config_t *pf, const char *const *, const char *const *, int nOrder)
{
    standin::auth_registrations.post_configs.push_back({pf, nOrder});
}

AP_DECLARE(void)
ap_hook_check_user_id(ap_HOOK_check_user_id_t *pf, const char *const *, const char *const *, int nOrder)
{
    standin::auth_registrations.check_user_ids.push_back({pf, nOrder});
}

AP_DECLARE(void) ap_add_version_component(apr_pool_t *, const char *component)
{
    standin::auth_registrations.version_components.emplace_back(component);
}

AP_DECLARE(const char *) ap_auth_type(request_rec *)
{
    return standin::configured_auth_type;
}

AP_DECLARE(int) ap_is_initial_req(request_rec *r)
{
    return r->main == nullptr && r->prev == nullptr;
}

// The word ends at the first white space; the cursor then skips the white
// space after it.
AP_DECLARE(char *) ap_getword_white(apr_pool_t *p, const char **line)
{
    const char *end = *line;
    while (*end != '\0' && !apr_isspace(*end))
        ++end;
    char *word = apr_pstrmemdup(p, *line, static_cast<apr_size_t>(end - *line));
    while (apr_isspace(*end))
        ++end;
    *line = end;
    return word;
}

#include <http_ssl.h>

AP_DECLARE(int) ap_ssl_conn_is_ssl(conn_rec *)
{
    return standin::tls_server_cert != nullptr;
}

AP_DECLARE(const char *) ap_ssl_var_lookup(apr_pool_t *, server_rec *, conn_rec *, request_rec *, const char *name)
{
    return std::string_view(name) == "SSL_SERVER_CERT" ? standin::tls_server_cert : nullptr;
}
