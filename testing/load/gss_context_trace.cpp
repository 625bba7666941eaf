// Preloaded into Apache by the NTLM load test: passes every context creation
// and deletion through to the real GSS-API library and appends one line per
// event to the file named by ORVANE_GSS_TRACE, so the test can tell that each
// context is deleted exactly once, whichever way its connection ends.
//
//   N <pid> <handle>   gss_accept_sec_context made a new context
//   L <pid> <handle>   gss_accept_sec_context was given a context and handed
//                      none back (the library released it itself)
//   D <pid> <handle>   gss_delete_sec_context is about to delete a context
//
// A deletion is written before the real call, a creation after it, so a
// handle that the allocator reuses always shows its deletion first.

#include <dlfcn.h>
#include <fcntl.h>
#include <gssapi/gssapi.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Opened once in the server's first process; the children inherit it across
// their change of user. Not passed on to programs the server runs.
int trace_fd = -1;

__attribute__((constructor)) void open_trace()
{
    if (const char *path = getenv("ORVANE_GSS_TRACE"))
        trace_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

void trace(char event, gss_ctx_id_t context)
{
    if (trace_fd < 0 || context == GSS_C_NO_CONTEXT)
        return;
    char line[64];
    int n = snprintf(line, sizeof line, "%c %d %p\n", event, static_cast<int>(getpid()), static_cast<void *>(context));
    // One write per line: O_APPEND keeps lines of concurrent writers whole.
    if (n > 0 && write(trace_fd, line, static_cast<std::size_t>(n)) < 0)
        return;
}

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

OM_uint32 gss_accept_sec_context(OM_uint32 *minor, gss_ctx_id_t *context, gss_cred_id_t cred, gss_buffer_t input,
                                 gss_channel_bindings_t bindings, gss_name_t *src_name, gss_OID *mech,
                                 gss_buffer_t output, OM_uint32 *flags, OM_uint32 *time_rec, gss_cred_id_t *delegated)
{
    using fn = OM_uint32 (*)(OM_uint32 *, gss_ctx_id_t *, gss_cred_id_t, gss_buffer_t, gss_channel_bindings_t,
                             gss_name_t *, gss_OID *, gss_buffer_t, OM_uint32 *, OM_uint32 *, gss_cred_id_t *);
    static const fn next = real<fn>("gss_accept_sec_context");
    gss_ctx_id_t given = context ? *context : GSS_C_NO_CONTEXT;
    OM_uint32 major = next(minor, context, cred, input, bindings, src_name, mech, output, flags, time_rec, delegated);
    gss_ctx_id_t now = context ? *context : GSS_C_NO_CONTEXT;
    if (given == GSS_C_NO_CONTEXT)
        trace('N', now);
    else if (now != given)
        trace('L', given), trace('N', now);
    return major;
}

OM_uint32 gss_delete_sec_context(OM_uint32 *minor, gss_ctx_id_t *context, gss_buffer_t output)
{
    using fn = OM_uint32 (*)(OM_uint32 *, gss_ctx_id_t *, gss_buffer_t);
    static const fn next = real<fn>("gss_delete_sec_context");
    trace('D', context ? *context : GSS_C_NO_CONTEXT);
    return next(minor, context, output);
}

}  // extern "C"
