#include "gss_double.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace gss_double {

gss_OID_desc ntlm_mechanism{10, const_cast<char *>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

namespace {

accept_answer next_accept{};
display_answer next_display{};
tally seen{};
std::set<void *> live_handles;  // contexts handed out and not yet deleted
std::set<void *> ntlm_creds;    // acceptor credentials for NTLM alone

template <typename Handle> Handle make_handle(int &made)
{
    ++made;
    return reinterpret_cast<Handle>(new char);
}

gss_ctx_id_t make_context()
{
    auto context = make_handle<gss_ctx_id_t>(seen.contexts_made);
    live_handles.insert(context);
    return context;
}

void fill(gss_buffer_t buffer, const char *text)
{
    buffer->length = std::strlen(text);
    buffer->value = std::malloc(buffer->length + 1);
    std::memcpy(buffer->value, text, buffer->length + 1);
    ++seen.buffers_made;
}

}  // namespace

void script(const accept_answer &accept, const display_answer &display)
{
    next_accept = accept;
    next_display = display;
}

const tally &counts()
{
    return seen;
}

int live_contexts()
{
    return static_cast<int>(live_handles.size());
}

void reset()
{
    for (void *context : live_handles)
        delete static_cast<char *>(context);
    live_handles.clear();
    seen = {};
}

}  // namespace gss_double

using namespace gss_double;

OM_uint32 gss_acquire_cred(OM_uint32 *minor, gss_name_t name, OM_uint32, gss_OID_set mechs, gss_cred_usage_t usage,
                           gss_cred_id_t *cred, gss_OID_set *actual, OM_uint32 *)
{
    const bool ntlm_alone =
        name == GSS_C_NO_NAME && mechs != GSS_C_NO_OID_SET && mechs->count == 1 &&
        mechs->elements[0].length == ntlm_mechanism.length &&
        std::memcmp(mechs->elements[0].elements, ntlm_mechanism.elements, ntlm_mechanism.length) == 0 &&
        usage == GSS_C_ACCEPT && actual == nullptr;
    // Kept apart from the counted handles: the module keeps it for good.
    *cred = reinterpret_cast<gss_cred_id_t>(new char);
    if (ntlm_alone)
        ntlm_creds.insert(*cred);
    ++seen.acceptor_creds;
    *minor = 0;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_accept_sec_context(OM_uint32 *minor, gss_ctx_id_t *context, gss_cred_id_t cred, gss_buffer_t input,
                                 gss_channel_bindings_t bindings, gss_name_t *client_name, gss_OID *mechanism,
                                 gss_buffer_t output, OM_uint32 *, OM_uint32 *, gss_cred_id_t *delegated)
{
    const accept_answer &a = next_accept;
    if (mechanism)
        *mechanism = a.mechanism ? a.mechanism : &ntlm_mechanism;
    ++seen.accept_calls;
    seen.accepts_with_ntlm_cred += ntlm_creds.count(cred) != 0;
    seen.last_input.assign(static_cast<const char *>(input->value), input->length);
    if (bindings == GSS_C_NO_CHANNEL_BINDINGS)
        seen.last_bindings = "-";
    else
        seen.last_bindings.assign(static_cast<const char *>(bindings->application_data.value),
                                  bindings->application_data.length);
    if (a.replace_context || (*context == GSS_C_NO_CONTEXT && !GSS_ERROR(a.major)))
        *context = make_context();
    *output = GSS_C_EMPTY_BUFFER;
    if (a.output)
        fill(output, a.output);
    if (a.client_name)
        *client_name = make_handle<gss_name_t>(seen.names_made);
    if (a.delegated_cred)
        *delegated = make_handle<gss_cred_id_t>(seen.creds_made);
    *minor = a.minor;
    return a.major;
}

OM_uint32 gss_display_name(OM_uint32 *minor, gss_name_t, gss_buffer_t name, gss_OID *)
{
    *minor = next_display.minor;
    *name = GSS_C_EMPTY_BUFFER;
    if (!GSS_ERROR(next_display.major) && next_display.name)
        fill(name, next_display.name);
    return next_display.major;
}

OM_uint32 gss_display_status(OM_uint32 *minor, OM_uint32 status, int type, gss_OID, OM_uint32 *message_context,
                             gss_buffer_t text)
{
    char message[64];
    std::snprintf(message, sizeof message, type == GSS_C_GSS_CODE ? "major %x" : "minor %u", status);
    fill(text, message);
    *message_context = 0;
    *minor = 0;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_release_buffer(OM_uint32 *minor, gss_buffer_t buffer)
{
    if (buffer->value) {
        std::free(buffer->value);
        ++seen.buffers_released;
    }
    *buffer = GSS_C_EMPTY_BUFFER;
    *minor = 0;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_release_name(OM_uint32 *minor, gss_name_t *name)
{
    delete reinterpret_cast<char *>(*name);
    ++seen.names_released;
    *name = GSS_C_NO_NAME;
    *minor = 0;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_release_cred(OM_uint32 *minor, gss_cred_id_t *cred)
{
    delete reinterpret_cast<char *>(*cred);
    ++seen.creds_released;
    *cred = GSS_C_NO_CREDENTIAL;
    *minor = 0;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_delete_sec_context(OM_uint32 *minor, gss_ctx_id_t *context, gss_buffer_t)
{
    *minor = 0;
    if (live_handles.erase(*context) == 0) {
        ++seen.double_deletes;
        return GSS_S_NO_CONTEXT;
    }
    delete reinterpret_cast<char *>(*context);
    ++seen.contexts_deleted;
    *context = GSS_C_NO_CONTEXT;
    return GSS_S_COMPLETE;
}
