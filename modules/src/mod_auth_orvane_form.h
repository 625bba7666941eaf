// What the form module's in-process tests reach besides its hooks: the
// module record, the child's LSA globals and the steps they test one by one.
// Not installed; the loadable module exports the record and the globals only.
#pragma once

#include <httpd.h>
#include <http_config.h>
#include <util_filter.h>

#include <apr_thread_mutex.h>

#include <lsaclient.h>

#define ORVANE_EXPORT __attribute__((visibility("default")))

extern "C" {
ORVANE_EXPORT extern module AP_MODULE_DECLARE_DATA auth_orvane_form_module;

// One per child process: the lock around every LSA call, and the connection
// opened by the first authentication.
ORVANE_EXPORT extern apr_thread_mutex_t *lsaMutex;
ORVANE_EXPORT extern HANDLE hLsaConnection;
}

DWORD MapErrorCode(DWORD error);
apr_status_t check_lsa_error(request_rec *r, DWORD *error);
char *decode(request_rec *r, char *raw, int wipe);
void zero_and_free(void *data);
apr_status_t mod_auth_orvane_form_if(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                     apr_read_type_e block, apr_off_t readbytes);
