// libFuzzer target for the form filter's parsing: decode() on its own, the
// parser over a form buffer, then the whole filter over the input as a form
// body, handed to it whole and cut as the input says.
//
// Input: one byte n, then n & 0x3f cut bytes, then the body. Each cut byte
// gives the next piece that the filter below returns: its length (c & 0x3f;
// 0 is an empty bucket), 0x40 puts it in the same brigade as the piece
// before it, 0x80 makes that read answer EAGAIN first. The last length
// repeats over the rest of the body (none: the rest comes whole). n's top
// bits choose how the handler reads: 0x40 asks for one byte at a time,
// 0x80 reads speculatively before every read.
//
// The module source is compiled into this target so that its file-local
// parser is reachable; the httpd stand-in and the LSA double stand around it.
#include "../src/mod_auth_orvane_form.cpp"

#include "form_lsa_double.h"
#include "httpd_standin.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

apr_pool_t *root;

struct piece {
    std::size_t len;
    bool same_read;
    bool eagain_first;
};

struct source {
    std::string_view body;
    std::vector<piece> cuts;  // empty: the body comes whole
    std::size_t next_cut;
    std::size_t offset;
    bool eagain_given;
};

// The cut in force for the next piece: the listed ones, then the last again
// (an empty one only once: a filter below does not stall for ever).
const piece *current_cut(const source &s)
{
    if (s.cuts.empty() || (s.next_cut >= s.cuts.size() && s.cuts.back().len == 0))
        return nullptr;
    return &s.cuts[std::min(s.next_cut, s.cuts.size() - 1)];
}

apr_status_t below(void *data, apr_bucket_brigade *bb, ap_input_mode_t, apr_read_type_e block, apr_off_t readbytes)
{
    auto *s = static_cast<source *>(data);
    const piece *cut = current_cut(*s);
    if (cut && cut->eagain_first && !s->eagain_given && block == APR_NONBLOCK_READ && s->offset < s->body.size()) {
        s->eagain_given = true;
        return APR_EAGAIN;
    }
    s->eagain_given = false;
    // One piece, then the ones that share its read, never beyond readbytes.
    auto left = static_cast<std::size_t>(readbytes);
    for (bool first = true; s->offset < s->body.size(); first = false) {
        cut = current_cut(*s);
        if (!first && !(cut && cut->same_read))
            break;
        std::size_t n = std::min(s->body.size() - s->offset, left);
        if (cut)
            n = std::min(n, cut->len);
        if (n == 0 && !(cut && cut->len == 0))
            break;
        // A heap copy: the filter zeroes what it reads, and the input is libFuzzer's.
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_heap_create(s->body.data() + s->offset, n, nullptr, bb->bucket_alloc));
        s->offset += n;
        left -= n;
        ++s->next_cut;
    }
    if (s->offset == s->body.size())
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(bb->bucket_alloc));
    return APR_SUCCESS;
}

// Appends the data of bb up to EOS to out and empties bb; true at EOS.
bool brigade_text(apr_bucket_brigade *bb, std::string *out)
{
    bool eos = false;
    for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb) && !eos; b = APR_BUCKET_NEXT(b)) {
        eos = APR_BUCKET_IS_EOS(b);
        const char *data;
        apr_size_t len;
        if (!eos && apr_bucket_read(b, &data, &len, APR_BLOCK_READ) == APR_SUCCESS)
            out->append(data, len);
    }
    apr_brigade_cleanup(bb);
    return eos;
}

// The domain's verdicts, as LsaOpenServer and LsaAuthenticateUser give them.
struct verdict {
    DWORD open;
    DWORD auth;
    bool short_text;  // the error text comes back shorter than announced
};
constexpr verdict verdicts[] = {
    {0, 0, false},     {0, 40017, false}, {0, 40022, false}, {0, 40024, false}, {0, 40047, false},
    {0, 40055, false}, {0, 40056, false}, {0, 40118, true},  {0, 40016, false}, {111, 0, false},
};

// A form key decoded as the application reads it: an escape needs the '%'
// and two more characters, a non-digit counts 0, '+' is a space; used up to
// its first NUL.
std::string key_text(std::string_view raw)
{
    auto digit = [](char c) {
        return c >= '1' && c <= '9'   ? c - '0'
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                      : 0;
    };
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] == '%' && i + 3 <= raw.size()) {
            out += static_cast<char>(16 * digit(raw[i + 1]) + digit(raw[i + 2]));
            i += 3;
        } else {
            out += raw[i] == '+' ? ' ' : raw[i];
            ++i;
        }
    }
    return out.substr(0, out.find('\0'));
}

// Where the body holds the values of its "password" fields: offset and length.
std::vector<std::pair<std::size_t, std::size_t>> password_values(std::string_view body)
{
    std::vector<std::pair<std::size_t, std::size_t>> found;
    for (std::size_t start = 0; start <= body.size();) {
        const std::size_t amp = std::min(body.find('&', start), body.size());
        const std::string_view pair = body.substr(start, amp - start);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && key_text(pair.substr(0, eq)) == "password")
            found.emplace_back(start + eq + 1, pair.size() - eq - 1);
        start = amp + 1;
    }
    return found;
}

// How the handler above the filter reads.
struct reader {
    apr_off_t readbytes;
    bool speculative_first;
    apr_read_type_e block;
};

// Runs the body through the filter; returns the status and what came up.
apr_status_t filter(std::string_view body, const std::vector<piece> &cuts, const reader &how, std::string *out)
{
    source s{body, cuts, 0, 0, false};
    standin::request req;
    standin::make_request(&req, root);
    apr_table_set(req.r.headers_in, "Content-Type", "application/x-www-form-urlencoded");
    standin::filter_chain chain;
    standin::make_filter_chain(&chain, &req, mod_auth_orvane_form_if, below, &s);
    apr_bucket_brigade *bb = apr_brigade_create(req.pool, req.connection.bucket_alloc);
    apr_status_t rv = APR_SUCCESS;
    for (int calls = 0; calls < 100000; ++calls) {
        std::string peeked;
        if (how.speculative_first) {
            // A peek shows what the next read takes, and takes nothing.
            rv = mod_auth_orvane_form_if(&chain.top, bb, AP_MODE_SPECULATIVE, how.block, how.readbytes);
            if (rv == APR_EAGAIN)
                continue;
            if (rv != APR_SUCCESS)
                break;
            brigade_text(bb, &peeked);
        }
        rv = mod_auth_orvane_form_if(&chain.top, bb, AP_MODE_READBYTES, how.block, how.readbytes);
        if (rv == APR_EAGAIN && how.block == APR_NONBLOCK_READ)
            continue;
        if (rv != APR_SUCCESS)
            break;
        std::string got;
        const bool eos = brigade_text(bb, &got);
        if (how.speculative_first && got != peeked)
            std::abort();
        out->append(got);
        if (eos)
            break;
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
    const std::size_t ncuts = std::min<std::size_t>(data[0] & 0x3f, size - 1);
    std::vector<piece> cuts;
    bool any_eagain = false;
    for (std::size_t i = 1; i <= ncuts; ++i) {
        cuts.push_back({static_cast<std::size_t>(data[i] & 0x3f), (data[i] & 0x40) != 0, (data[i] & 0x80) != 0});
        any_eagain = any_eagain || cuts.back().eagain_first;
    }
    const reader how{(data[0] & 0x40) ? 1 : 8192, (data[0] & 0x80) != 0,
                     any_eagain ? APR_NONBLOCK_READ : APR_BLOCK_READ};
    const std::string_view body(reinterpret_cast<const char *>(data + 1 + ncuts), size - 1 - ncuts);
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
    if (body.size() <= data_limit) {
        std::string form(form_size, '\0');
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

    // The filter: the same rewritten body however it is cut and read, of
    // unchanged length, changed only by blanks and the result code. The
    // body's length picks the domain's verdict, the same for both runs.
    const verdict &v = verdicts[body.size() % std::size(verdicts)];
    lsa_double::get().open_result = v.open;
    lsa_double::get().auth_result = v.auth;
    lsa_double::get().short_text = v.short_text;
    std::string whole;
    std::string cut;
    const apr_status_t rv_whole = filter(body, {}, reader{8192, false, APR_BLOCK_READ}, &whole);
    const apr_status_t rv_cut = filter(body, cuts, how, &cut);
    if (rv_whole != rv_cut)
        std::abort();
    if (body.size() > data_limit) {
        if (rv_whole != status_enospc)
            std::abort();
        return 0;
    }
    if (rv_whole != APR_SUCCESS || whole != cut || whole.size() != body.size())
        std::abort();
    for (std::size_t i = 0; i < body.size(); ++i)
        if (whole[i] != body[i] && whole[i] != '&' && !result_code_char(whole[i]))
            std::abort();
    // No byte of any password value reaches the application.
    for (const auto &[offset, len] : password_values(body))
        if (whole.find_first_not_of('&', offset) < offset + len)
            std::abort();
    return 0;
}
