// Helpers shared by the upcall handlers: the thread's keystore record, the
// keystore handle opened for one upcall, and the plain "done" answer.
#ifndef KYR_HANDLER_UTIL_H
#define KYR_HANDLER_UTIL_H

#include "../localks/localks.h"

// The thread's keystore information, or nullptr after logging "Cannot get
// TSD value for `what`" with *err set to the errno (ENOENT when none).
kstinfo *handler_self(const char *what, int *err);

// The thread's keystore information when the message's ksname is a valid
// name of the thread's own keystore, with the name in `name`.  Otherwise
// nullptr with *err set: the errno of a missing record (as handler_self),
// or EINVAL, logged, for a name that is no keystore name or names another
// keystore.  The upcalls that open, change or remove a keystore act on
// their thread's own keystore only, whichever backend serves it; the
// control thread has none.
kstinfo *handler_own_keystore(upcall_buf *buf, const char *what, char name[DBM_KSNAME_LEN],
                              int *err);

// Opens `dbname` (nullptr: the environment alone) of the message's keystore
// of type `kstype` into a cleared handle.
int handler_open(ks_handle *h, upcall_buf *buf, dbm_kstype_t kstype, const char *dbname);

// The operation a local keystore runs on its open handle; it answers the
// firmware itself.
typedef int (*local_op)(ks_handle *h, upcall_buf *buf);

// Answers the request with status 0.  The firmware's reply to an answer is
// not the handler's to judge, so this returns 0 whatever submission says.
int answer_ok(upcall_buf *buf);

#endif  // KYR_HANDLER_UTIL_H
