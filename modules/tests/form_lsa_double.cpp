// The LSA client calls of lsaclient.h, answering from lsa_double::state.
#include "form_lsa_double.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lsa_double {
namespace {

state current;
int connection_token;

struct error_text {
    DWORD error;
    const char *text;
    const char *name;
};

// 40047 and 12345 have neither text nor name; 111 has a name only.
constexpr error_text error_texts[] = {
    {40016, "Internal error", "LW_ERROR_INTERNAL"},
    {40017, "No such user", "LW_ERROR_NO_SUCH_USER"},
    {40022, "Password mismatch", "LW_ERROR_PASSWORD_MISMATCH"},
    {40024, "Password expired", "LW_ERROR_PASSWORD_EXPIRED"},
    {40055, "Account disabled", "LW_ERROR_ACCOUNT_DISABLED"},
    {40056, "Account expired", "LW_ERROR_ACCOUNT_EXPIRED"},
    {40118, "Domain is offline", "LW_ERROR_DOMAIN_IS_OFFLINE"},
    {111, "", "ECONNREFUSED"},
};

const error_text *find(DWORD error)
{
    for (const auto &e : error_texts)
        if (e.error == error)
            return &e;
    return nullptr;
}

void record(HANDLE, LsaLogLevel, PCSTR format, va_list args)
{
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    current.debug_log.emplace_back(line);
}

}  // namespace

state &get()
{
    return current;
}

void reset()
{
    current = state{};
    gpfnLogger = nullptr;
    ghLog = nullptr;
    gLsaMaxLogLevel = LSA_LOG_LEVEL_ERROR;
}

void install_logger(LsaLogLevel max_level)
{
    gpfnLogger = record;
    ghLog = &connection_token;
    gLsaMaxLogLevel = max_level;
}

}  // namespace lsa_double

using lsa_double::current;

extern "C" {

PFN_LSA_LOG_MESSAGE gpfnLogger = nullptr;
HANDLE ghLog = nullptr;
LsaLogLevel gLsaMaxLogLevel = LSA_LOG_LEVEL_ERROR;

DWORD LsaOpenServer(HANDLE *phConnection)
{
    ++current.open_calls;
    *phConnection = current.open_result == 0 ? &lsa_double::connection_token : nullptr;
    return current.open_result;
}

DWORD LsaAuthenticateUser(HANDLE, PCSTR pszLoginName, PCSTR pszPassword)
{
    ++current.auth_calls;
    current.login = pszLoginName;
    current.password = pszPassword;
    return current.auth_result;
}

// No canonical name: the account is the one typed.
size_t LsaGetCanonicalName(HANDLE, PSTR pszBuffer, size_t stBufSize)
{
    if (pszBuffer != nullptr && stBufSize > 0)
        pszBuffer[0] = '\0';
    return 0;
}

DWORD LsaCloseServer(HANDLE)
{
    ++current.close_calls;
    return 0;
}

size_t LwGetErrorString(DWORD dwError, PSTR pszBuffer, size_t stBufSize)
{
    const auto *e = lsa_double::find(dwError);
    if (!e || !*e->text)
        return 0;
    const size_t size = std::strlen(e->text) + 1;
    if (!pszBuffer || stBufSize < size)
        return size;
    std::memcpy(pszBuffer, e->text, size);
    return current.short_text ? size - 1 : size;
}

DWORD LwAllocateMemory(DWORD dwSize, PVOID *ppMemory)
{
    *ppMemory = nullptr;
    if (current.allocate_fails)
        return 40001;
    *ppMemory = std::calloc(dwSize ? dwSize : 1, 1);
    return *ppMemory ? 0 : 40001;
}

void LwFreeString(PSTR pszString)
{
    if (pszString)
        ++current.freed_strings;
    std::free(pszString);
}

void LwFreeMemory(PVOID pMemory)
{
    std::free(pMemory);
}

PCSTR LwWin32ExtErrorToName(DWORD dwError)
{
    const auto *e = lsa_double::find(dwError);
    return e ? e->name : nullptr;
}

void LsaLogMessage(PFN_LSA_LOG_MESSAGE pfnLogger, HANDLE hLog, LsaLogLevel level, PCSTR pszFormat, ...)
{
    if (!pfnLogger)
        return;
    va_list args;
    va_start(args, pszFormat);
    pfnLogger(hLog, level, pszFormat, args);
    va_end(args);
}

}  // extern "C"
