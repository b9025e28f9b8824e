// Local keystore creation not yet served: weak so that the real function,
// once linked, takes its place.
#include <cerrno>

#include "localks.h"

__attribute__((weak)) int localks_db_make(upcall_buf *) { return EOPNOTSUPP; }
