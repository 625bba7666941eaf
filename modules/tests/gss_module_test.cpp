// The NTLM module's hook and handshake legs against a scripted GSS-API
// library: outcomes, headers, log lines, and the life of every context,
// name, credential and buffer the library hands out.
#include "gss_double.h"
#include "gss_fixture.h"

#include <gtest/gtest.h>

#include <apr_base64.h>
#include <http_core.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

using gss_double::accept_answer;
using gss_double::display_answer;
using strings = std::vector<std::string>;
using gss_test::sites;
// The log sites by name, as the rows list them.
using enum log_site;

// Tokens as the client and the mechanism send them, and their base64 text.
constexpr const char *negotiate = "NTLM bmVnb3RpYXRl";         // "negotiate"
constexpr const char *authenticate = "NTLM YXV0aGVudGljYXRl";  // "authenticate"
constexpr const char *challenge = "challenge";
constexpr const char *challenge_header = "NTLM Y2hhbGxlbmdl";
constexpr const char *mutual = "mutual";
constexpr const char *mutual_header = "NTLM bXV0dWFs";

constexpr OM_uint32 failed = GSS_S_FAILURE;
constexpr accept_answer asks_more{.major = GSS_S_CONTINUE_NEEDED, .output = challenge};
constexpr accept_answer completes{.client_name = true};
constexpr display_answer named{.name = "DOM\\user"};
gss_OID_desc krb5_mechanism{9, const_cast<char *>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};

// An NTLM authenticate message (type 3) as "NTLM <base64>", its NTLMv2
// response carrying the AV pairs given (id, value) before the end pair.
std::string authenticate_message(std::initializer_list<std::pair<int, std::string>> pairs)
{
    const auto le = [](std::string &out, unsigned value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(value >> (8 * i) & 0xff);
    };
    std::string response(16 + 28, '\x01');  // the proof and the client blob before its pairs
    for (const auto &[id, value] : pairs) {
        le(response, static_cast<unsigned>(id), 2);
        le(response, static_cast<unsigned>(value.size()), 2);
        response += value;
    }
    response += std::string(4, '\0');
    std::string message("NTLMSSP\0", 8);
    le(message, 3, 4);
    message += std::string(8, '\0');  // no LM response
    le(message, static_cast<unsigned>(response.size()), 2);
    le(message, static_cast<unsigned>(response.size()), 2);
    le(message, 64, 4);
    message.resize(64, '\0');
    message += response;
    std::string text(apr_base64_encode_len(static_cast<int>(message.size())), '\0');
    text.resize(apr_base64_encode(text.data(), message.data(), static_cast<int>(message.size())) - 1);
    return "NTLM " + text;
}

constexpr int av_timestamp = 7, av_channel_bindings = 10;
const std::string bound_answer =
    authenticate_message({{av_timestamp, std::string(8, '\x02')}, {av_channel_bindings, std::string(16, '\x5a')}});
const std::string unbound_answer = authenticate_message({{av_timestamp, std::string(8, '\x02')}});
const std::string no_bindings = "-";
const std::string zero_bound_answer = authenticate_message({{av_channel_bindings, std::string(16, '\0')}});

struct gss_module : ::testing::Test {
    gss_test::connection conn{};

    void SetUp() override
    {
        gss_double::reset();
        standin::clear_log();
        standin::set_auth_type("NTLM");
        gss_test::open_connection(&conn);
    }
    void TearDown() override
    {
        gss_test::close_connection(&conn);
        standin::set_auth_type(nullptr);
        standin::set_tls(nullptr);
        EXPECT_EQ(gss_double::live_contexts(), 0) << "a context outlived its connection";
        EXPECT_EQ(gss_double::counts().double_deletes, 0);
        EXPECT_EQ(gss_double::counts().contexts_made, gss_double::counts().contexts_deleted);
        gss_double::reset();
    }

    // An earlier leg on this connection left a context pending.
    void leave_pending_context()
    {
        gss_double::script(asks_more);
        request_rec *r = gss_test::new_request(&conn, "Authorization", negotiate);
        ASSERT_EQ(gss_test::run_hook(r), HTTP_UNAUTHORIZED);
        gss_test::end_request(r);
        ASSERT_EQ(gss_double::live_contexts(), 1);
        standin::clear_log();
    }
};

// --- one leg through the hook ---
// Legend: a null challenge, code, user or GSSAUTHRET means none is set;
// mechanism_saw, when set, is the token the library was given.
struct leg_row {
    const char *name;
    bool pending = false;  // a context is pending before the leg
    const char *authorization = nullptr;
    accept_answer accept{};
    display_answer display{};
    int result = 0;
    const char *challenge = nullptr;
    const char *code = nullptr;
    const char *user = nullptr;
    const char *gssauthret = nullptr;
    bool pending_after = false;
    std::string log;  // the sites logged, as gss_test::logged_lines() gives them
    const char *error_text = nullptr;
    const char *mechanism_saw = nullptr;
    std::vector<gss_test::directive> directives = {};  // of the request's directory
    bool tls = false;                                  // the request came over TLS
    const std::string *bindings_saw = nullptr;         // what the library was given
};

void PrintTo(const leg_row &row, std::ostream *os)
{
    *os << row.name;
}

struct gss_leg : gss_module, ::testing::WithParamInterface<leg_row> {};

constexpr accept_answer failure(OM_uint32 minor)
{
    return {.major = failed, .minor = minor};
}

leg_row minor_status_row(const char *name, OM_uint32 minor, const char *code)
{
    return {.name = name,
            .authorization = negotiate,
            .accept = failure(minor),
            .result = 401,
            .challenge = "NTLM",
            .code = code,
            .gssauthret = "401",
            .log = sites({hook_entered, verification_returned, accept_failed})};
}

// clang-format off
const leg_row leg_rows[] = {
    {.name = "first leg asks for another", .authorization = negotiate, .accept = asks_more,
     .result = 401, .challenge = challenge_header, .code = "C", .gssauthret = "401",
     .pending_after = true, .log = sites({hook_entered, verification_returned, token_sent_back, continue_needed, storing_context}), .mechanism_saw = "negotiate"},
    {.name = "next leg completes", .pending = true, .authorization = authenticate,
     .accept = completes, .display = named, .result = 0, .user = "DOM\\user", .gssauthret = "0",
     .log = sites({hook_entered, existing_context, verification_returned, continue_needed, setting_request_user}), .mechanism_saw = "authenticate"},
    {.name = "completing leg with a final token", .pending = true, .authorization = authenticate,
     .accept = {.output = mutual, .client_name = true}, .display = named, .result = 0,
     .challenge = mutual_header, .code = "1", .user = "DOM\\user", .gssauthret = "0",
     .log = sites({hook_entered, existing_context, verification_returned, token_sent_back, continue_needed, setting_request_user})},
    {.name = "completing leg with a delegated credential", .pending = true,
     .authorization = authenticate, .accept = {.client_name = true, .delegated_cred = true},
     .display = named, .result = 0, .user = "DOM\\user", .gssauthret = "0",
     .log = sites({hook_entered, existing_context, verification_returned, continue_needed, setting_request_user})},
    {.name = "mechanism replaces the pending context and asks more", .pending = true, .authorization = authenticate,
     .accept = {.major = GSS_S_CONTINUE_NEEDED, .output = challenge, .replace_context = true}, .result = 401, .challenge = challenge_header, .code = "C", .gssauthret = "401",
     .pending_after = true, .log = sites({hook_entered, existing_context, verification_returned, different_context, deleting_old_context, token_sent_back, continue_needed, storing_context})},
    {.name = "mechanism replaces the pending context and completes", .pending = true,
     .authorization = authenticate, .accept = {.client_name = true, .replace_context = true},
     .display = named, .result = 0, .user = "DOM\\user", .gssauthret = "0",
     .log = sites({hook_entered, existing_context, verification_returned, different_context, deleting_old_context, continue_needed, setting_request_user})},
    minor_status_row("minor status 40017", 40017, "0"),
    minor_status_row("minor status 40022", 40022, "0"),
    minor_status_row("minor status 40047", 40047, "0"),
    minor_status_row("minor status 40024", 40024, "X"),
    minor_status_row("minor status 40055", 40055, "L"),
    minor_status_row("minor status 40056", 40056, "D"),
    minor_status_row("minor status 0", 0, "E"),
    minor_status_row("minor status outside the table", 40023, "E"),
    {.name = "failed leg on a pending context still sends its token", .pending = true,
     .authorization = authenticate, .accept = {.major = failed, .minor = 40022, .output = mutual},
     .result = 401, .challenge = mutual_header, .code = "0", .gssauthret = "401",
     .log = sites({hook_entered, existing_context, verification_returned, token_sent_back, accept_failed}),
     .error_text = "gss_accept_sec_context() failed: major d0000 (minor 40022)"},
    {.name = "complete without a client name", .pending = true, .authorization = authenticate,
     .accept = {.major = GSS_S_COMPLETE}, .result = 500,
     .gssauthret = "500", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, no_client_name})},
    {.name = "complete without a client name but with a token", .pending = true,
     .authorization = authenticate, .accept = {.output = mutual},
     .result = 500, .challenge = mutual_header, .code = "E", .gssauthret = "500",
     .log = sites({hook_entered, existing_context, verification_returned, token_sent_back, continue_needed, no_client_name})},
    {.name = "display name fails", .pending = true, .authorization = authenticate,
     .accept = completes, .display = {.major = GSS_S_BAD_NAME, .minor = 5}, .result = 500,
     .gssauthret = "500", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, display_name_failed}),
     .error_text = "gss_display_name() failed: major 20000 (minor 5)"},
    {.name = "display name without a value", .pending = true, .authorization = authenticate,
     .accept = completes, .display = {0, 0, nullptr}, .result = 500, .gssauthret = "500",
     .log = sites({hook_entered, existing_context, verification_returned, continue_needed, display_name_null})},
    {.name = "one spelling of the name", .pending = true, .authorization = authenticate,
     .accept = completes, .display = {0, 0, "dom\\AlIcE"}, .result = 0, .user = "DOM\\alice",
     .gssauthret = "0", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, setting_request_user})},
    {.name = "name without a domain", .pending = true,
     .authorization = authenticate, .accept = completes, .display = {0, 0, "alice"}, .result = 401,
     .challenge = "NTLM", .code = "E", .gssauthret = "401", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, client_name_not_domain_user}),
     .error_text = "Client name alice is not of the form DOMAIN\\user (the mechanism does not say which "
                   "domain's account a bare user name matched)"},
    {.name = "name without a user", .pending = true, .authorization = authenticate,
     .accept = completes, .display = {0, 0, "DOM\\"}, .result = 401, .challenge = "NTLM",
     .code = "E", .gssauthret = "401", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, client_name_not_domain_user})},
    {.name = "context of another mechanism refused", .pending = true, .authorization = authenticate,
     .accept = {.output = mutual, .client_name = true, .mechanism = &krb5_mechanism}, .display = named,
     .result = 401, .challenge = "NTLM", .code = "E", .gssauthret = "401",
     .log = sites({hook_entered, existing_context, verification_returned, token_sent_back, not_ntlm})},
    // The mechanism does not say which domain's account a bare name matched.
    {.name = "name without a domain is refused under a default domain too", .pending = true,
     .authorization = authenticate, .accept = completes, .display = {0, 0, "alice"}, .result = 401,
     .challenge = "NTLM", .code = "E", .gssauthret = "401", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, client_name_not_domain_user}),
     .directives = {{"OrvaneNTLMDefaultDomain", "orvane"}}},
    {.name = "a principal name is no DOMAIN\\user, default domain or not", .pending = true,
     .authorization = authenticate, .accept = completes, .display = {0, 0, "alice@orvane.example"},
     .result = 401, .challenge = "NTLM", .code = "E", .gssauthret = "401", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, client_name_not_domain_user}),
     .directives = {{"OrvaneNTLMDefaultDomain", "orvane"}}},
    {.name = "a principal name behind a domain is refused too", .pending = true,
     .authorization = authenticate, .accept = completes, .display = {0, 0, "DOM\\alice@orvane.example"},
     .result = 401, .challenge = "NTLM", .code = "E", .gssauthret = "401", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, client_name_not_domain_user})},
    {.name = "channel binding over plain HTTP", .authorization = negotiate, .result = 500,
     .challenge = "NTLM", .code = "E", .gssauthret = "500", .log = sites({hook_entered, channel_binding_needs_tls}),
     .directives = {{"OrvaneNTLMChannelBinding", "On"}}},
    {.name = "channel binding: the negotiate message goes on with our bindings",
     .authorization = negotiate, .accept = asks_more, .result = 401, .challenge = challenge_header,
     .code = "C", .gssauthret = "401", .pending_after = true, .log = sites({hook_entered, verification_returned, token_sent_back, continue_needed, storing_context}),
     .directives = {{"OrvaneNTLMChannelBinding", "On"}}, .tls = true, .bindings_saw = &gss_test::server_bindings},
    {.name = "channel binding: an answer with bindings goes to the mechanism", .pending = true,
     .authorization = bound_answer.c_str(), .accept = completes, .display = named, .result = 0,
     .user = "DOM\\user", .gssauthret = "0", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, setting_request_user}),
     .directives = {{"OrvaneNTLMChannelBinding", "On"}}, .tls = true, .bindings_saw = &gss_test::server_bindings},
    {.name = "channel binding: an answer without bindings is refused", .pending = true,
     .authorization = unbound_answer.c_str(), .result = 401, .challenge = "NTLM", .code = "E",
     .gssauthret = "401", .log = sites({hook_entered, existing_context, answer_without_channel_bindings}), .directives = {{"OrvaneNTLMChannelBinding", "On"}},
     .tls = true},
    {.name = "channel binding: an answer with empty bindings is refused", .pending = true,
     .authorization = zero_bound_answer.c_str(), .result = 401, .challenge = "NTLM", .code = "E",
     .gssauthret = "401", .log = sites({hook_entered, existing_context, answer_without_channel_bindings}), .directives = {{"OrvaneNTLMChannelBinding", "On"}},
     .tls = true},
    {.name = "channel binding off: an answer without bindings, and none passed", .pending = true,
     .authorization = unbound_answer.c_str(), .accept = completes, .display = named, .result = 0,
     .user = "DOM\\user", .gssauthret = "0", .log = sites({hook_entered, existing_context, verification_returned, continue_needed, setting_request_user}),
     .directives = {{"OrvaneNTLMChannelBinding", "Off"}}, .tls = true, .bindings_saw = &no_bindings},
    {.name = "scheme word alone gives an empty token", .pending = true, .authorization = "NTLM",
     .accept = failure(0), .result = 401, .challenge = "NTLM", .code = "E", .gssauthret = "401",
     .log = sites({hook_entered, existing_context, verification_returned, accept_failed}), .mechanism_saw = ""},
    {.name = "token cut at a character outside the alphabet", .authorization = "NTLM bmVnb3Rp!YXRl",
     .accept = asks_more, .result = 401, .challenge = challenge_header, .code = "C",
     .gssauthret = "401", .pending_after = true, .log = sites({hook_entered, verification_returned, token_sent_back, continue_needed, storing_context}),
     .mechanism_saw = "negoti"},
    {.name = "text after the token word ignored", .authorization = "ntlm   bmVnb3RpYXRl  more words",
     .accept = asks_more, .result = 401, .challenge = challenge_header, .code = "C",
     .gssauthret = "401", .pending_after = true, .log = sites({hook_entered, verification_returned, token_sent_back, continue_needed, storing_context}),
     .mechanism_saw = "negotiate"},
    {.name = "Basic scheme leaves the pending context", .pending = true,
     .authorization = "Basic dXNlcjpwdw==", .result = 401, .challenge = "NTLM", .code = "E",
     .gssauthret = "401", .pending_after = true, .log = sites({hook_entered})},
    {.name = "Negotiate scheme", .authorization = "Negotiate bmVnb3RpYXRl", .result = 401,
     .challenge = "NTLM", .code = "E", .gssauthret = "401", .log = sites({hook_entered})},
    {.name = "no header leaves the pending context", .pending = true, .result = 401,
     .challenge = "NTLM", .code = "E", .pending_after = true, .log = sites({hook_entered})},
};
// clang-format on

TEST_P(gss_leg, outcome_headers_log_and_ownership)
{
    const leg_row &row = GetParam();
    if (row.pending)
        leave_pending_context();
    const int accepts_before = gss_double::counts().accept_calls;
    gss_double::script(row.accept, row.display);

    request_rec *r = gss_test::new_request(&conn, "Authorization", row.authorization);
    ASSERT_EQ(gss_test::configure(r, row.directives), nullptr);
    standin::set_tls(row.tls ? gss_test::server_cert : nullptr);
    EXPECT_EQ(gss_test::run_hook(r), row.result);

    const auto maybe = [](const char *s) { return s ? strings{s} : strings{}; };
    EXPECT_EQ(gss_test::values(r->err_headers_out, "WWW-Authenticate"), maybe(row.challenge));
    EXPECT_EQ(gss_test::values(r->err_headers_out, "OV-GSS-Error-Code"), maybe(row.code));
    EXPECT_EQ(apr_table_elts(r->err_headers_out)->nelts, row.challenge ? 2 : 0);
    EXPECT_EQ(gss_test::values(r->subprocess_env, "GSSAUTHRET"), maybe(row.gssauthret));
    EXPECT_STREQ(r->user, row.user);
    EXPECT_STREQ(r->ap_auth_type, row.user ? "NTLM" : nullptr);

    EXPECT_EQ(gss_test::logged_lines(), row.log);
    EXPECT_TRUE(gss_test::log_lines_well_formed());
    if (row.error_text) {
        EXPECT_EQ(standin::logged().back().text, row.error_text);
    }
    const bool exchanged = gss_double::counts().accept_calls > accepts_before;
    EXPECT_EQ(exchanged, std::string(row.log).find("283") != std::string::npos);
    if (row.mechanism_saw) {
        EXPECT_EQ(gss_double::counts().last_input, row.mechanism_saw);
    }
    if (row.bindings_saw) {
        EXPECT_EQ(gss_double::counts().last_bindings, *row.bindings_saw);
    }

    const auto &seen = gss_double::counts();
    EXPECT_EQ(gss_double::live_contexts(), row.pending_after ? 1 : 0);
    EXPECT_EQ(seen.names_made, seen.names_released);
    EXPECT_EQ(seen.creds_made, seen.creds_released);
    EXPECT_EQ(seen.accepts_with_ntlm_cred, seen.accept_calls) << "an exchange open to other mechanisms";
    EXPECT_LE(seen.acceptor_creds, 1) << "one credential per thread";
    EXPECT_EQ(seen.buffers_made, seen.buffers_released);
    gss_test::end_request(r);
    // The fixture closes the connection and checks that every context went once.
}

INSTANTIATE_TEST_SUITE_P(rows, gss_leg, ::testing::ValuesIn(leg_rows));

// --- a connection that stays signed on ---
// Legend: each step is an initial request on connection 0, or on connection
// 1 (opened before the first step, as a second client would), or on
// connection 0 closed and opened again first (reopen); authorization null
// sends none. user and gssauthret are what the request ends with (null:
// none); a step exchanges a leg with the library exactly when it carries
// an Authorization value. directives add to the row's for that step (its
// location's settings); display is the name the library gives. All run
// over TLS.
enum class on { first, second, reopen };
struct bound_step {
    on connection = on::first;
    const char *authorization = nullptr;
    accept_answer accept = {};
    int result = 401;
    const char *user = nullptr;
    const char *gssauthret = nullptr;
    std::vector<gss_test::directive> directives = {};
    display_answer display = named;
};
struct bound_row {
    const char *name;
    const char *bound;  // OrvaneNTLMConnectionBound's argument
    std::vector<bound_step> steps;
};

void PrintTo(const bound_row &row, std::ostream *os)
{
    *os << row.name;
}

struct gss_bound : gss_module, ::testing::WithParamInterface<bound_row> {};

// clang-format off
const bound_step negotiates{.authorization = negotiate, .accept = asks_more, .gssauthret = "401"};
const bound_step signs_on{.authorization = authenticate, .accept = completes, .result = OK, .user = "DOM\\user",
                          .gssauthret = "0"};
const bound_step reuses{.result = OK, .user = "DOM\\user", .gssauthret = "0"};
const bound_step refused{};
const std::vector<gss_test::directive> bind_channel{{"OrvaneNTLMChannelBinding", "On"}};
const std::vector<gss_test::directive> other_default{{"OrvaneNTLMDefaultDomain", "OTHER"}};

const bound_row bound_rows[] = {
    {.name = "requests after the handshake run as its user", .bound = "On",
     .steps = {negotiates, signs_on, reuses, reuses, reuses}},
    {.name = "not on another connection", .bound = "On",
     .steps = {negotiates, signs_on, {.connection = on::second}, reuses}},
    {.name = "not after the connection closed", .bound = "On",
     .steps = {negotiates, signs_on, {.connection = on::reopen}}},
    {.name = "a new negotiate message forgets the user", .bound = "On",
     .steps = {negotiates, signs_on, negotiates, refused}},
    {.name = "a failed handshake leaves no user", .bound = "On",
     .steps = {negotiates, signs_on, negotiates,
               {.authorization = authenticate, .accept = failure(40022), .gssauthret = "401"}, refused}},
    {.name = "a later handshake's user replaces the first", .bound = "On",
     .steps = {negotiates, signs_on, negotiates, signs_on, reuses}},
    {.name = "off: every request needs the handshake", .bound = "Off", .steps = {negotiates, signs_on, refused}},
    // A location with stricter settings than the handshake's asks for its own.
    {.name = "signed on without bindings: not where they are required", .bound = "On",
     .steps = {negotiates, signs_on, {.directives = bind_channel}, reuses}},
    {.name = "signed on with bindings: also where they are not", .bound = "On",
     .steps = {{.authorization = negotiate, .accept = asks_more, .gssauthret = "401", .directives = bind_channel},
               {.authorization = bound_answer.c_str(), .accept = completes, .result = OK, .user = "DOM\\user",
                .gssauthret = "0", .directives = bind_channel},
               reuses, {.result = OK, .user = "DOM\\user", .gssauthret = "0", .directives = bind_channel}}},
    {.name = "name with its domain: whatever the default domain", .bound = "On",
     .steps = {negotiates, signs_on, {.result = OK, .user = "DOM\\user", .gssauthret = "0", .directives = other_default}}},
};
// clang-format on

TEST_P(gss_bound, steps)
{
    const bound_row &row = GetParam();
    standin::set_tls(gss_test::server_cert);
    gss_test::connection second{};
    gss_test::open_connection(&second);
    for (const bound_step &step : row.steps) {
        SCOPED_TRACE(&step - row.steps.data());
        if (step.connection == on::reopen) {
            gss_test::close_connection(&conn);
            gss_test::open_connection(&conn);
        }
        gss_double::script(step.accept, step.display);
        const int accepts_before = gss_double::counts().accept_calls;
        request_rec *r =
            gss_test::new_request(step.connection == on::second ? &second : &conn, "Authorization", step.authorization);
        std::vector<gss_test::directive> directives{{"OrvaneNTLMConnectionBound", row.bound}};
        directives.insert(directives.end(), step.directives.begin(), step.directives.end());
        ASSERT_EQ(gss_test::configure(r, directives), nullptr);
        EXPECT_EQ(gss_test::run_hook(r), step.result);
        EXPECT_STREQ(r->user, step.user);
        EXPECT_STREQ(r->ap_auth_type, step.user ? "NTLM" : nullptr);
        const auto result = gss_test::values(r->subprocess_env, "GSSAUTHRET");
        EXPECT_EQ(result, step.gssauthret ? strings{step.gssauthret} : strings{});
        EXPECT_EQ(gss_double::counts().accept_calls - accepts_before, step.authorization ? 1 : 0);
        if (step.result == OK && !step.authorization) {
            EXPECT_EQ(apr_table_elts(r->err_headers_out)->nelts, 0) << "no challenge";
        }
        EXPECT_TRUE(gss_test::log_lines_well_formed());
        gss_test::end_request(r);
    }
    gss_test::close_connection(&second);
}

INSTANTIATE_TEST_SUITE_P(rows, gss_bound, ::testing::ValuesIn(bound_rows));

// Directive arguments the server refuses to start with.
TEST_F(gss_module, directive_arguments)
{
    struct argument_row {
        const char *directive, *argument;
        bool accepted;
    };
    constexpr argument_row rows[] = {
        {"OrvaneNTLMDefaultDomain", "orvane", true}, {"OrvaneNTLMDefaultDomain", "ORVANE\\x", false},
        {"OrvaneNTLMDefaultDomain", "x@y", false},   {"OrvaneNTLMDefaultDomain", "", false},
        {"OrvaneNTLMConnectionBound", "On", true},   {"OrvaneNTLMChannelBinding", "Off", true},
    };
    for (const argument_row &row : rows) {
        SCOPED_TRACE(std::string(row.directive) + " '" + row.argument + "'");
        request_rec *r = gss_test::new_request(&conn, "Authorization", nullptr);
        EXPECT_EQ(gss_test::configure(r, {{row.directive, row.argument}}) == nullptr, row.accepted);
        gss_test::end_request(r);
    }
}

// --- which header, and the sub-request shortcut ---
enum class request_kind { initial, subrequest, nested_subrequest, redirect };

// Legend: top_result is "GSSAUTHRET" on the top-level request (null: unset);
// a null challenge means no header at all.
struct hook_row {
    const char *name;
    const char *auth_type = "NTLM";
    int proxyreq = PROXYREQ_NONE;
    const char *header = "Authorization";
    request_kind kind = request_kind::initial;
    const char *top_result = nullptr;
    int result = 401;
    const char *challenge_header = nullptr;
    const char *challenge = nullptr;
    const char *code = nullptr;
    const char *user = nullptr;
    bool exchanged = false;
    const char *gssauthret = nullptr;
};

void PrintTo(const hook_row &row, std::ostream *os)
{
    *os << row.name;
}

struct gss_hook : gss_module, ::testing::WithParamInterface<hook_row> {};

// clang-format off
const hook_row hook_rows[] = {
    {.name = "AuthType in other letters", .auth_type = "nTlM", .challenge_header = "WWW-Authenticate",
     .challenge = challenge_header, .code = "C", .exchanged = true, .gssauthret = "401"},
    {.name = "other AuthType declines", .auth_type = "Basic", .result = DECLINED},
    {.name = "no AuthType declines", .auth_type = nullptr, .result = DECLINED},
    {.name = "forward proxy", .proxyreq = PROXYREQ_PROXY, .header = "Proxy-Authorization",
     .challenge_header = "Proxy-Authenticate", .challenge = challenge_header, .code = "C", .exchanged = true,
     .gssauthret = "401"},
    {.name = "forward proxy ignores Authorization", .proxyreq = PROXYREQ_PROXY,
     .challenge_header = "Proxy-Authenticate", .challenge = "NTLM", .code = "E"},
    {.name = "reverse proxy uses the ordinary names", .proxyreq = PROXYREQ_REVERSE,
     .challenge_header = "WWW-Authenticate", .challenge = challenge_header, .code = "C", .exchanged = true,
     .gssauthret = "401"},
    {.name = "sub-request of an authenticated request", .kind = request_kind::subrequest, .top_result = "0",
     .result = OK, .user = "DOM\\top"},
    {.name = "nested sub-request of an authenticated request", .kind = request_kind::nested_subrequest,
     .top_result = "0", .result = OK, .user = "DOM\\top"},
    {.name = "sub-request of a failed request runs the exchange", .kind = request_kind::subrequest,
     .top_result = "401", .challenge_header = "WWW-Authenticate", .challenge = challenge_header, .code = "C",
     .exchanged = true},
    {.name = "sub-request with no recorded result runs the exchange", .kind = request_kind::subrequest,
     .challenge_header = "WWW-Authenticate", .challenge = challenge_header, .code = "C", .exchanged = true},
    {.name = "internal redirect never takes the shortcut", .kind = request_kind::redirect, .top_result = "0",
     .challenge_header = "WWW-Authenticate", .challenge = challenge_header, .code = "C", .exchanged = true},
};
// clang-format on

TEST_P(gss_hook, routing_and_shortcut)
{
    const hook_row &row = GetParam();
    standin::set_auth_type(row.auth_type);
    gss_double::script(asks_more);

    request_rec *top = gss_test::new_request(&conn, row.header, negotiate);
    top->proxyreq = row.proxyreq;
    top->user = const_cast<char *>("DOM\\top");
    top->ap_auth_type = const_cast<char *>("NTLM");
    if (row.top_result)
        apr_table_setn(top->subprocess_env, "GSSAUTHRET", row.top_result);
    request_rec *r = top;
    if (row.kind == request_kind::redirect) {
        r = gss_test::new_redirect(top);
    } else if (row.kind != request_kind::initial) {
        r = gss_test::new_subrequest(top);
        if (row.kind == request_kind::nested_subrequest)
            r = gss_test::new_subrequest(r);
    } else {
        top->user = nullptr;
        top->ap_auth_type = nullptr;
    }

    EXPECT_EQ(gss_test::run_hook(r), row.result);
    const auto maybe = [](const char *s) { return s ? strings{s} : strings{}; };
    EXPECT_EQ(apr_table_elts(r->err_headers_out)->nelts, row.challenge ? 2 : 0);
    if (row.challenge) {
        EXPECT_EQ(gss_test::values(r->err_headers_out, row.challenge_header), strings{row.challenge});
        EXPECT_EQ(gss_test::values(r->err_headers_out, "OV-GSS-Error-Code"), strings{row.code});
    }
    const char *own_result = r == top ? row.gssauthret : nullptr;
    EXPECT_EQ(gss_test::values(r->subprocess_env, "GSSAUTHRET"), maybe(own_result));
    EXPECT_STREQ(r->user, row.user);
    EXPECT_STREQ(r->ap_auth_type, row.user ? "NTLM" : nullptr);
    EXPECT_EQ(gss_double::counts().accept_calls, row.exchanged ? 1 : 0);
    EXPECT_TRUE(gss_test::log_lines_well_formed());
    EXPECT_EQ(standin::logged().front().text, "[pid " + std::to_string(getpid()) +
                                                  "] kerb_authenticate_user entered with user (NULL) and auth_type " +
                                                  (row.auth_type ? row.auth_type : "(NULL)"));
    gss_test::end_request(top);
}

INSTANTIATE_TEST_SUITE_P(rows, gss_hook, ::testing::ValuesIn(hook_rows));

// The module record as Apache loads it, and what its registration leaves.
TEST_F(gss_module, record_and_registration)
{
    const module &m = auth_orvane_gss_module;
    EXPECT_EQ(m.version, MODULE_MAGIC_NUMBER_MAJOR);
    EXPECT_EQ(m.minor_version, MODULE_MAGIC_NUMBER_MINOR);
    EXPECT_EQ(m.module_index, -1);
    EXPECT_STREQ(m.name, "src/mod_auth_orvane_gss.cpp");
    EXPECT_EQ(m.magic, MODULE_MAGIC_COOKIE);
    EXPECT_NE(m.create_dir_config, nullptr);
    EXPECT_NE(m.merge_dir_config, nullptr);
    EXPECT_EQ(m.create_server_config, nullptr);
    EXPECT_EQ(m.merge_server_config, nullptr);
    strings directives;
    for (const command_rec *cmd = m.cmds; cmd && cmd->name; ++cmd)
        directives.emplace_back(cmd->name);
    EXPECT_EQ(directives, (strings{"OrvaneNTLMConnectionBound", "OrvaneNTLMDefaultDomain", "OrvaneNTLMChannelBinding",
                                   "OrvaneNTLMDomainAlias"}));

    request_rec *r = gss_test::new_request(&conn, "Authorization", nullptr);
    gss_test::run_hook(r);  // registers the module
    const auto &hooks = standin::auth_hooks();
    ASSERT_EQ(hooks.post_configs.size(), 1u);
    ASSERT_EQ(hooks.check_user_ids.size(), 1u);
    EXPECT_EQ(hooks.post_configs[0].order, APR_HOOK_MIDDLE);
    EXPECT_EQ(hooks.check_user_ids[0].order, APR_HOOK_MIDDLE);
    EXPECT_EQ(hooks.post_configs[0].func(conn.pool, conn.pool, conn.pool, &conn.server), OK);
    EXPECT_EQ(hooks.version_components, strings{"mod_auth_orvane_gss/0.1"});
    gss_test::end_request(r);
}

}  // namespace
