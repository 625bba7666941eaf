#include "gss_fixture.h"

#include <apr_general.h>
#include <apr_strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace gss_test {
namespace {

const bool apr_ready = [] {
    apr_initialize();
    std::atexit(apr_terminate);
    return true;
}();

// The module's error sites of a request; every other site a request logs
// from is a debug line.
constexpr log_site error_sites[] = {
    log_site::no_authorization_parameter,
    log_site::input_buffer_failed,
    log_site::output_buffer_failed,
    log_site::accept_failed,
    log_site::no_client_name,
    log_site::display_name_failed,
    log_site::display_name_null,
    log_site::acquire_cred_failed,
    log_site::not_ntlm,
    log_site::client_name_not_domain_user,
    log_site::channel_binding_needs_tls,
    log_site::answer_without_channel_bindings,
};

request_rec *blank_request(apr_pool_t *parent, conn_rec *c, server_rec *s, const ap_logconf *log)
{
    apr_pool_t *pool;
    apr_pool_create(&pool, parent);
    auto *r = static_cast<request_rec *>(apr_pcalloc(pool, sizeof(request_rec)));
    r->pool = pool;
    r->connection = c;
    r->server = s;
    r->log = log;
    r->headers_in = apr_table_make(pool, 4);
    r->headers_out = apr_table_make(pool, 4);
    r->err_headers_out = apr_table_make(pool, 4);
    r->subprocess_env = apr_table_make(pool, 4);
    r->notes = apr_table_make(pool, 4);
    r->method = "GET";
    return r;
}

}  // namespace

const char *const server_cert = "-----BEGIN CERTIFICATE-----\n"
                                "MIIBfDCCASGgAwIBAgIUeBVV6/HBZJkrOHhf0Uu6XhL0UT8wCgYIKoZIzj0EAwIw\n"
                                "EjEQMA4GA1UEAwwHc3RhbmRpbjAgFw0yNjEyMDgxMjM5MjdaGA8yMTI2MTExNDEy\n"
                                "MzkyN1owEjEQMA4GA1UEAwwHc3RhbmRpbjBZMBMGByqGSM49AgEGCCqGSM49AwEH\n"
                                "A0IABK215/xRReMkxUUhgkZKucTugfwHI1ZjelIx8ZOxjfKNiGqoltL5Oj66fvBl\n"
                                "SPHJLNYm1bquWE9zCrD8NqbvfNejUzBRMB0GA1UdDgQWBBSNtN5Mcu4ULc8PxaKg\n"
                                "ZO6g8BKnNjAfBgNVHSMEGDAWgBSNtN5Mcu4ULc8PxaKgZO6g8BKnNjAPBgNVHRMB\n"
                                "Af8EBTADAQH/MAoGCCqGSM49BAMCA0kAMEYCIQDyYxvC73Bkk/06G/vsELaeR/n1\n"
                                "tUsVZFaysIHwYDmflwIhALocAPVQR/TQRZf4AgyyIDvjqmQ0NJg5KGdNtz1g7iSJ\n"
                                "-----END CERTIFICATE-----\n";
const std::string server_bindings =
    "tls-server-end-point:" + std::string("\xf7\x11\xbb\xbf\x6c\x36\x70\x61\xd6\xa6\x45\xc4\x1c\x3e\xb6\x75"
                                          "\x68\xb5\x58\x7f\xf1\x93\x2a\xed\x72\x6e\xec\x0d\x8e\x8b\x6b\x7e",
                                          32);

void open_connection(connection *conn)
{
    (void)apr_ready;
    std::memset(conn, 0, sizeof *conn);
    apr_pool_create(&conn->pool, nullptr);
    conn->log.level = APLOG_TRACE8;
    conn->server.log = conn->log;
    conn->c.pool = conn->pool;
    conn->c.base_server = &conn->server;
    conn->c.log = &conn->log;
    conn->c.bucket_alloc = apr_bucket_alloc_create(conn->pool);
}

void close_connection(connection *conn)
{
    if (conn->pool)
        apr_pool_destroy(conn->pool);
    conn->pool = nullptr;
}

request_rec *new_request(connection *conn, const char *header, const char *value)
{
    // The event MPM gives a kept-alive connection a new id whenever another
    // worker thread serves its next request; nothing may depend on it.
    ++conn->c.id;
    request_rec *r = blank_request(conn->pool, &conn->c, &conn->server, &conn->log);
    if (value)
        apr_table_set(r->headers_in, header, value);
    return r;
}

request_rec *new_subrequest(request_rec *main)
{
    request_rec *r = blank_request(main->pool, main->connection, main->server, main->log);
    r->main = main;
    r->proxyreq = main->proxyreq;
    r->headers_in = apr_table_copy(r->pool, main->headers_in);
    return r;
}

request_rec *new_redirect(request_rec *prev)
{
    request_rec *r = new_subrequest(prev);
    r->main = nullptr;
    r->prev = prev;
    return r;
}

void end_request(request_rec *r)
{
    apr_pool_destroy(r->pool);
}

int run_hook(request_rec *r)
{
    auto &hooks = standin::auth_hooks();
    if (hooks.check_user_ids.empty())
        auth_orvane_gss_module.register_hooks(nullptr);
    return hooks.check_user_ids.front().func(r);
}

const char *configure(request_rec *r, const std::vector<directive> &directives)
{
    const module &m = auth_orvane_gss_module;
    void *config = m.create_dir_config(r->pool, nullptr);
    cmd_parms parms{};
    parms.pool = r->pool;
    parms.temp_pool = r->pool;
    for (const auto &[name, argument] : directives) {
        const command_rec *cmd = m.cmds;
        while (cmd->name != nullptr && strcasecmp(cmd->name, name) != 0)
            ++cmd;
        if (cmd->name == nullptr)
            return "no such directive";
        // The core calls a handler with the parameters of its kind.
        const auto func = reinterpret_cast<void (*)()>(cmd->func);
        const char *error =
            cmd->args_how == FLAG
                ? reinterpret_cast<const char *(*)(cmd_parms *, void *, int)>(func)(&parms, config,
                                                                                    strcasecmp(argument, "On") == 0)
                : reinterpret_cast<const char *(*)(cmd_parms *, void *, const char *)>(func)(&parms, config, argument);
        if (error != nullptr)
            return error;
    }
    // Outside a server the module's index stays -1, so its slot is the one
    // just before the vector that the request points at.
    auto **slots = static_cast<void **>(apr_pcalloc(r->pool, 2 * sizeof(void *)));
    slots[0] = config;
    r->per_dir_config = reinterpret_cast<ap_conf_vector_t *>(slots + 1);
    return nullptr;
}

std::vector<std::string> values(const apr_table_t *table, const char *header)
{
    std::vector<std::string> found;
    const apr_array_header_t *entries = apr_table_elts(table);
    const auto *e = reinterpret_cast<const apr_table_entry_t *>(entries->elts);
    for (int i = 0; i < entries->nelts; ++i)
        if (strcasecmp(e[i].key, header) == 0)
            found.emplace_back(e[i].val);
    return found;
}

std::string logged_lines()
{
    std::string text;
    for (const auto &line : standin::logged())
        text += (text.empty() ? "" : " ") + std::to_string(line.line);
    return text;
}

std::string sites(std::initializer_list<log_site> list)
{
    std::string text;
    for (const log_site site : list)
        text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(site));
    return text;
}

bool log_lines_well_formed()
{
    return std::all_of(standin::logged().begin(), standin::logged().end(), [](const auto &line) {
        const bool error = std::find(std::begin(error_sites), std::end(error_sites),
                                     static_cast<log_site>(line.line)) != std::end(error_sites);
        return line.file == "src/mod_auth_orvane_gss.cpp" && line.status == 0 &&
               line.level == (error ? APLOG_ERR : APLOG_DEBUG);
    });
}

}  // namespace gss_test
