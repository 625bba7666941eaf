// What the NTLM module's in-process tests reach besides its hooks: the module
// record and the sites it logs from. Not installed.
#pragma once

#include <httpd.h>
#include <http_config.h>

extern "C" module AP_MODULE_DECLARE_DATA auth_orvane_gss_module;

// Where the module logs. Apache prints the number where a source line would
// stand, "src/mod_auth_orvane_gss.cpp(241)", but it is none: each site keeps
// its number however the source moves, so that administrators and tests can
// match a line by it (docs/operations.md lists them). A new site takes a
// number no site had.
enum class log_site : int {
    // errors; the warning of 545 comes at start
    no_authorization_parameter = 241,  // the header has no token word
    input_buffer_failed = 250,         // no memory for the decoded token
    output_buffer_failed = 302,        // no memory for the answer token
    accept_failed = 321,               // gss_accept_sec_context refused the token
    no_client_name = 375,
    display_name_failed = 384,
    display_name_null = 393,
    acquire_cred_failed = 520,  // no NTLM mechanism
    not_ntlm = 525,             // a context of another mechanism
    client_name_not_domain_user = 530,
    channel_binding_needs_tls = 535,
    answer_without_channel_bindings = 540,
    loaded_after_openssl = 545,
    ntlm_setup_broken = 560,  // winbindd out of reach
    // debug: a leg's trace
    existing_context = 267,
    verification_returned = 283,
    different_context = 290,
    deleting_old_context = 291,
    token_sent_back = 311,
    continue_needed = 354,
    storing_context = 361,
    setting_request_user = 407,
    connection_bound = 412,
    hook_entered = 509,
    already_authenticated = 515,
    user_not_channel_bound = 516,
};
