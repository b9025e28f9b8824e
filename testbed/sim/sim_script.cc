#include "sim_internal.h"
int kyrsim_run_script(kyrsim *, const std::string &, const std::string &, FILE *, kyrsim_child *, std::string *failure)
{
    *failure = "not yet";
    return ENOSYS;
}
