// Connections and requests as the core hands them to the NTLM module's
// check-user-id hook, on real APR pools, and the hook itself as the module
// registers it.
#pragma once

#include "httpd_standin.h"

#include <http_request.h>

#include <string>
#include <vector>

extern "C" module AP_MODULE_DECLARE_DATA auth_orvane_gss_module;

namespace gss_test {

// A client connection with its own pool, which outlives the requests on it.
struct connection {
    apr_pool_t *pool;
    server_rec server;
    conn_rec c;
    ap_logconf log;
};

void open_connection(connection *conn);
// Destroys the connection pool, running whatever cleanups it holds.
void close_connection(connection *conn);

// An initial request on the connection, in a pool of its own below the
// connection pool, carrying header (e.g. "Authorization") with value when
// value is not null.
request_rec *new_request(connection *conn, const char *header, const char *value);
// A sub-request of main, or an internal redirect from prev; both carry the
// same request headers.
request_rec *new_subrequest(request_rec *main);
request_rec *new_redirect(request_rec *prev);
void end_request(request_rec *r);

// Runs the module's check-user-id hook, registering the module first if needed.
int run_hook(request_rec *r);

// Every value of header in table, in order.
std::vector<std::string> values(const apr_table_t *table, const char *header);

// The source lines logged so far, as "509 267 283", and whether every line
// carried the module's source path and the level its line stands for.
std::string logged_lines();
bool log_lines_well_formed();

}  // namespace gss_test
