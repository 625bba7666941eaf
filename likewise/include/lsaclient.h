/* The LSA client interface: the calls, types and globals that programs use to
 * check a domain user's password. Error numbers are Likewise error numbers
 * (0 is success); the ones callers tell apart are named below.
 *
 * This implementation checks passwords against the domain's Kerberos KDC
 * (MIT Kerberos, configured the usual way through /etc/krb5.conf or
 * KRB5_CONFIG). A login name "DOMAIN\user" becomes the principal
 * user@REALM, where the user name is one principal component ('/', '@' and
 * further backslashes are part of it) and REALM is the realm that the
 * configuration file names for DOMAIN. Only listed domains are checked: any
 * other domain fails with LW_ERROR_DOMAIN_NOT_LISTED before a single packet
 * is sent. The realm's KDCs are the "kdc" entries of its [realms] section in
 * krb5.conf (no DNS lookup), asked over TCP, each for at most kdc_timeout
 * seconds; when none answers in time the check fails with
 * LW_ERROR_DOMAIN_IS_OFFLINE.
 *
 * With a keytab for the domain, the ticket is asked for a service principal
 * of that keytab in the realm (its first HTTP/ one, else its first) and
 * verified with its key, so that only the
 * realm's real KDC can vouch for a password; a reply that fails verification
 * gives LW_ERROR_KDC_REPLY_UNVERIFIED. Without one, replies are believed and
 * a connection warns once that they are not verified (through the logger, or
 * on standard error when none is installed).
 *
 * A Windows (Active Directory) domain's KDC says why it refuses an account
 * in an NTSTATUS inside its error (e-data): disabled and locked-out accounts
 * give LW_ERROR_ACCOUNT_DISABLED, an expired account LW_ERROR_ACCOUNT_EXPIRED,
 * a password expired or to be changed LW_ERROR_PASSWORD_EXPIRED; without one
 * the Kerberos error decides. The account's own name, as the KDC spells it,
 * comes from LsaGetCanonicalName after a success.
 *
 * Configuration file: /opt/likewise/etc/lsaclient.conf (fixed when the
 * library is built), or the file named by the environment variable
 * LSACLIENT_CONF (ignored in setuid programs). One setting per line, "#"
 * starts a comment line, domains match without regard to case, the first
 * line of a domain counts:
 *
 *     # domain = realm [keytab]
 *     ORVANE = AD.ORVANE.EXAMPLE
 *     LAB = LAB.ORVANE.EXAMPLE /etc/orvane/lab.keytab
 *     # the keytab of every domain that names none
 *     keytab = /etc/orvane/lsa.keytab
 *     # seconds each KDC gets to answer (1 to 60, default 3)
 *     kdc_timeout = 3
 *
 * "keytab" and "kdc_timeout" are settings, never domain names. A missing
 * default file means "no domains"; a file named by LSACLIENT_CONF must
 * exist. The file is read by LsaOpenServer, which fails with
 * LW_ERROR_INVALID_CONFIG when it is unreadable or malformed.
 */
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

/* Error numbers that callers tell apart, and those of this library's own. */
enum {
    LW_ERROR_SUCCESS = 0,
    LW_ERROR_OUT_OF_MEMORY = 40005,
    LW_ERROR_INTERNAL = 40016,
    LW_ERROR_NO_SUCH_USER = 40017,      /* also: empty user name */
    LW_ERROR_PASSWORD_MISMATCH = 40022, /* also: empty password */
    LW_ERROR_PASSWORD_EXPIRED = 40024,  /* only for the right password */
    LW_ERROR_INVALID_PARAMETER = 40041, /* null argument, no backslash, bad domain */
    LW_ERROR_INVALID_PASSWORD = 40047,
    LW_ERROR_ACCOUNT_DISABLED = 40055, /* disabled or locked out */
    LW_ERROR_ACCOUNT_EXPIRED = 40056,
    LW_ERROR_DOMAIN_IS_OFFLINE = 40118, /* no KDC answered in time, or none listed */
    LW_ERROR_INVALID_CONFIG = 40120,
    LW_ERROR_CLOCK_SKEW = 40121,
    LW_ERROR_KRB5_CALL_FAILED = 40122,     /* any other Kerberos failure */
    LW_ERROR_DOMAIN_NOT_LISTED = 40123,    /* domain not in the configuration */
    LW_ERROR_KDC_REPLY_UNVERIFIED = 40124, /* the keytab does not vouch for the reply */
    LW_ERROR_REALM_HAS_NO_KDC = 40125      /* krb5.conf names no KDC for the realm */
};

/* Opens a connection to the LSA service. On success stores the handle and
 * returns 0; on failure returns an error number and leaves *phConnection null.
 * A handle serves one thread at a time; separate handles are independent. */
DWORD LsaOpenServer(HANDLE *phConnection);

/* Checks pszPassword for pszLoginName ("DOMAIN\user") against the domain.
 * Empty user names and passwords are refused without asking the KDC. */
DWORD LsaAuthenticateUser(HANDLE hLsaConnection, PCSTR pszLoginName, PCSTR pszPassword);

/* The account the domain confirmed at the handle's last LsaAuthenticateUser,
 * if that succeeded: "DOMAIN\\user" with DOMAIN the first domain the
 * configuration lists for the realm and the user name as the KDC returned
 * it (a Windows domain answers a name in other case, or the account's UPN,
 * with the account name). Returns
 * the size the name needs (its NUL included), 0 when there is none; with a
 * buffer, copies as much as fits, NUL-terminated. Callers key on this name,
 * not on the one typed. */
size_t LsaGetCanonicalName(HANDLE hLsaConnection, PSTR pszBuffer, size_t stBufSize);

DWORD LsaCloseServer(HANDLE hLsaConnection);

/* With no buffer and size 0, returns the buffer size the error text needs
 * (its terminating NUL included), 0 when there is no text. With a buffer of
 * at least that size, fills it and returns the same size; a smaller buffer
 * gets as much of the text as fits, NUL-terminated. */
size_t LwGetErrorString(DWORD dwError, PSTR pszBuffer, size_t stBufSize);

/* Allocates a zero-filled block; returns 0, or an error number. */
DWORD LwAllocateMemory(DWORD dwSize, PVOID *ppMemory);
void LwFreeString(PSTR pszString);
void LwFreeMemory(PVOID pMemory);

/* The symbolic name of an error number, or null when it has none. */
PCSTR LwWin32ExtErrorToName(DWORD dwError);

/* Hands the format and its arguments to pfnLogger (nothing when it is null).
 * The caller decides on the level; this call does not compare it with
 * gLsaMaxLogLevel. */
void LsaLogMessage(PFN_LSA_LOG_MESSAGE pfnLogger, HANDLE hLog, LsaLogLevel level, PCSTR pszFormat, ...)
    __attribute__((format(printf, 4, 5)));

/* The client's debug log: the installed logger (null: none), its handle, and
 * the highest level passed to it (LSA_LOG_LEVEL_ERROR at start). Set them
 * before any other call; the library only reads them. */
extern PFN_LSA_LOG_MESSAGE gpfnLogger;
extern HANDLE ghLog;
extern LsaLogLevel gLsaMaxLogLevel;

#ifdef __cplusplus
}
#endif

#endif
