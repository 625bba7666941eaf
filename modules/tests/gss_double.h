// A scripted GSS-API library for the NTLM module's tests: each
// gss_accept_sec_context call answers as the test says, and every handle and
// buffer it hands out is counted until it comes back.
#pragma once

#include <gssapi/gssapi.h>

#include <string>

namespace gss_double {

// What gss_accept_sec_context answers. A first call that does not fail makes
// a new context, as a library does; replace_context makes a new one in place
// of the context it was given, leaving the old one to the caller.
struct accept_answer {
    OM_uint32 major = GSS_S_COMPLETE;
    OM_uint32 minor = 0;
    const char *output = nullptr;  // output token bytes; null for none
    bool client_name = false;
    bool delegated_cred = false;
    bool replace_context = false;
    gss_OID mechanism = nullptr;  // the mechanism the call reports; null for NTLM
};

// gss-ntlmssp's mechanism, which the double reports unless told otherwise.
extern gss_OID_desc ntlm_mechanism;

// What gss_display_name answers; a null name comes back as a null value.
struct display_answer {
    OM_uint32 major = GSS_S_COMPLETE;
    OM_uint32 minor = 0;
    const char *name = nullptr;
};

// Sets the answer of the next accept call and of every display call.
void script(const accept_answer &accept, const display_answer &display = {.name = "DOM\\user"});

struct tally {
    int accept_calls;
    std::string last_input;     // the input token of the last accept call
    std::string last_bindings;  // its channel bindings' application data, "-" for none
    int contexts_made, contexts_deleted, double_deletes;
    int names_made, names_released;
    int creds_made, creds_released;
    int acceptor_creds;          // acquire calls
    int accepts_with_ntlm_cred;  // accept calls given a credential for NTLM alone
    int buffers_made, buffers_released;
};
const tally &counts();
int live_contexts();
void reset();

}  // namespace gss_double
