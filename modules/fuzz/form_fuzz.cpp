// libFuzzer target for the form filter's parsing: decode() on its own, then
// the whole filter over the input as a form body, handed to it whole and in
// pieces. The input's first byte is the piece size (0: whole).
//
// The module source is compiled into this target so that its file-local
// parser is reachable; the httpd stand-in and the LSA double stand around it.
#include "../src/mod_auth_orvane_form.cpp"

#include "form_lsa_double.h"
#include "httpd_standin.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

apr_pool_t *root;

struct source {
    std::string_view body;
    std::size_t piece;
    std::size_t offset;
};

apr_status_t below(void *data, apr_bucket_brigade *bb, ap_input_mode_t, apr_read_type_e, apr_off_t readbytes)
{
    auto *s = static_cast<source *>(data);
    if (s->offset < s->body.size()) {
        std::size_t n = std::min(s->body.size() - s->offset, static_cast<std::size_t>(readbytes));
        if (s->piece)
            n = std::min(n, s->piece);
        // A heap copy: the filter zeroes what it reads, and the input is libFuzzer's.
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_heap_create(s->body.data() + s->offset, n, nullptr, bb->bucket_alloc));
        s->offset += n;
    }
    if (s->offset == s->body.size())
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(bb->bucket_alloc));
    return APR_SUCCESS;
}

// Runs the body through the filter; returns the status and what came up.
apr_status_t filter(std::string_view body, std::size_t piece, apr_off_t readbytes, std::string *out)
{
    source s{body, piece, 0};
    standin::request req;
    standin::make_request(&req, root);
    apr_table_set(req.r.headers_in, "Content-Type", "application/x-www-form-urlencoded");
    standin::filter_chain chain;
    standin::make_filter_chain(&chain, &req, mod_auth_orvane_form_if, below, &s);
    apr_bucket_brigade *bb = apr_brigade_create(req.pool, req.connection.bucket_alloc);
    apr_status_t rv = APR_SUCCESS;
    for (bool eos = false; !eos;) {
        rv = mod_auth_orvane_form_if(&chain.top, bb, AP_MODE_READBYTES, APR_BLOCK_READ, readbytes);
        if (rv != APR_SUCCESS)
            break;
        for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b)) {
            if (APR_BUCKET_IS_EOS(b)) {
                eos = true;
                break;
            }
            const char *data;
            apr_size_t len;
            if (apr_bucket_read(b, &data, &len, APR_BLOCK_READ) == APR_SUCCESS)
                out->append(data, len);
        }
        apr_brigade_cleanup(bb);
    }
    standin::destroy_request(&req);
    standin::clear_log();
    return rv;
}

bool result_code_char(char c)
{
    return std::string_view("01XLDE").find(c) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    apr_initialize();
    apr_pool_create(&root, nullptr);
    lsa_double::reset();
    mod_auth_orvane_form_init(root, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t piece = data[0];
    const std::string_view body(reinterpret_cast<const char *>(data + 1), size - 1);
    standin::request req;
    standin::make_request(&req, root);

    // decode: never longer than the raw text, which a wipe turns into '&'.
    std::string raw(body);
    const std::size_t raw_len = std::strcspn(raw.c_str(), "&");
    if (char *decoded = decode(&req.r, raw.data(), 1)) {
        if (std::strlen(decoded) > raw_len)
            std::abort();
        std::free(decoded);
    }
    if (raw.find_first_not_of('&') < raw_len)
        std::abort();

    // The parser over a form buffer, as the filter fills it.
    if (body.size() <= kDataLimit) {
        std::string form(kFormSize, '\0');
        form.replace(0, body.size(), body);
        form_fields fields;
        if (parse_form(&req.r, form.data(), body.size(), &fields) != APR_SUCCESS)
            std::abort();
        for (const form_value *v : {&fields.username, &fields.domain, &fields.password, &fields.result})
            if (v->raw && (v->raw < form.data() || v->raw + v->len > form.data() + body.size()))
                std::abort();
    }
    standin::destroy_request(&req);
    standin::clear_log();

    // The filter: the same rewritten body however it is cut, of unchanged
    // length, changed only by blanks and the result code.
    std::string whole;
    std::string cut;
    const apr_status_t rv_whole = filter(body, 0, 8192, &whole);
    const apr_status_t rv_cut = filter(body, piece, piece ? piece : 1, &cut);
    if (rv_whole != rv_cut)
        std::abort();
    if (body.size() > kDataLimit) {
        if (rv_whole != kEFBIG)
            std::abort();
        return 0;
    }
    if (rv_whole != APR_SUCCESS || whole != cut || whole.size() != body.size())
        std::abort();
    for (std::size_t i = 0; i < body.size(); ++i)
        if (whole[i] != body[i] && whole[i] != '&' && !result_code_char(whole[i]))
            std::abort();
    return 0;
}
