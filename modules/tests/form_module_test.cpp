// In-process tests of mod_auth_orvane_form: the module source runs over real
// APR, the httpd stand-in and a double of the LSA client. The program
// interposes the allocator and a few APR calls to inject failures and to
// check that no block is freed while it still holds form data.
#include "form_lsa_double.h"
#include "httpd_standin.h"
#include "mod_auth_orvane_form.h"

#include <apr_buckets.h>
#include <apr_thread_mutex.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

using namespace std::literals;

// ---------------------------------------------------------------------------
// Allocation watch and fault injection

// Under AddressSanitizer the allocator below ours is the sanitizer's, and
// ours runs before the sanitizer has set up its shadow memory.
#if defined(__SANITIZE_ADDRESS__)
#define __libc_malloc __interceptor_malloc
#define __libc_calloc __interceptor_calloc
#define __libc_realloc __interceptor_realloc
#define __libc_free __interceptor_free
#define ALLOCATOR_HOOK __attribute__((no_sanitize_address))
#else
#define ALLOCATOR_HOOK
#endif
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace watch {

// The sanitizer allocates while it starts, before its shadow memory is
// there; until this file's statics are set up, calls go straight through.
bool ready = false;
const bool made_ready = (ready = true);

// Texts of the login form below; no block may be freed while holding one.
constexpr const char *markers[] = {"u5erMark", "D0Mark", "pa55Mark"};

std::atomic<bool> on{false};
std::atomic<int> dirty_frees{0};        // blocks freed with form data in them
std::atomic<int> form_sized_frees{0};   // blocks freed that could be a form buffer
std::atomic<std::size_t> fail_size{0};  // the next malloc/calloc of this size fails

bool holds_marker(const void *p, std::size_t n)
{
    for (const char *m : markers)
        if (memmem(p, n, m, std::strlen(m)))
            return true;
    return false;
}

ALLOCATOR_HOOK bool take_failure(std::size_t n)
{
    std::size_t expected = n;
    return n != 0 && fail_size.compare_exchange_strong(expected, 0);
}

}  // namespace watch

extern "C" ALLOCATOR_HOOK void *malloc(size_t n)
{
    if (!watch::ready)
        return __libc_malloc(n);
    if (watch::take_failure(n))
        return nullptr;
    void *p = __libc_malloc(n);
    // Old contents of a reused block must not count against its new owner.
    if (p && watch::on)
        std::memset(p, 0, malloc_usable_size(p));
    return p;
}

extern "C" ALLOCATOR_HOOK void *calloc(size_t n, size_t size)
{
    if (!watch::ready)
        return __libc_calloc(n, size);
    if (watch::take_failure(n * size))
        return nullptr;
    return __libc_calloc(n, size);
}

extern "C" ALLOCATOR_HOOK void *realloc(void *p, size_t n)
{
    return __libc_realloc(p, n);
}

extern "C" ALLOCATOR_HOOK void free(void *p)
{
    if (p && watch::ready && watch::on) {
        const std::size_t n = malloc_usable_size(p);
        if (watch::holds_marker(p, n))
            ++watch::dirty_frees;
        if (n >= 0x4000 + 2)
            ++watch::form_sized_frees;
    }
    __libc_free(p);
}

namespace inject {
std::atomic<bool> mutex_create_fails{false};
std::atomic<apr_status_t> lock_status{0};
std::atomic<apr_status_t> unlock_status{0};
std::atomic<bool> heap_bucket_fails{false};

template <typename Fn> Fn real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace inject

extern "C" apr_status_t apr_thread_mutex_create(apr_thread_mutex_t **mutex, unsigned int flags, apr_pool_t *pool)
{
    if (inject::mutex_create_fails)
        return APR_ENOMEM;
    static auto fn =
        inject::real<apr_status_t (*)(apr_thread_mutex_t **, unsigned, apr_pool_t *)>("apr_thread_mutex_create");
    return fn(mutex, flags, pool);
}

extern "C" apr_status_t apr_thread_mutex_lock(apr_thread_mutex_t *mutex)
{
    if (mutex == lsaMutex && inject::lock_status != 0)
        return inject::lock_status;
    static auto fn = inject::real<apr_status_t (*)(apr_thread_mutex_t *)>("apr_thread_mutex_lock");
    return fn(mutex);
}

// A failing unlock still unlocks, so that the next test can lock.
extern "C" apr_status_t apr_thread_mutex_unlock(apr_thread_mutex_t *mutex)
{
    static auto fn = inject::real<apr_status_t (*)(apr_thread_mutex_t *)>("apr_thread_mutex_unlock");
    const apr_status_t rv = fn(mutex);
    if (mutex == lsaMutex && inject::unlock_status != 0)
        return inject::unlock_status;
    return rv;
}

extern "C" apr_bucket *apr_bucket_heap_create(const char *buf, apr_size_t nbyte, void (*free_func)(void *),
                                              apr_bucket_alloc_t *list)
{
    if (inject::heap_bucket_fails && free_func == zero_and_free)
        return nullptr;
    static auto fn = inject::real<apr_bucket *(*)(const char *, apr_size_t, void (*)(void *), apr_bucket_alloc_t *)>(
        "apr_bucket_heap_create");
    return fn(buf, nbyte, free_func, list);
}

namespace {

// ---------------------------------------------------------------------------
// Shared fixtures

constexpr const char *form_type = "application/x-www-form-urlencoded";
constexpr std::string_view form_body =
    "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&lang=en";
constexpr std::string_view form_body_checked =
    "username=u5erMarkOne&domain=D0MarkDom&password=&&&&&&&&&&&&&&&&&&result=1&lang=en";
constexpr const char *form_login = "D0MarkDom\\u5erMarkOne";
constexpr const char *form_password = "pa55MarkSecret!";

// Log lines as "<level letter> <status> <text>", the filter's own name
// shortened to "if".
std::vector<std::string> rendered_log()
{
    std::vector<std::string> out;
    for (const auto &line : standin::logged()) {
        static constexpr std::string_view levels = "..CEWNID";
        std::string text = line.text;
        constexpr std::string_view filter_prefix = "mod_auth_orvane_form_if: ";
        if (text.starts_with(filter_prefix))
            text = "if: " + text.substr(filter_prefix.size());
        const char level = line.level < static_cast<int>(levels.size()) ? levels[line.level] : '?';
        out.push_back(std::string(1, level) + " " + std::to_string(line.status) + " " + text);
    }
    return out;
}

const std::string log_called = "I 0 if: input filter called";
const std::string log_exit = "I 0 if: input filter exit with success";
const std::string log_accepted = "I 0 if: result for user <D0MarkDom\\u5erMarkOne>: 1";
const std::string log_bad_name =
    "W 22 if: bad escape in user name or domain, or backslash in domain, not authenticated";
const std::string log_repeated =
    "W 22 if: username or domain given twice, or under a key some parser reads as one, not authenticated";

const std::string log_open_failed = "E 20014 if: Failed to initialize LSA";

// form_body-like bodies as the filter hands them up: the password's raw text
// blanked, the first character of "result=9" replaced by the code.
std::string checked(std::string_view body, char code)
{
    std::string out(body);
    for (std::size_t at; (at = out.find("pa55Mark")) != std::string::npos;) {
        const std::size_t end = std::min(out.find('&', at), out.size());
        out.replace(at, end - at, end - at, '&');
    }
    if (const std::size_t at = out.find("result=9"); at != std::string::npos)
        out[at + 7] = code;
    return out;
}

// A form padded to `size` bytes with a trailing field.
std::string padded_form(std::size_t size)
{
    std::string body(form_body);
    body += "&pad=";
    body.append(size - body.size(), 'x');
    return body;
}

const std::string form_body_at_limit = padded_form(0x4000);
const std::string form_body_over_limit = padded_form(0x4001);

enum class bucket_kind { heap, transient, immortal, file };
enum class fault { none, no_mutex, lock_fails, unlock_fails, heap_bucket_fails };

// One request whose handler reads a form body through the filter.
struct filter_row {
    const char *name;
    std::string_view body = form_body;
    const char *content_type = form_type;
    const char *content_encoding = nullptr;
    bool chunked = false;  // Transfer-Encoding instead of Content-Length
    // The filter below hands the body out in pieces of `piece` bytes (0: all
    // at once), one per read, with EOS after the last.
    std::size_t piece = 0;
    bucket_kind kind = bucket_kind::heap;
    apr_status_t below_fails = 0;    // its first read fails so
    bool below_would_block = false;  // its second read would block
    bool unreadable_bucket = false;  // a bucket that cannot be read follows the first piece
    bool flush_first = false;        // a FLUSH bucket comes first
    // Faults around the module
    fault inject = fault::none;
    std::size_t fail_alloc = 0;  // the next malloc/calloc of this size fails
    DWORD open_result = 0;
    DWORD auth_result = 0;
    apr_read_type_e block = APR_BLOCK_READ;
    apr_off_t readbytes = 8192;
    ap_input_mode_t mode = AP_MODE_READBYTES;
    bool peek_first = false;  // the handler first reads speculatively
    // Expected: what the filter's init answers before the handler runs
    // (OK, or the HTTP status that ends the request, whose body Apache then
    // tries to discard through the filter), the statuses of the handler's
    // reads (repeats folded), the body it read up to EOS (nullopt: nothing,
    // no EOS either), the log, and the login name and password checked
    // (null login: no check).
    int init_status = OK;
    std::vector<apr_status_t> statuses = {0};
    std::optional<std::string> passed = checked(form_body, '1');
    std::vector<std::string> logs = {log_called, log_accepted, log_exit};
    const char *login = form_login;
    const char *password = form_password;
};

struct below_state {
    const filter_row *row;
    std::size_t offset;
    int reads;
    std::vector<char *> transient_blocks;  // released once the request is over
    apr_pool_t *pool;                      // for file buckets
};

apr_status_t failing_read(apr_bucket *, const char **, apr_size_t *, apr_read_type_e)
{
    return EIO;
}

const apr_bucket_type_t unreadable_type = {
    "UNREADABLE",
    5,
    apr_bucket_type_t::APR_BUCKET_DATA,
    apr_bucket_destroy_noop,
    failing_read,
    apr_bucket_setaside_notimpl,
    apr_bucket_split_notimpl,
    apr_bucket_copy_notimpl,
};

apr_bucket *unreadable_bucket(apr_bucket_alloc_t *list)
{
    auto *b = static_cast<apr_bucket *>(apr_bucket_alloc(sizeof(apr_bucket), list));
    APR_BUCKET_INIT(b);
    b->free = apr_bucket_free;
    b->list = list;
    b->type = &unreadable_type;
    b->length = 1;
    b->start = 0;
    b->data = nullptr;
    return b;
}

apr_bucket *data_bucket(below_state *state, std::string_view data, apr_bucket_alloc_t *list)
{
    if (state->row->kind == bucket_kind::immortal)  // read-only memory: a write would crash
        return apr_bucket_immortal_create(data.data(), data.size(), list);
    if (state->row->kind == bucket_kind::file) {  // read in pieces, splitting itself as it goes
        char name[] = "/tmp/form-bucket-XXXXXX";
        apr_file_t *file = nullptr;
        apr_size_t written = 0;
        if (apr_file_mktemp(&file, name,
                            APR_FOPEN_CREATE | APR_FOPEN_READ | APR_FOPEN_WRITE | APR_FOPEN_EXCL | APR_FOPEN_DELONCLOSE,
                            state->pool) != APR_SUCCESS ||
            apr_file_write_full(file, data.data(), data.size(), &written) != APR_SUCCESS)
            return nullptr;
        apr_bucket *b = apr_bucket_file_create(file, 0, data.size(), state->pool, list);
        apr_bucket_file_enable_mmap(b, 0);
        return b;
    }
    auto *copy = static_cast<char *>(malloc(data.size()));
    std::memcpy(copy, data.data(), data.size());
    if (state->row->kind == bucket_kind::transient) {
        state->transient_blocks.push_back(copy);
        return apr_bucket_transient_create(copy, data.size(), list);
    }
    return apr_bucket_heap_create(copy, data.size(), free, list);
}

// The filter below ours, handing the body out as the HTTP input filter
// would: never more than readbytes per read, EOS with the last data.
apr_status_t below(void *data, apr_bucket_brigade *bb, ap_input_mode_t, apr_read_type_e, apr_off_t readbytes)
{
    auto *state = static_cast<below_state *>(data);
    const filter_row &row = *state->row;
    ++state->reads;
    if (row.below_fails && state->reads == 1)
        return row.below_fails;
    if (row.below_would_block && state->reads == 2)
        return APR_EAGAIN;
    if (row.flush_first && state->reads == 1)
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_flush_create(bb->bucket_alloc));
    if (state->offset < row.body.size()) {
        std::size_t n = row.body.size() - state->offset;
        if (row.piece)
            n = std::min(n, row.piece);
        n = std::min(n, static_cast<std::size_t>(readbytes));
        APR_BRIGADE_INSERT_TAIL(bb, data_bucket(state, row.body.substr(state->offset, n), bb->bucket_alloc));
        if (row.unreadable_bucket && state->offset == 0)
            APR_BRIGADE_INSERT_TAIL(bb, unreadable_bucket(bb->bucket_alloc));
        state->offset += n;
    }
    if (state->offset == row.body.size())
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(bb->bucket_alloc));
    return APR_SUCCESS;
}

// Appends the brigade's data to *to; true when it ends in EOS.
bool read_data(apr_bucket_brigade *bb, std::string *to)
{
    for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b)) {
        if (APR_BUCKET_IS_EOS(b))
            return true;
        const char *data = nullptr;
        apr_size_t len = 0;
        if (apr_bucket_read(b, &data, &len, APR_BLOCK_READ) == APR_SUCCESS)
            to->append(data, len);
    }
    return false;
}

struct outcome {
    int init_status = OK;
    std::vector<apr_status_t> statuses;
    std::string body;
    bool eos = false;
    apr_off_t largest_read = 0;  // most data that one read handed up
    int below_reads = 0;
    std::string peeked;  // what a speculative read saw
    // After a refusing init: whether the connection closes, and the codings
    // offered. After a chunked body's init: the length the handler is told.
    ap_conn_keepalive_e keepalive = AP_CONN_UNKNOWN;
    std::string accept_encoding;
    std::string length;
    bool chunked_after = false;
};

class form_module : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { apr_initialize(); }

    void SetUp() override
    {
        apr_pool_create(&root_, nullptr);
        lsa_double::reset();
        standin::clear_registrations();
        standin::clear_log();
        auth_orvane_form_module.register_hooks(root_);
        ASSERT_EQ(standin::child_inits().size(), 1u);
        ASSERT_EQ(standin::input_filters().size(), 1u);
        start_child();
        standin::clear_log();
    }

    void TearDown() override
    {
        watch::on = false;
        watch::fail_size = 0;
        inject::mutex_create_fails = false;
        inject::lock_status = 0;
        inject::unlock_status = 0;
        inject::heap_bucket_fails = false;
        stop_child();
        lsaMutex = nullptr;
        hLsaConnection = nullptr;
        apr_pool_destroy(root_);
        standin::clear_registrations();
        lsa_double::reset();
    }

    void start_child()
    {
        apr_pool_create(&child_, root_);
        standin::child_inits().front().func(child_, nullptr);
    }

    void stop_child()
    {
        if (child_)
            apr_pool_destroy(child_);
        child_ = nullptr;
    }

    // Runs one request: a handler reads the body through the filter until
    // EOS or a failure, with the row's faults in place.
    outcome run(const filter_row &row)
    {
        outcome out;
        out.body.reserve(0x10000);
        out.statuses.reserve(64);
        below_state source{&row, 0, 0, {}, root_};
        source.transient_blocks.reserve(0x10000);

        standin::request req;
        standin::make_request(&req, root_);
        if (row.content_type)
            apr_table_set(req.r.headers_in, "Content-Type", row.content_type);
        if (row.content_encoding)
            apr_table_set(req.r.headers_in, "Content-Encoding", row.content_encoding);
        if (row.chunked)
            apr_table_set(req.r.headers_in, "Transfer-Encoding", "chunked");
        else
            apr_table_set(req.r.headers_in, "Content-Length", std::to_string(row.body.size()).c_str());
        standin::filter_chain chain;
        make_filter_chain(&chain, &req, standin::input_filters().front().func, below, &source);
        lsa_double::get().open_result = row.open_result;
        lsa_double::get().auth_result = row.auth_result;
        if (row.inject == fault::no_mutex) {
            apr_thread_mutex_destroy(lsaMutex);
            lsaMutex = nullptr;
        }
        inject::lock_status = row.inject == fault::lock_fails ? EDEADLK : 0;
        inject::unlock_status = row.inject == fault::unlock_fails ? EPERM : 0;
        inject::heap_bucket_fails = row.inject == fault::heap_bucket_fails;
        apr_bucket_brigade *bb = apr_brigade_create(req.pool, req.connection.bucket_alloc);

        watch::dirty_frees = 0;
        watch::form_sized_frees = 0;
        watch::on = true;
        watch::fail_size = row.fail_alloc;
        // As Apache does before it runs the handler.
        out.init_status = standin::input_filters().front().rec->filter_init_func(&chain.top);
        if (out.init_status != OK) {
            out.keepalive = req.connection.keepalive;
            if (const char *accept = apr_table_get(req.r.err_headers_out, "Accept-Encoding"))
                out.accept_encoding = accept;
        } else if (row.chunked) {
            const char *length = apr_table_get(req.r.headers_in, "Content-Length");
            out.length = length ? length : "none";
            out.chunked_after = apr_table_get(req.r.headers_in, "Transfer-Encoding") != nullptr;
        }
        if (row.peek_first) {
            out.peeked.reserve(0x10000);
            if (mod_auth_orvane_form_if(&chain.top, bb, AP_MODE_SPECULATIVE, row.block, row.readbytes) == APR_SUCCESS)
                read_data(bb, &out.peeked);
            apr_brigade_cleanup(bb);
        }
        for (int calls = 0; !out.eos && calls < 100000; ++calls) {
            const apr_status_t rv = mod_auth_orvane_form_if(&chain.top, bb, row.mode, row.block, row.readbytes);
            if (out.statuses.empty() || out.statuses.back() != rv)
                out.statuses.push_back(rv);
            if (rv != APR_SUCCESS && rv != APR_EAGAIN)
                break;
            const std::size_t before = out.body.size();
            out.eos = read_data(bb, &out.body);
            out.largest_read = std::max(out.largest_read, static_cast<apr_off_t>(out.body.size() - before));
            apr_brigade_cleanup(bb);
        }
        watch::fail_size = 0;
        standin::destroy_request(&req);
        for (char *block : source.transient_blocks)
            free(block);
        watch::on = false;

        inject::lock_status = 0;
        inject::unlock_status = 0;
        inject::heap_bucket_fails = false;
        if (row.inject == fault::no_mutex)
            apr_thread_mutex_create(&lsaMutex, APR_THREAD_MUTEX_UNNESTED, child_);
        out.below_reads = source.reads;
        return out;
    }

    apr_pool_t *root_ = nullptr;
    apr_pool_t *child_ = nullptr;
};

// Every line the module logs carries the source path of its module name.
void expect_source_path()
{
    for (const auto &line : standin::logged())
        EXPECT_EQ(line.file, "src/mod_auth_orvane_form.cpp") << line.text;
}

std::string row_name(const char *name)
{
    std::string out = name;
    for (char &c : out)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return out;
}

// ---------------------------------------------------------------------------
// The filter: every way through it, and what each leaves behind

// clang-format off
const filter_row filter_rows[] = {
    // Forms
    {.name = "right password", .passed = std::string(form_body_checked)},
    {.name = "content type in capitals", .content_type = "APPLICATION/X-WWW-FORM-URLENCODED"},
    {.name = "no result field", .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21", '?'),
     .logs = {log_called, log_exit}, .login = nullptr},
    {.name = "empty result value", .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=", '?'),
     .logs = {log_called, log_exit}, .login = nullptr},
    {.name = "no domain", .body = "username=u5erMarkOne&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne&password=pa55MarkSecret%21&result=9", '0'), .logs = {log_called, log_exit},
     .login = nullptr},
    {.name = "no password field", .body = "username=u5erMarkOne&domain=D0MarkDom&result=9xyz",
     .passed = "username=u5erMarkOne&domain=D0MarkDom&result=0xyz", .logs = {log_called, log_exit}, .login = nullptr},
    {.name = "two password fields, the first is checked",
     .body = "username=u5erMarkOne&password=pa55MarkSecret%21&domain=D0MarkDom&password=pa55MarkTwo&result=9",
     .passed = checked("username=u5erMarkOne&password=pa55MarkSecret%21&domain=D0MarkDom&password=pa55MarkTwo&result=9",
                       '1')},
    {.name = "password key without value", .body = "username=u5erMarkOne&domain=D0MarkDom&password&result=9",
     .passed = "username=u5erMarkOne&domain=D0MarkDom&password&result=1", .password = ""},
    {.name = "keys are matched decoded",
     .body = "user%6Eame=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("user%6Eame=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9", '1')},
    // Keys that a lenient parser (case, blanks, arrays) reads as a field.
    {.name = "user name under a key in another case is not checked",
     .body = "Username=nobody&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("Username=nobody&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
                       '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "domain under a blank-padded or array key is not checked",
     .body = "username=u5erMarkOne&domain=D0MarkDom&+domain%5B%5D+=x&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&+domain%5B%5D+=x&password=pa55MarkSecret%21&result=9",
                       '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "user name and result under bracketed keys (Rack, qs)",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&%5Busername=x&%5Dresult%5D=1",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&%5Busername=x"
                       "&%5Dresult%5D=0", '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    // Perl's CGI.pm and Ruby's CGI.parse end a pair at a raw ';' too: what
    // follows one is a pair of its own to them.
    {.name = "result behind a ; starts with 0, the form is checked",
     .body = "x=y;result=1&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("x=y;result=0&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9", '1')},
    {.name = "user name behind a ; is not checked",
     .body = "x=y;username=nobody&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("x=y;username=nobody&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
                       '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "domain behind a ; in a key is not checked",
     .body = "username=u5erMarkOne&x;domain=EVIL&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne&x;domain=EVIL&domain=D0MarkDom&password=pa55MarkSecret%21&result=9", '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "a ; in the user name is not checked",
     .body = "username=u5erMarkOne;x&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne;x&domain=D0MarkDom&password=pa55MarkSecret%21&result=9", '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "password behind a ; in another value is blanked, the form is checked",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9;x&lang=en;password=pa55MarkTwo",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9;x&lang=en;password="
                       "pa55MarkTwo", '1')},
    {.name = "a ; in the password is blanked with it",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21;result=1&result=9",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21;result=1&result=9", '1'),
     .password = "pa55MarkSecret!;result=1"},
    {.name = "a key with a %u escape may be any field: blanked, not checked",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&%u0072esult=1",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&%u0072esult=&", '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "escape that parsers read differently in the user name is not checked",
     .body = "username=%7zeter&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=%7zeter&domain=D0MarkDom&password=pa55MarkSecret%21&result=9", '0'),
     .logs = {log_called, log_bad_name, log_exit}, .login = nullptr},
    {.name = "backslash in the domain is not checked",
     .body = "username=u5erMarkOne&domain=D0MarkDom%5Cx&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom%5Cx&password=pa55MarkSecret%21&result=9", '0'),
     .logs = {log_called, log_bad_name, log_exit}, .login = nullptr},
    {.name = "password and result under keys in other spellings: blanked and '0'",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&PASSWORD=pa55MarkTwo"
             "&password[]=pa55MarkThree&Result=1",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&PASSWORD="
                       "pa55MarkTwo&password[]=pa55MarkThree&Result=0",
                       '1')},
    {.name = "two user names are not checked",
     .body = "username=nobody&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=nobody&username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
                       '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "two domains are not checked",
     .body = "domain=D0MarkDom&username=u5erMarkOne&password=pa55MarkSecret%21&result=9&domain=x",
     .passed = checked("domain=D0MarkDom&username=u5erMarkOne&password=pa55MarkSecret%21&result=9&domain=x", '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    // A key that is a field name, a NUL and more is another key to most
    // parsers and the field to those that read C strings: safe for both.
    {.name = "user name under a key with a NUL is not checked",
     .body = "username=u5erMarkOne&username%00x=nobody&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne&username%00x=nobody&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
                       '0'),
     .logs = {log_called, log_repeated, log_exit}, .login = nullptr},
    {.name = "password and result under keys with a NUL: blanked and '0'",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&password%00=pa55MarkTwo&result%00=1",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%21&result=9&password%00="
                       "pa55MarkTwo&result%00=0",
                       '1')},
    {.name = "escaped NUL in the user name is not checked",
     .body = "username=u5erMark%00admin&domain=D0MarkDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMark%00admin&domain=D0MarkDom&password=pa55MarkSecret%21&result=9", '0'),
     .logs = {log_called, "W 22 if: NUL byte in user name or domain, not authenticated", log_exit}, .login = nullptr},
    {.name = "NUL from a short escape in the domain is not checked",
     .body = "username=u5erMarkOne&domain=D0Mark%zzDom&password=pa55MarkSecret%21&result=9",
     .passed = checked("username=u5erMarkOne&domain=D0Mark%zzDom&password=pa55MarkSecret%21&result=9", '0'),
     .logs = {log_called, "W 22 if: NUL byte in user name or domain, not authenticated", log_exit}, .login = nullptr},
    {.name = "pairs behind a raw NUL byte are seen",
     .body = "username=u5erMarkOne&domain=D0MarkDom&lang=e\0n&password=pa55MarkSecret%21&result=9"sv,
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&lang=e\0n&password=pa55MarkSecret%21&result=9"sv, '1')},
    {.name = "raw NUL byte inside the password is blanked too",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55Mark\0Secret&result=9"sv,
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55Mark\0Secret&result=9"sv, '1'),
     .password = "pa55Mark"},
    {.name = "escaped NUL inside the password, all of it scrubbed",
     .body = "username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%00pa55MarkTail&result=9",
     .passed = checked("username=u5erMarkOne&domain=D0MarkDom&password=pa55MarkSecret%00pa55MarkTail&result=9", '1'),
     .password = "pa55MarkSecret"},
    {.name = "body of exactly 16384 bytes", .body = form_body_at_limit, .readbytes = 0x4000,
     .passed = checked(form_body_at_limit, '1')},
    // Failures
    {.name = "no content type", .content_type = nullptr, .statuses = {22}, .passed = std::nullopt,
     .logs = {log_called, "E 22 if: no content type in headers"}, .login = nullptr},
    {.name = "content type with charset", .content_type = "application/x-www-form-urlencoded; charset=UTF-8",
     .statuses = {22}, .passed = std::nullopt,
     .logs = {log_called, "E 22 if: content type isn't application/x-www-form-urlencoded"}, .login = nullptr},
    {.name = "filter below fails", .below_fails = APR_TIMEUP, .statuses = {APR_TIMEUP}, .passed = std::nullopt,
     .logs = {log_called, "E 70007 if: ap_get_brigade failed"}, .login = nullptr},
    {.name = "filter below would block, read resumes", .piece = 30, .below_would_block = true,
     .block = APR_NONBLOCK_READ, .statuses = {11, 0},
     .logs = {log_called, "I 0 if: input filter returning EAGAIN", log_called, log_accepted, log_exit}},
    {.name = "bucket cannot be read", .piece = 30, .unreadable_bucket = true, .statuses = {EIO},
     .passed = std::nullopt, .logs = {log_called, "E 5 if: apr_bucket_read failed"}, .login = nullptr},
    {.name = "flush bucket is dropped", .flush_first = true,
     .logs = {log_called, "W 22 if: invalid bucket length: 0", log_accepted, log_exit}},
    {.name = "more than 16384 bytes at once", .body = form_body_over_limit, .statuses = {28}, .passed = std::nullopt,
     .logs = {log_called, "W 28 if: request too large"}, .login = nullptr},
    {.name = "more than 16384 bytes in pieces", .body = form_body_over_limit, .piece = 1000, .statuses = {28},
     .passed = std::nullopt, .logs = {log_called, "W 28 if: request too large"}, .login = nullptr},
    {.name = "form buffer cannot be allocated", .fail_alloc = 0x4002, .statuses = {12}, .passed = std::nullopt,
     .logs = {log_called, "C 12 if: failed to allocate memory for form buffer"}, .login = nullptr},
    {.name = "key cannot be decoded", .body = "username=u5erMarkOne&0123456789012345678901234567890=1",
     .fail_alloc = 32, .statuses = {12}, .passed = std::nullopt,
     .logs = {log_called, "C 12 decode: failed to allocate memory for decoded string"}, .login = nullptr},
    {.name = "password cannot be decoded", .fail_alloc = 18, .statuses = {12}, .passed = std::nullopt,
     .logs = {log_called, "C 12 decode: failed to allocate memory for decoded string"}, .login = nullptr},
    {.name = "login name cannot be allocated", .fail_alloc = 22, .statuses = {12}, .passed = std::nullopt,
     .logs = {log_called, "C 12 if: failed to allocate memory for domain\\user string"}, .login = nullptr},
    {.name = "no mutex", .inject = fault::no_mutex, .statuses = {22}, .passed = std::nullopt,
     .logs = {log_called, "E 22 if: mutex not initalized so cannot proceed"}, .login = nullptr},
    {.name = "lock fails", .inject = fault::lock_fails, .statuses = {EDEADLK}, .passed = std::nullopt,
     .logs = {log_called, "E 35 if: apr_thread_mutex_lock failed"}, .login = nullptr},
    {.name = "LSA connection cannot be opened", .open_result = 111, .passed = checked(form_body, 'E'),
     .logs = {log_called, "E 20014 check_lsa_error: LSA error (40118): Domain is offline", log_open_failed,
              "I 20014 if: result for user <D0MarkDom\\u5erMarkOne>: E", log_exit},
     .login = nullptr},
    {.name = "wrong password", .auth_result = 40022, .passed = checked(form_body, '0'),
     .logs = {log_called, "N 0 check_lsa_error: LSA error (40022): Password mismatch",
              "I 20014 if: result for user <D0MarkDom\\u5erMarkOne>: 0", log_exit}},
    {.name = "unlock fails", .inject = fault::unlock_fails, .statuses = {EPERM}, .passed = std::nullopt,
     .logs = {log_called, "E 1 if: apr_thread_mutex_unlock failed"}},
    {.name = "sized buffer cannot be allocated", .fail_alloc = form_body.size() + 4, .statuses = {12},
     .passed = std::nullopt,
     .logs = {log_called, log_accepted, "C 12 insert_bucket: failed to allocate memory for sized buffer"}},
    {.name = "bucket cannot be allocated", .inject = fault::heap_bucket_fails, .statuses = {12},
     .passed = std::nullopt, .logs = {log_called, log_accepted, "C 12 insert_bucket: failed to allocate memory for bucket"}},
    // Buckets from the filter below
    {.name = "transient buckets are zeroed", .piece = 81, .kind = bucket_kind::transient},
    {.name = "read-only buckets are left alone", .piece = 7, .kind = bucket_kind::immortal},
    // Content codings and bodies without a length, which the init decides
    // on before the handler (a CGI application) runs.
    {.name = "gzip body refused before the handler", .content_encoding = "gzip", .init_status = 415,
     .statuses = {22}, .passed = std::nullopt, .logs = {"E 22 if: content coding isn't identity", log_called},
     .login = nullptr},
    {.name = "deflate in a chunked body refused before the handler", .content_encoding = "deflate",
     .chunked = true, .init_status = 415, .statuses = {22}, .passed = std::nullopt,
     .logs = {"E 22 if: content coding isn't identity", log_called}, .login = nullptr},
    {.name = "coding list with identity in it refused", .content_encoding = "identity, gzip", .init_status = 415,
     .statuses = {22}, .passed = std::nullopt, .logs = {"E 22 if: content coding isn't identity", log_called},
     .login = nullptr},
    {.name = "identity coding is the plain body", .content_encoding = " Identity"},
    {.name = "chunked body in pieces checked before the handler", .chunked = true, .piece = 9,
     .logs = {log_accepted, log_called, log_exit}},
    {.name = "chunked body too large refused before the handler", .body = form_body_over_limit, .chunked = true,
     .piece = 1000, .init_status = 413, .statuses = {28}, .passed = std::nullopt,
     .logs = {"W 28 if: request too large", log_called}, .login = nullptr},
    {.name = "chunked body that is no form refused before the handler", .content_type = "text/plain",
     .chunked = true, .init_status = 400, .statuses = {22}, .passed = std::nullopt,
     .logs = {"E 22 if: content type isn't application/x-www-form-urlencoded", log_called}, .login = nullptr},
    {.name = "file bucket read in several pieces", .body = form_body_at_limit, .kind = bucket_kind::file, .readbytes = 0x4000,
     .passed = checked(form_body_at_limit, '1')},
};
// clang-format on

void PrintTo(const filter_row &row, std::ostream *os)
{
    *os << row.name;
}

class filter_paths : public form_module, public ::testing::WithParamInterface<filter_row> {};

TEST_P(filter_paths, status_body_log_and_scrubbing)
{
    const filter_row &row = GetParam();
    const outcome out = run(row);

    EXPECT_EQ(out.init_status, row.init_status);
    if (row.init_status != OK) {
        EXPECT_EQ(out.keepalive, AP_CONN_CLOSE) << "Apache would read the refused body to discard it";
        EXPECT_EQ(out.accept_encoding, row.init_status == 415 ? "identity" : "");
    } else if (row.chunked) {
        // The handler (a CGI application) is told the length of the body it reads.
        EXPECT_EQ(out.length, std::to_string(row.body.size()));
        EXPECT_FALSE(out.chunked_after);
    }
    EXPECT_EQ(out.statuses, row.statuses);
    if (row.passed) {
        EXPECT_TRUE(out.eos);
        EXPECT_EQ(out.body, *row.passed);
        EXPECT_EQ(out.body.size(), row.body.size());
        EXPECT_LE(out.largest_read, row.readbytes);
    } else {
        EXPECT_FALSE(out.eos);
        EXPECT_EQ(out.body, "");
    }
    EXPECT_EQ(out.body.find("pa55Mark"), std::string::npos);
    if (row.statuses.front() == 22 && row.inject == fault::none) {
        EXPECT_EQ(out.below_reads, 0) << "read although the request is no form";
    }

    EXPECT_EQ(rendered_log(), row.logs);
    expect_source_path();

    const auto &lsa = lsa_double::get();
    if (row.login) {
        EXPECT_EQ(lsa.auth_calls, 1);
        EXPECT_EQ(lsa.login, row.login);
        EXPECT_EQ(lsa.password, row.password);
    } else {
        EXPECT_EQ(lsa.auth_calls, 0);
    }
    EXPECT_EQ(watch::dirty_frees, 0) << "a block was freed with form data in it";
    if (out.below_reads > 0) {
        EXPECT_GE(watch::form_sized_frees, 1) << "the form buffer was not freed while watched";
    }
}

INSTANTIATE_TEST_SUITE_P(rows, filter_paths, ::testing::ValuesIn(filter_rows),
                         [](const auto &info) { return row_name(info.param.name); });

// ---------------------------------------------------------------------------
// The same form however it is cut: by the filter below and by the handler

struct split_row {
    const char *name;
    std::size_t piece = 0;
    apr_off_t readbytes = 8192;
    apr_read_type_e block = APR_BLOCK_READ;
    ap_input_mode_t mode = AP_MODE_READBYTES;
    bool peek_first = false;
};

const split_row split_rows[] = {
    {.name = "one piece"},
    {.name = "1-byte pieces", .piece = 1},
    {.name = "1-byte pieces, 1-byte reads", .piece = 1, .readbytes = 1},
    {.name = "pieces cutting the password", .piece = 50},
    {.name = "handler reads 7 bytes", .readbytes = 7},
    {.name = "non-blocking, 3-byte pieces and reads", .piece = 3, .readbytes = 3, .block = APR_NONBLOCK_READ},
    {.name = "speculative read first", .piece = 10, .readbytes = 4, .peek_first = true},
    {.name = "exhaustive reads", .piece = 10, .readbytes = 4, .mode = AP_MODE_EXHAUSTIVE},
};

void PrintTo(const split_row &row, std::ostream *os)
{
    *os << row.name;
}

class splits : public form_module, public ::testing::WithParamInterface<split_row> {};

TEST_P(splits, same_rewritten_form_checked)
{
    const split_row &split = GetParam();
    filter_row row{.name = split.name,
                   .piece = split.piece,
                   .block = split.block,
                   .readbytes = split.readbytes,
                   .mode = split.mode,
                   .peek_first = split.peek_first};
    const outcome out = run(row);
    if (split.peek_first) {
        EXPECT_EQ(out.peeked, checked(form_body, '1').substr(0, split.readbytes));
    }

    EXPECT_EQ(out.statuses, std::vector<apr_status_t>{0});
    EXPECT_TRUE(out.eos);
    EXPECT_EQ(out.body, checked(form_body, '1'));
    if (split.mode != AP_MODE_EXHAUSTIVE) {
        EXPECT_LE(out.largest_read, split.readbytes);
    }
    EXPECT_EQ(lsa_double::get().auth_calls, 1);
    EXPECT_EQ(lsa_double::get().password, form_password);
    const auto logs = rendered_log();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), log_accepted), 1);
    EXPECT_EQ(watch::dirty_frees, 0);
}

INSTANTIATE_TEST_SUITE_P(rows, splits, ::testing::ValuesIn(split_rows),
                         [](const auto &info) { return row_name(info.param.name); });

// ---------------------------------------------------------------------------
// Result code for each LSA error number

struct result_row {
    DWORD error;
    char code;
    const char *error_line = nullptr;  // check_lsa_error's line
};

const result_row result_rows[] = {
    {.error = 0, .code = '1'},
    {.error = 40022, .code = '0', .error_line = "N 0 check_lsa_error: LSA error (40022): Password mismatch"},
    {.error = 40017, .code = '0', .error_line = "N 0 check_lsa_error: LSA error (40017): No such user"},
    {.error = 40047, .code = '0', .error_line = "N 0 check_lsa_error: LSA error (40047)"},
    {.error = 40024, .code = 'X', .error_line = "N 0 check_lsa_error: LSA error (40024): Password expired"},
    {.error = 40055, .code = 'L', .error_line = "N 0 check_lsa_error: LSA error (40055): Account disabled"},
    {.error = 40056, .code = 'D', .error_line = "N 0 check_lsa_error: LSA error (40056): Account expired"},
    {.error = 40118, .code = 'E', .error_line = "E 20014 check_lsa_error: LSA error (40118): Domain is offline"},
    {.error = 101, .code = 'E', .error_line = "E 20014 check_lsa_error: LSA error (40118): Domain is offline"},
    {.error = 110, .code = 'E', .error_line = "E 20014 check_lsa_error: LSA error (40118): Domain is offline"},
    {.error = 111, .code = 'E', .error_line = "E 20014 check_lsa_error: LSA error (40118): Domain is offline"},
    {.error = 12345, .code = 'E', .error_line = "E 20014 check_lsa_error: LSA error (12345)"},
};

void PrintTo(const result_row &row, std::ostream *os)
{
    *os << row.error;
}

class result_codes : public form_module, public ::testing::WithParamInterface<result_row> {};

TEST_P(result_codes, written_into_the_result_value)
{
    const result_row &expected = GetParam();
    filter_row row{.name = "", .auth_result = expected.error};
    const outcome out = run(row);

    EXPECT_EQ(out.statuses, std::vector<apr_status_t>{0});
    EXPECT_EQ(out.body, checked(form_body, expected.code));
    std::vector<std::string> logs = {log_called};
    if (expected.error_line)
        logs.push_back(expected.error_line);
    logs.push_back("I " + std::to_string(expected.error ? 20014 : 0) +
                   " if: result for user <D0MarkDom\\u5erMarkOne>: " + expected.code);
    logs.push_back(log_exit);
    EXPECT_EQ(rendered_log(), logs);
}

INSTANTIATE_TEST_SUITE_P(rows, result_codes, ::testing::ValuesIn(result_rows),
                         [](const auto &info) { return "error_" + std::to_string(info.param.error); });

// ---------------------------------------------------------------------------
// check_lsa_error on its own: the error log, the client's debug log, mapping

struct lsa_error_row {
    const char *name;
    DWORD error;
    LsaLogLevel logger = 0;  // 0: no logger installed
    bool allocate_fails = false;
    bool short_text = false;
    apr_status_t status = APR_EGENERAL;
    DWORD mapped = 0;
    const char *log = nullptr;    // the error log line, null for none
    const char *debug = nullptr;  // the debug line's end, null for none
};

// clang-format off
const lsa_error_row lsa_error_rows[] = {
    {.name = "success", .error = 0, .logger = LSA_LOG_LEVEL_DEBUG, .status = 0},
    {.name = "known error with text", .error = 40022, .mapped = 40022,
     .log = "N 0 check_lsa_error: LSA error (40022): Password mismatch"},
    {.name = "debug trace shows the number before mapping", .error = 111, .logger = LSA_LOG_LEVEL_DEBUG,
     .mapped = 40118, .log = "E 20014 check_lsa_error: LSA error (40118): Domain is offline",
     .debug = "Error code: 111 (symbol: ECONNREFUSED)"},
    {.name = "no symbolic name", .error = 12345, .logger = LSA_LOG_LEVEL_TRACE, .mapped = 12345,
     .log = "E 20014 check_lsa_error: LSA error (12345)", .debug = "Error code: 12345 (symbol: <null>)"},
    {.name = "logger below debug level", .error = 40022, .logger = LSA_LOG_LEVEL_VERBOSE, .mapped = 40022,
     .log = "N 0 check_lsa_error: LSA error (40022): Password mismatch"},
    {.name = "text cannot be allocated", .error = 40024, .allocate_fails = true, .mapped = 40024,
     .log = "N 0 check_lsa_error: LSA error (40024)"},
    {.name = "text comes back short", .error = 40024, .short_text = true, .mapped = 40024,
     .log = "N 0 check_lsa_error: LSA error (40024)"},
    {.name = "unreachable network", .error = 101, .mapped = 40118,
     .log = "E 20014 check_lsa_error: LSA error (40118): Domain is offline"},
};
// clang-format on

void PrintTo(const lsa_error_row &row, std::ostream *os)
{
    *os << row.name;
}

class lsa_errors : public form_module, public ::testing::WithParamInterface<lsa_error_row> {};

TEST_P(lsa_errors, logged_and_mapped)
{
    const lsa_error_row &row = GetParam();
    if (row.logger)
        lsa_double::install_logger(row.logger);
    lsa_double::get().allocate_fails = row.allocate_fails;
    lsa_double::get().short_text = row.short_text;
    standin::request req;
    standin::make_request(&req, root_);

    DWORD error = row.error;
    EXPECT_EQ(check_lsa_error(&req.r, &error), row.status);
    EXPECT_EQ(error, row.mapped);
    EXPECT_EQ(rendered_log(), row.log ? std::vector<std::string>{row.log} : std::vector<std::string>{});
    expect_source_path();

    const auto &debug = lsa_double::get().debug_log;
    if (row.debug) {
        ASSERT_EQ(debug.size(), 1u);
        const std::regex line(R"(\[check_lsa_error\(\) src/mod_auth_orvane_form\.cpp:\d+\] (.*))");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(debug[0], m, line)) << debug[0];
        EXPECT_EQ(m[1], row.debug);
    } else {
        EXPECT_TRUE(debug.empty());
    }
    // Every text block fetched is given back.
    const bool fetched = row.error && !row.allocate_fails && LwGetErrorString(row.mapped, nullptr, 0) != 0;
    EXPECT_EQ(lsa_double::get().freed_strings, fetched ? 1 : 0);
    standin::destroy_request(&req);
}

INSTANTIATE_TEST_SUITE_P(rows, lsa_errors, ::testing::ValuesIn(lsa_error_rows),
                         [](const auto &info) { return row_name(info.param.name); });

// ---------------------------------------------------------------------------
// decode on its own

struct decode_row {
    std::string_view raw;  // the buffer decode works in, '&' or NUL after the raw text
    int wipe = 0;
    std::string_view decoded;  // what the result block holds up to its length
    std::string_view after;    // the buffer afterwards
};

const decode_row decode_rows[] = {
    {.raw = "a%41&", .decoded = "aA", .after = "a%41&"},
    {.raw = "%41", .decoded = "A", .after = "%41"},
    {.raw = "%41x&z", .decoded = "Ax", .after = "%41x&z"},
    {.raw = "%4", .decoded = "%4", .after = "%4"},
    {.raw = "ab%4&", .decoded = "ab%4", .after = "ab%4&"},
    {.raw = "%g1", .decoded = "\x01", .after = "%g1"},
    {.raw = "%1g", .decoded = "\x10", .after = "%1g"},
    {.raw = "%zz", .decoded = "\0"sv, .after = "%zz"},
    {.raw = "a+b", .decoded = "a b", .after = "a+b"},
    {.raw = "%2B", .decoded = "+", .after = "%2B"},
    {.raw = "ab%00cd&", .decoded = "ab\0cd"sv, .after = "ab%00cd&"},
    {.raw = "&abc", .wipe = 1, .decoded = "", .after = "&abc"},
    {.raw = "\0abc"sv, .wipe = 1, .decoded = "", .after = "\0abc"sv},
    {.raw = "p%41ss+w&rest", .wipe = 1, .decoded = "pAss w", .after = "&&&&&&&&&rest"},
    {.raw = "ab+", .decoded = "ab ", .after = "ab+"},
    {.raw = "x%2", .wipe = 1, .decoded = "x%2", .after = "&&&"},
};

void PrintTo(const decode_row &row, std::ostream *os)
{
    *os << ::testing::PrintToString(std::string(row.raw));
}

class decode_cases : public form_module, public ::testing::WithParamInterface<decode_row> {};

TEST_P(decode_cases, result_and_raw_text)
{
    const decode_row &row = GetParam();
    std::string buffer(row.raw);
    standin::request req;
    standin::make_request(&req, root_);
    char *out = decode(&req.r, buffer.data(), row.wipe);
    ASSERT_NE(out, nullptr);
    // The block is calloc'd L + 1 bytes: the decoded bytes, then NULs.
    const std::size_t raw_len = std::min(buffer.find('&'), buffer.find('\0'));
    EXPECT_EQ(std::string_view(out, row.decoded.size()), row.decoded);
    EXPECT_TRUE(std::all_of(out + row.decoded.size(), out + std::min(raw_len, buffer.size()) + 1,
                            [](char c) { return c == '\0'; }));
    EXPECT_EQ(buffer, row.after);
    EXPECT_TRUE(standin::logged().empty());
    free(out);
    standin::destroy_request(&req);
}

INSTANTIATE_TEST_SUITE_P(rows, decode_cases, ::testing::ValuesIn(decode_rows));

TEST_F(form_module, decode_out_of_memory_still_wipes)
{
    std::string buffer = "secret&next";
    standin::request req;
    standin::make_request(&req, root_);
    watch::fail_size = 7;
    EXPECT_EQ(decode(&req.r, buffer.data(), 1), nullptr);
    watch::fail_size = 0;
    EXPECT_EQ(buffer, "&&&&&&&next");
    EXPECT_EQ(rendered_log(), std::vector<std::string>{"C 12 decode: failed to allocate memory for decoded string"});
    standin::destroy_request(&req);
}

// ---------------------------------------------------------------------------
// The module's frame: registration, child life, the LSA connection

TEST_F(form_module, registers_filter_and_child_init)
{
    standin::clear_registrations();
    standin::clear_log();
    EXPECT_EQ(auth_orvane_form_module.name, std::string("src/mod_auth_orvane_form.cpp"));
    EXPECT_EQ(auth_orvane_form_module.cmds, nullptr);
    EXPECT_EQ(auth_orvane_form_module.create_dir_config, nullptr);
    EXPECT_EQ(auth_orvane_form_module.magic, MODULE_MAGIC_COOKIE);
    auth_orvane_form_module.register_hooks(root_);

    ASSERT_EQ(standin::input_filters().size(), 1u);
    EXPECT_EQ(standin::input_filters()[0].name, "ORVANE_CHECK_PASSWORD");
    EXPECT_EQ(standin::input_filters()[0].rec->ftype, AP_FTYPE_RESOURCE);
    EXPECT_NE(standin::input_filters()[0].rec->filter_init_func, nullptr);
    ASSERT_EQ(standin::child_inits().size(), 1u);
    EXPECT_EQ(standin::child_inits()[0].order, APR_HOOK_MIDDLE);
    EXPECT_EQ(rendered_log(),
              std::vector<std::string>{
                  "D 0 mod_auth_orvane_form_register_hooks: registering mod_auth_orvane_form input filter"});
    expect_source_path();
}

struct child_row {
    const char *name;
    bool mutex_fails = false;
    int requests = 0;  // forms posted in the child
    DWORD open_result = 0;
    std::vector<std::string> init_log = {"N 0 mod_auth_orvane_form_init: initializing globals",
                                         "N 0 mod_auth_orvane_form_init: initialization done"};
    int open_calls = 0;
    int close_calls = 0;  // at child exit
};

const child_row child_rows[] = {
    {.name = "child without requests"},
    {.name = "connection opened once for two requests", .requests = 2, .open_calls = 1, .close_calls = 1},
    {.name = "failed open is retried by the next request", .requests = 2, .open_result = 40118, .open_calls = 2},
    {.name = "mutex cannot be created",
     .mutex_fails = true,
     .requests = 1,
     .init_log = {"N 0 mod_auth_orvane_form_init: initializing globals",
                  "E 12 mod_auth_orvane_form_init: failed to initialize mutex"}},
};

void PrintTo(const child_row &row, std::ostream *os)
{
    *os << row.name;
}

class child_life : public form_module, public ::testing::WithParamInterface<child_row> {};

TEST_P(child_life, mutex_and_connection)
{
    const child_row &row = GetParam();
    stop_child();
    lsaMutex = nullptr;
    hLsaConnection = nullptr;
    standin::clear_log();
    inject::mutex_create_fails = row.mutex_fails;
    start_child();
    inject::mutex_create_fails = false;
    EXPECT_EQ(rendered_log(), row.init_log);
    EXPECT_EQ(lsaMutex == nullptr, row.mutex_fails);

    filter_row form{.name = "", .open_result = row.open_result};
    for (int i = 0; i < row.requests; ++i) {
        const outcome out = run(form);
        EXPECT_EQ(out.statuses.back(), row.mutex_fails ? 22 : 0);
    }
    EXPECT_EQ(lsa_double::get().open_calls, row.open_calls);
    EXPECT_EQ(hLsaConnection != nullptr, row.close_calls > 0);

    stop_child();  // the child pool's cleanup
    EXPECT_EQ(lsa_double::get().close_calls, row.close_calls);
}

INSTANTIATE_TEST_SUITE_P(rows, child_life, ::testing::ValuesIn(child_rows),
                         [](const auto &info) { return row_name(info.param.name); });

// The watch itself: a block freed with form data in it is seen.
TEST_F(form_module, watch_sees_unscrubbed_blocks)
{
    watch::dirty_frees = 0;
    watch::on = true;
    auto *p = static_cast<char *>(malloc(32));
    std::memcpy(p, "xx pa55Mark xx", 15);
    free(p);
    watch::on = false;
    EXPECT_EQ(watch::dirty_frees, 1);
}

}  // namespace
