// Test double of the LSA client library for the form module's in-process
// tests: answers with chosen error numbers and records what it was asked.
#pragma once

#include <lsaclient.h>

#include <string>
#include <vector>

namespace lsa_double {

struct state {
    DWORD open_result = 0;        // what LsaOpenServer returns
    DWORD auth_result = 0;        // what LsaAuthenticateUser returns
    bool allocate_fails = false;  // LwAllocateMemory fails
    bool short_text = false;      // LwGetErrorString fills less than it announced
    int open_calls = 0;
    int auth_calls = 0;
    int close_calls = 0;
    int freed_strings = 0;
    std::string login;                   // last login name checked
    std::string password;                // last password checked
    std::vector<std::string> debug_log;  // lines passed to the installed logger
};

state &get();
// Back to the defaults, with no logger installed.
void reset();
// Installs a logger that records into get().debug_log.
void install_logger(LsaLogLevel max_level);

}  // namespace lsa_double
