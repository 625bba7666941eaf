// lsa_auth: checks login names and passwords through liblsaclient, for tests.
//
// Reads pairs of lines from standard input (login name, then password, so no
// password shows in a process listing) and writes one line per pair:
// "<error number> <symbolic name>". All pairs share one connection, as in a
// server process. With --log LEVEL the library's debug log goes to standard
// error, one line per message.
#include "lsaclient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void log_to_stderr(HANDLE, LsaLogLevel level, PCSTR format, va_list args)
{
    fprintf(stderr, "lsa[%u] ", static_cast<unsigned>(level));
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--log") == 0) {
        gpfnLogger = log_to_stderr;
        gLsaMaxLogLevel = static_cast<LsaLogLevel>(atoi(argv[2]));
    } else if (argc != 1) {
        fprintf(stderr, "usage: lsa_auth [--log LEVEL] < login-and-password-lines\n");
        return 2;
    }

    HANDLE connection = nullptr;
    DWORD error = LsaOpenServer(&connection);
    if (error != 0) {
        const char *name = LwWin32ExtErrorToName(error);
        printf("open %u %s\n", static_cast<unsigned>(error), name ? name : "<null>");
        return 1;
    }
    std::string login, password;
    while (std::getline(std::cin, login) && std::getline(std::cin, password)) {
        error = LsaAuthenticateUser(connection, login.c_str(), password.c_str());
        const char *name = LwWin32ExtErrorToName(error);
        printf("%u %s\n", static_cast<unsigned>(error), name ? name : "<null>");
        fflush(stdout);
    }
    LsaCloseServer(connection);
    return 0;
}
