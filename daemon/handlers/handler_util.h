// Helpers shared by the upcall handlers: the thread's keystore record, the
// keystore handle opened for one upcall, the refusal of the directory
// backend where it has no functions yet, and the plain "done" answer.
#ifndef KYR_HANDLER_UTIL_H
#define KYR_HANDLER_UTIL_H

#include "../localks/localks.h"

// The thread's keystore information, or nullptr after logging "Cannot get
// TSD value for `what`" with *err set to the errno (ENOENT when none).
kstinfo *handler_self(const char *what, int *err);

// Logs that the centralized keystore has no `what` and returns EOPNOTSUPP.
int cks_refused(const char *what);

// Opens `dbname` (nullptr: the environment alone) of the message's keystore
// of type `kstype` into a cleared handle.
int handler_open(ks_handle *h, upcall_buf *buf, dbm_kstype_t kstype, const char *dbname);

// The operation a local keystore runs on its open handle; it answers the
// firmware itself.
typedef int (*local_op)(ks_handle *h, upcall_buf *buf);

// The frame of an upcall on the thread's own keystore: opens it with
// `dbname`, runs `op` on a local keystore or refuses a centralized one with
// `cks_what`, and closes the keystore on every path.  `what` names the
// upcall when the thread has no keystore record.
int handler_run_local(upcall_buf *buf, const char *what, const char *dbname,
                      const char *cks_what, local_op op);

// Answers the request with status 0.  The firmware's reply to an answer is
// not the handler's to judge, so this returns 0 whatever submission says.
int answer_ok(upcall_buf *buf);

#endif  // KYR_HANDLER_UTIL_H
