// In-process contracts of liblsaclient that need no KDC: the error table,
// the logger plumbing, memory, and the checks made before any KDC is asked.
#include "lsaclient.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Error numbers: name and text come from one table.

struct error_row {
    DWORD code;
    const char *name;  // null: the number is unknown, no name and no text
};

const error_row error_rows[] = {
    {0, "LW_ERROR_SUCCESS"},
    {40016, "LW_ERROR_INTERNAL"},
    {40017, "LW_ERROR_NO_SUCH_USER"},
    {40022, "LW_ERROR_PASSWORD_MISMATCH"},
    {40024, "LW_ERROR_PASSWORD_EXPIRED"},
    {40047, "LW_ERROR_INVALID_PASSWORD"},
    {40055, "LW_ERROR_ACCOUNT_DISABLED"},
    {40056, "LW_ERROR_ACCOUNT_EXPIRED"},
    {40118, "LW_ERROR_DOMAIN_IS_OFFLINE"},
    {40122, "LW_ERROR_KRB5_CALL_FAILED"},
    {111, nullptr},
    {40000, nullptr},
    {0xffffffffu, nullptr},
};

// Without it a row prints as its bytes, a pointer among them, and the
// test's name changes from build to build.
void PrintTo(const error_row &row, std::ostream *os)
{
    *os << row.code;
}

class error_table : public testing::TestWithParam<error_row> {};

TEST_P(error_table, name_and_text)
{
    const error_row &row = GetParam();
    const char *name = LwWin32ExtErrorToName(row.code);
    size_t size = LwGetErrorString(row.code, nullptr, 0);
    if (row.name == nullptr) {
        EXPECT_EQ(name, nullptr);
        EXPECT_EQ(size, 0u);
        return;
    }
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, row.name);
    ASSERT_GT(size, 1u);

    std::vector<char> text(size, 'x');
    EXPECT_EQ(LwGetErrorString(row.code, text.data(), text.size()), size);
    EXPECT_EQ(strlen(text.data()), size - 1);

    // A short buffer gets a NUL-terminated prefix and the size still needed.
    char shortbuf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(LwGetErrorString(row.code, shortbuf, sizeof shortbuf), size);
    EXPECT_EQ(std::string(shortbuf), std::string(text.data(), 3));
}

INSTANTIATE_TEST_SUITE_P(numbers, error_table, testing::ValuesIn(error_rows),
                         [](const testing::TestParamInfo<error_row> &info) { return std::to_string(info.param.code); });

// ---------------------------------------------------------------------------
// Logging: LsaLogMessage hands format and arguments to the given logger; the
// library's own lines go through gpfnLogger up to gLsaMaxLogLevel.

struct captured_line {
    HANDLE handle;
    LsaLogLevel level;
    std::string text;
};
std::vector<captured_line> captured;

void capture(HANDLE hLog, LsaLogLevel level, PCSTR format, va_list args)
{
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    captured.push_back({hLog, level, line});
}

TEST(logging, lsa_log_message_formats_through_the_logger)
{
    captured.clear();
    int token = 0;
    LsaLogMessage(capture, &token, LSA_LOG_LEVEL_DEBUG, "[%s() %s:%d] Error code: %d (symbol: %s)", "check_lsa_error",
                  "src/x.cpp", 42, 111, "<null>");
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].handle, &token);
    EXPECT_EQ(captured[0].level, LSA_LOG_LEVEL_DEBUG);
    EXPECT_EQ(captured[0].text, "[check_lsa_error() src/x.cpp:42] Error code: 111 (symbol: <null>)");

    LsaLogMessage(nullptr, &token, LSA_LOG_LEVEL_ERROR, "%s", "dropped");
    EXPECT_EQ(captured.size(), 1u);
}

TEST(logging, starts_without_logger_at_error_level)
{
    EXPECT_EQ(gpfnLogger, nullptr);
    EXPECT_EQ(gLsaMaxLogLevel, static_cast<LsaLogLevel>(LSA_LOG_LEVEL_ERROR));
}

TEST(memory, allocate_zeroed_and_free)
{
    for (DWORD size : {0u, 1u, 4096u}) {
        SCOPED_TRACE(size);
        PVOID block = reinterpret_cast<PVOID>(1);
        ASSERT_EQ(LwAllocateMemory(size, &block), 0u);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::string(static_cast<char *>(block), size), std::string(size, '\0'));
        LwFreeString(static_cast<PSTR>(block));
    }
    EXPECT_EQ(LwAllocateMemory(16, nullptr), static_cast<DWORD>(LW_ERROR_INVALID_PARAMETER));
}

// ---------------------------------------------------------------------------
// Opening, and the login names refused before any KDC is asked. The Kerberos
// and library configuration come from files of the test's own.

class connection : public testing::Test {
  protected:
    void SetUp() override
    {
        char dir_template[] = "/tmp/lsaclient-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        write("krb5.conf", "[libdefaults]\n dns_lookup_kdc = false\n dns_lookup_realm = false\n");
        write("lsaclient.conf", "ORVANE = ORVANE.TEST\n");
        setenv("KRB5_CONFIG", (dir + "/krb5.conf").c_str(), 1);
        setenv("LSACLIENT_CONF", (dir + "/lsaclient.conf").c_str(), 1);
        captured.clear();
        gpfnLogger = capture;
        gLsaMaxLogLevel = LSA_LOG_LEVEL_TRACE;
    }

    void TearDown() override
    {
        gpfnLogger = nullptr;
        gLsaMaxLogLevel = LSA_LOG_LEVEL_ERROR;
        for (const char *name : {"krb5.conf", "lsaclient.conf"})
            unlink((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }

    void write(const char *name, const char *text)
    {
        FILE *f = fopen((dir + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text, f);
        fclose(f);
    }

    std::string dir;
};

const std::string long_domain_login = std::string(256, 'D') + "\\alice";

struct refused_row {
    const char *name;
    const char *login;
    const char *password;
    DWORD expected;
};

const refused_row refused_rows[] = {
    {"null login name", nullptr, "pw-secret-1", LW_ERROR_INVALID_PARAMETER},
    {"null password", "ORVANE\\alice", nullptr, LW_ERROR_INVALID_PARAMETER},
    {"no backslash", "alice", "pw-secret-1", LW_ERROR_INVALID_PARAMETER},
    {"empty domain", "\\alice", "pw-secret-1", LW_ERROR_INVALID_PARAMETER},
    {"control character in the domain", "ORV\nANE\\alice", "pw-secret-1", LW_ERROR_INVALID_PARAMETER},
    {"'@' in the domain", "ORVANE@EVIL\\alice", "pw-secret-1", LW_ERROR_INVALID_PARAMETER},
    {"domain longer than a DNS name", long_domain_login.c_str(), "pw-secret-1", LW_ERROR_INVALID_PARAMETER},
    {"empty user name", "ORVANE\\", "pw-secret-1", LW_ERROR_NO_SUCH_USER},
    {"empty password", "ORVANE\\alice", "", LW_ERROR_PASSWORD_MISMATCH},
};

TEST_F(connection, refused_before_asking_the_kdc)
{
    HANDLE h = nullptr;
    ASSERT_EQ(LsaOpenServer(&h), 0u);
    ASSERT_NE(h, nullptr);
    for (const refused_row &row : refused_rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(LsaAuthenticateUser(h, row.login, row.password), row.expected);
    }
    EXPECT_EQ(LsaAuthenticateUser(nullptr, "ORVANE\\alice", "pw-secret-1"),
              static_cast<DWORD>(LW_ERROR_INVALID_PARAMETER));
    EXPECT_EQ(LsaCloseServer(h), 0u);
    for (const captured_line &c : captured)
        EXPECT_EQ(c.text.find("pw-secret"), std::string::npos) << c.text;
}

struct open_row {
    const char *name;
    const char *config;  // null: the named file does not exist
    DWORD expected;
};

const open_row open_rows[] = {
    {"mappings, comments and blanks", "# domain = realm\n\n  ORVANE = ORVANE.TEST \r\nlab=LAB.TEST\n", 0},
    {"empty file", "", 0},
    {"missing named file", nullptr, LW_ERROR_INVALID_CONFIG},
    {"line without '='", "ORVANE ORVANE.TEST\n", LW_ERROR_INVALID_CONFIG},
    {"empty realm", "ORVANE =\n", LW_ERROR_INVALID_CONFIG},
    {"realm with '/'", "ORVANE = A/B\n", LW_ERROR_INVALID_CONFIG},
    {"settings and a keytab", "keytab = /dev/null\nkdc_timeout = 60\nORVANE = ORVANE.TEST /dev/null\n", 0},
    {"keytab that cannot be read", "ORVANE = ORVANE.TEST /nonexistent/lsa.keytab\n", LW_ERROR_INVALID_CONFIG},
    {"kdc_timeout of 0", "kdc_timeout = 0\n", LW_ERROR_INVALID_CONFIG},
    {"kdc_timeout not a number", "kdc_timeout = 3s\n", LW_ERROR_INVALID_CONFIG},
};

TEST_F(connection, open_reads_the_configuration)
{
    for (const open_row &row : open_rows) {
        SCOPED_TRACE(row.name);
        unlink((dir + "/lsaclient.conf").c_str());
        if (row.config != nullptr)
            write("lsaclient.conf", row.config);
        captured.clear();
        HANDLE h = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(LsaOpenServer(&h), row.expected);
        if (row.expected == 0) {
            EXPECT_NE(h, nullptr);
            LsaCloseServer(h);
        } else {
            EXPECT_EQ(h, nullptr);
            ASSERT_FALSE(captured.empty());
            EXPECT_EQ(captured[0].level, static_cast<LsaLogLevel>(LSA_LOG_LEVEL_ERROR));
            EXPECT_NE(captured[0].text.find("lsaclient.conf"), std::string::npos) << captured[0].text;
        }
    }
    EXPECT_EQ(LsaOpenServer(nullptr), static_cast<DWORD>(LW_ERROR_INVALID_PARAMETER));
}

TEST_F(connection, log_level_limits_the_librarys_lines)
{
    unlink((dir + "/lsaclient.conf").c_str());
    HANDLE h = nullptr;
    gLsaMaxLogLevel = LSA_LOG_LEVEL_ALWAYS;
    EXPECT_EQ(LsaOpenServer(&h), static_cast<DWORD>(LW_ERROR_INVALID_CONFIG));
    EXPECT_TRUE(captured.empty());
    gLsaMaxLogLevel = LSA_LOG_LEVEL_ERROR;
    EXPECT_EQ(LsaOpenServer(&h), static_cast<DWORD>(LW_ERROR_INVALID_CONFIG));
    EXPECT_EQ(captured.size(), 1u);
}

}  // namespace
