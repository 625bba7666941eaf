/* The LSA client interface: the calls, types and globals that programs use to
 * check a domain user's password. Error numbers are Likewise error numbers
 * (0 is success); the ones callers tell apart are named below. */
#ifndef LSACLIENT_H
#define LSACLIENT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef void *HANDLE;
typedef void *PVOID;
typedef char *PSTR;
typedef const char *PCSTR;

/* Log levels of the client's own debug log: a message is logged when its
 * level is at most gLsaMaxLogLevel. */
typedef DWORD LsaLogLevel;
enum {
    LSA_LOG_LEVEL_ALWAYS = 0,
    LSA_LOG_LEVEL_ERROR = 1,
    LSA_LOG_LEVEL_WARNING = 2,
    LSA_LOG_LEVEL_INFO = 3,
    LSA_LOG_LEVEL_VERBOSE = 4,
    LSA_LOG_LEVEL_DEBUG = 5,
    LSA_LOG_LEVEL_TRACE = 6
};

typedef void (*PFN_LSA_LOG_MESSAGE)(HANDLE hLog, LsaLogLevel level, PCSTR pszFormat, va_list args);

/* Error numbers that callers tell apart. */
enum {
    LW_ERROR_SUCCESS = 0,
    LW_ERROR_INTERNAL = 40016,
    LW_ERROR_NO_SUCH_USER = 40017,
    LW_ERROR_PASSWORD_MISMATCH = 40022,
    LW_ERROR_PASSWORD_EXPIRED = 40024,
    LW_ERROR_INVALID_PASSWORD = 40047,
    LW_ERROR_ACCOUNT_DISABLED = 40055,
    LW_ERROR_ACCOUNT_EXPIRED = 40056,
    LW_ERROR_DOMAIN_IS_OFFLINE = 40118
};

/* Opens a connection to the LSA service. On success stores the handle and
 * returns 0; on failure returns an error number and leaves *phConnection null. */
DWORD LsaOpenServer(HANDLE *phConnection);

/* Checks pszPassword for pszLoginName ("DOMAIN\user") against the domain. */
DWORD LsaAuthenticateUser(HANDLE hLsaConnection, PCSTR pszLoginName, PCSTR pszPassword);

DWORD LsaCloseServer(HANDLE hLsaConnection);

/* With no buffer and size 0, returns the buffer size the error text needs
 * (its terminating NUL included), 0 when there is no text. With a buffer of
 * at least that size, fills it and returns the same size. */
size_t LwGetErrorString(DWORD dwError, PSTR pszBuffer, size_t stBufSize);

/* Allocates a zero-filled block; returns 0, or an error number. */
DWORD LwAllocateMemory(DWORD dwSize, PVOID *ppMemory);
void LwFreeString(PSTR pszString);
void LwFreeMemory(PVOID pMemory);

/* The symbolic name of an error number, or null when it has none. */
PCSTR LwWin32ExtErrorToName(DWORD dwError);

/* Formats one line and hands it to pfnLogger (nothing when it is null). */
void LsaLogMessage(PFN_LSA_LOG_MESSAGE pfnLogger, HANDLE hLog, LsaLogLevel level, PCSTR pszFormat, ...)
    __attribute__((format(printf, 4, 5)));

/* The client's debug log: the installed logger, its handle, and the highest
 * level passed to it. */
extern PFN_LSA_LOG_MESSAGE gpfnLogger;
extern HANDLE ghLog;
extern LsaLogLevel gLsaMaxLogLevel;

#ifdef __cplusplus
}
#endif

#endif
