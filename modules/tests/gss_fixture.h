// Connections and requests as the core hands them to the NTLM module's
// check-user-id hook, on real APR pools, and the hook itself as the module
// registers it.
#pragma once

#include "httpd_standin.h"
#include "mod_auth_orvane_gss.h"

#include <http_request.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

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

// Gives r the directory configuration that the directives make, each a
// (name, argument) pair such as {"OrvaneNTLMConnectionBound", "On"}, run
// through the module's own command table. Returns the first directive's
// error message, or null.
using directive = std::pair<const char *, const char *>;
const char *configure(request_rec *r, const std::vector<directive> &directives);

// A server certificate for TLS connections (standin::set_tls), and the
// channel bindings that go with it: RFC 5929's prefix and the certificate's
// SHA-256 hash (its signature's hash).
extern const char *const server_cert;
extern const std::string server_bindings;

// Every value of header in table, in order.
std::vector<std::string> values(const apr_table_t *table, const char *header);

// The log sites logged so far, as "509 267 283", and whether every line
// carried the module's source path and the level of its site.
std::string logged_lines();
bool log_lines_well_formed();
// Sites as logged_lines() gives them.
std::string sites(std::initializer_list<log_site> list);

}  // namespace gss_test
