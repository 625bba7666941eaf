// libFuzzer target for the NTLM module's check-user-id hook: a run of
// requests on kept-alive connections, each with a fuzzed "Authorization"
// (or, for a forward proxy, "Proxy-Authorization") value and a fuzzed answer
// of the scripted GSS-API library. Checked after every leg: the token the
// library was given is the header's token word as base64 decodes it, every
// 401 carries one challenge and one result code header, a context is left
// pending only when the library asked for another leg, and none is deleted
// twice or outlives its connection.
#include "gss_double.h"
#include "gss_fixture.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <apr_lib.h>
#include <http_core.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using gss_double::accept_answer;
using gss_double::display_answer;

constexpr OM_uint32 majors[] = {GSS_S_COMPLETE,        GSS_S_CONTINUE_NEEDED, GSS_S_FAILURE,
                                GSS_S_DEFECTIVE_TOKEN, GSS_S_NO_CONTEXT,      GSS_S_CONTINUE_NEEDED | GSS_S_FAILURE};
constexpr OM_uint32 minors[] = {0, 40017, 40022, 40024, 40047, 40055, 40056, 7};
// "": a library may hand out an empty token in an allocated buffer.
constexpr const char *outputs[] = {nullptr, "challenge", "x", "\xff\xfe binary \x01", ""};
constexpr const char *names[] = {"DOM\\user", nullptr, ""};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The token word of a header value after its scheme word, decoded as the
// base64 alphabet reads it: up to the first other character, six bits each.
std::string expected_input(std::string_view value)
{
    auto skip = [&](bool space) {
        while (!value.empty() && (apr_isspace(value.front()) != 0) == space)
            value.remove_prefix(1);
    };
    skip(false);
    skip(true);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int nbits = 0;
    for (char c : value) {
        const std::size_t v = alphabet.find(c);
        if (v == std::string_view::npos)
            break;
        bits = (bits << 6) | static_cast<unsigned>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out.push_back(static_cast<char>((bits >> nbits) & 0xff));
        }
    }
    return out;
}

std::string base64(std::string_view bytes)
{
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            n |= static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
    }
    return out;
}

bool scheme_is_ntlm(std::string_view value)
{
    std::string_view word = value.substr(0, std::min(value.size(), value.find_first_of(" \t\n\v\f\r")));
    return word.size() == 4 && strncasecmp(word.data(), "NTLM", 4) == 0;
}

// One request on conn (with a sub-request of it, at times), run through the
// hook and checked; *pending counts the contexts left on the connection.
void one_leg(FuzzedDataProvider &in, bool ntlm, gss_test::connection *conn, int *pending)
{
    const bool proxy = in.ConsumeIntegralInRange(0, 7) == 0;
    const bool with_header = in.ConsumeIntegralInRange(0, 15) != 0;
    const bool subrequest = in.ConsumeIntegralInRange(0, 7) == 0;
    const accept_answer accept{in.PickValueInArray(majors),
                               in.PickValueInArray(minors),
                               in.PickValueInArray(outputs),
                               in.ConsumeBool(),
                               in.ConsumeBool(),
                               in.ConsumeIntegralInRange(0, 7) == 0};
    const display_answer display{in.ConsumeIntegralInRange(0, 7) == 0 ? GSS_S_FAILURE : GSS_S_COMPLETE, 0,
                                 in.PickValueInArray(names)};
    // The directory's directives and the transport: bit 0 binds the
    // connection, bit 1 asks for channel bindings, bit 2 makes it TLS.
    const int settings = in.ConsumeIntegralInRange(0, 7);
    const bool bound = settings & 1, channel_binding = settings & 2, tls = settings & 4;
    const std::vector<gss_test::directive> directives{{"OrvaneNTLMConnectionBound", bound ? "On" : "Off"},
                                                      {"OrvaneNTLMChannelBinding", channel_binding ? "On" : "Off"}};
    standin::set_tls(tls ? gss_test::server_cert : nullptr);
    std::string value = in.ConsumeRandomLengthString(512);
    value.resize(std::strlen(value.c_str()));  // a header value ends at a NUL

    const char *header = proxy ? "Proxy-Authorization" : "Authorization";
    const char *challenge = proxy ? "Proxy-Authenticate" : "WWW-Authenticate";
    gss_double::script(accept, display);
    request_rec *main = gss_test::new_request(conn, header, with_header ? value.c_str() : nullptr);
    check(gss_test::configure(main, directives) == nullptr);
    main->proxyreq = proxy ? PROXYREQ_PROXY : PROXYREQ_NONE;
    request_rec *r = main;
    int main_result = 0;
    if (subrequest) {
        // The main request's own leg ran first; its sub-request follows.
        main_result = gss_test::run_hook(main);
        *pending = gss_double::live_contexts();
        gss_double::script(accept, display);
        r = gss_test::new_subrequest(main);
        check(gss_test::configure(r, directives) == nullptr);
    }
    const int calls_before = gss_double::counts().accept_calls;
    const int result = gss_test::run_hook(r);
    const bool accepted = gss_double::counts().accept_calls > calls_before;

    if (!ntlm) {
        check(result == DECLINED && !accepted && apr_is_empty_table(r->err_headers_out));
        gss_test::end_request(main);
        standin::clear_log();
        return;
    }
    check(result == OK || result == HTTP_UNAUTHORIZED || result == HTTP_INTERNAL_SERVER_ERROR);
    check(gss_double::counts().double_deletes == 0);
    // With channel bindings asked for, the module itself refuses an answer
    // without them (having taken the pending context), and every leg
    // without TLS.
    const bool leg_runs = with_header && scheme_is_ntlm(value) && !(subrequest && main_result == OK);
    check(channel_binding ? !accepted || (leg_runs && tls) : accepted == leg_runs);
    if (leg_runs && !accepted) {
        check(result == (tls ? HTTP_UNAUTHORIZED : HTTP_INTERNAL_SERVER_ERROR));
        if (tls)
            *pending = 0;
    }
    if (accepted)
        check(gss_double::counts().last_input == expected_input(value));

    const auto challenges = gss_test::values(r->err_headers_out, challenge);
    const auto codes = gss_test::values(r->err_headers_out, "OV-GSS-Error-Code");
    check(challenges.size() == codes.size() && challenges.size() <= 1);
    check(gss_test::values(r->err_headers_out, proxy ? "WWW-Authenticate" : "Proxy-Authenticate").empty());
    if (result == HTTP_UNAUTHORIZED)
        check(challenges.size() == 1);
    if (!codes.empty()) {
        check(codes[0].size() == 1 && std::string_view("01XLDEC").find(codes[0][0]) != std::string_view::npos);
        const bool token_sent = accepted && accept.output && *accept.output;
        check(challenges[0] == (token_sent ? "NTLM " + base64(accept.output) : std::string("NTLM")));
    }
    if (result == OK)
        check(r->user != nullptr && r->ap_auth_type != nullptr);
    // Without credentials, a request goes through only on a bound connection.
    if (!with_header)
        check(result == HTTP_UNAUTHORIZED || (bound && result == OK && challenges.empty()));

    // Only a leg that the library asked to go on leaves a context behind.
    const bool goes_on = accepted && !GSS_ERROR(accept.major) && (accept.major & GSS_S_CONTINUE_NEEDED);
    if (accepted)
        *pending = goes_on ? 1 : 0;
    check(gss_double::live_contexts() == *pending);
    if (accepted && goes_on)
        check(result == HTTP_UNAUTHORIZED && codes.size() == 1 && codes[0] == "C");

    gss_test::end_request(main);
    standin::clear_log();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    gss_double::reset();
    standin::clear_log();
    const bool ntlm = in.ConsumeIntegralInRange(0, 15) != 0;
    standin::set_auth_type(ntlm ? "NTLM" : "Basic");
    gss_test::connection conn{};
    gss_test::open_connection(&conn);
    int pending = 0;
    for (int legs = 0; legs < 16 && in.remaining_bytes() > 0; ++legs) {
        if (in.ConsumeIntegralInRange(0, 15) == 0) {
            // The client drops the connection between two legs.
            gss_test::close_connection(&conn);
            check(gss_double::live_contexts() == 0);
            gss_test::open_connection(&conn);
            pending = 0;
        }
        one_leg(in, ntlm, &conn, &pending);
    }
    gss_test::close_connection(&conn);
    check(gss_double::live_contexts() == 0);
    check(gss_double::counts().double_deletes == 0);
    const auto &seen = gss_double::counts();
    check(seen.names_made == seen.names_released && seen.creds_made == seen.creds_released &&
          seen.buffers_made == seen.buffers_released);
    standin::set_auth_type(nullptr);
    standin::set_tls(nullptr);
    return 0;
}
