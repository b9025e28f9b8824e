// Handlers not yet served answer EOPNOTSUPP.  They are weak so that the
// real handler, once linked, takes their place.
#include <cerrno>

#include "../core/qelkiod.h"

#define KYR_PENDING(fn) \
    __attribute__((weak)) int fn(upcall_buf *) { return EOPNOTSUPP; }

KYR_PENDING(task_user_read)
KYR_PENDING(task_user_write)
KYR_PENDING(task_user_del)
KYR_PENDING(task_obj_read)
KYR_PENDING(task_obj_write)
KYR_PENDING(task_obj_del)
KYR_PENDING(task_file_read)
KYR_PENDING(task_file_write)
KYR_PENDING(task_file_del)
KYR_PENDING(task_db_read)
KYR_PENDING(task_db_del)
KYR_PENDING(task_db_check)
KYR_PENDING(task_db_join)
KYR_PENDING(task_db_archive)
KYR_PENDING(task_db_unarchive)
KYR_PENDING(task_db_rename)
KYR_PENDING(task_log_read)
KYR_PENDING(task_log_write)
