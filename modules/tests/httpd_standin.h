// Stand-in for the few httpd core calls that our modules make, so that the
// module sources can be linked into test programs with real APR (pools,
// brigades, buckets, mutexes) and no server. Each module's tests add the
// calls they need in a section of their own in httpd_standin.cpp.
#pragma once

#include <httpd.h>
#include <http_config.h>
#include <http_log.h>
#include <util_filter.h>

#include <string>
#include <vector>

namespace standin {

// One line that a module handed to ap_log_rerror_/ap_log_perror_/ap_log_error_.
struct log_line {
    int level;
    apr_status_t status;
    std::string text;
    std::string file;
    int line;
};

// Every line logged since the last clear_log(), in order.
const std::vector<log_line> &logged();
void clear_log();

// --- shared: registrations a module makes from its register_hooks ---

struct registered_filter {
    std::string name;
    ap_in_filter_func func;
    ap_filter_rec_t *rec;
};
const std::vector<registered_filter> &input_filters();

using child_init_fn = void (*)(apr_pool_t *, server_rec *);
struct registered_hook {
    child_init_fn func;
    int order;
};
const std::vector<registered_hook> &child_inits();
// The form module's insert-filter hooks (functions of request_rec *).
const std::vector<void (*)(request_rec *)> &insert_filters();

void clear_registrations();

// A request as the core would hand it to a filter or hook: server,
// connection (with its bucket allocator) and request records on one pool,
// logging at every level.
struct request {
    apr_pool_t *pool;  // plays the request pool and owns the rest
    server_rec server;
    conn_rec connection;
    request_rec r;
    ap_logconf log;
};

// Fills req on a new pool (child of parent, or a root pool when null).
void make_request(request *req, apr_pool_t *parent);
void destroy_request(request *req);

// --- form module: the input filter chain ---

// The filter below ours: what ap_get_brigade(f->next, ...) calls. The
// test's function fills bb as the filter below would.
using below_fn = apr_status_t (*)(void *data, apr_bucket_brigade *bb, ap_input_mode_t mode, apr_read_type_e block,
                                  apr_off_t readbytes);

struct filter_chain {
    ap_filter_rec_t top_rec;
    ap_filter_rec_t below_rec;
    ap_filter_t top;    // the filter under test: f
    ap_filter_t below;  // f->next
    below_fn below_func;
    void *below_data;
};

// Links top (running func) over a below filter that calls below_func.
void make_filter_chain(filter_chain *chain, request *req, ap_in_filter_func func, below_fn below_func,
                       void *below_data);

// --- gss module: authentication hooks and request facts ---

using check_user_id_fn = int (*)(request_rec *);
using post_config_fn = int (*)(apr_pool_t *, apr_pool_t *, apr_pool_t *, server_rec *);
template <typename Fn> struct registered_fn {
    Fn func;
    int order;
};
struct registered_auth_hooks {
    std::vector<registered_fn<post_config_fn>> post_configs;
    std::vector<registered_fn<check_user_id_fn>> check_user_ids;
    std::vector<std::string> version_components;
};
registered_auth_hooks &auth_hooks();

// What ap_auth_type answers for every request, as the AuthType directive
// would set it; null for no AuthType.
void set_auth_type(const char *type);

// Whether connections come over TLS: with a server certificate (PEM), which
// SSL_SERVER_CERT then gives, or not at all (null, the default).
void set_tls(const char *server_cert_pem);

}  // namespace standin
