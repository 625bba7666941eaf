// The authentication result code that both modules report for a failed
// sign-on's Likewise error number: the form module for the LSA client's
// answer, the NTLM module for the mechanism's minor status (mechanisms that
// report Likewise numbers). Any other number reports 'E'.
#pragma once

#include <lsaclient.h>

struct result_code_row {
    DWORD error;
    char code;
};

constexpr result_code_row result_codes[] = {
    {LW_ERROR_NO_SUCH_USER, '0'},       // 40017
    {LW_ERROR_PASSWORD_MISMATCH, '0'},  // 40022
    {LW_ERROR_INVALID_PASSWORD, '0'},   // 40047
    {LW_ERROR_PASSWORD_EXPIRED, 'X'},   // 40024
    {LW_ERROR_ACCOUNT_DISABLED, 'L'},   // 40055
    {LW_ERROR_ACCOUNT_EXPIRED, 'D'},    // 40056
};

constexpr char failure_result_code(DWORD error)
{
    for (const auto &row : result_codes)
        if (row.error == error)
            return row.code;
    return 'E';
}
