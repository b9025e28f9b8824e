# The fuzz targets, shared by the main build (which runs them as tests) and
# the clang build in fuzz/clang (which builds them).
#
# Adding a target <name>:
#   1. write fuzz/<name>_fuzz.cc with LLVMFuzzerTestOneInput (and, when it
#      needs one, LLVMFuzzerInitialize), using only the production sources
#      and what tests/support offers;
#   2. put a few small seed inputs under fuzz/corpus/<name>/ (binary ones
#      from fuzz/make_seeds.py, which holds the builders of messages and
#      frames);
#   3. add <name> to KYR_FUZZ_TARGETS below, set KYR_FUZZ_RUNS_<name> to the
#      number of inputs CTest runs (a few seconds' worth), and set
#      KYR_FUZZ_LIBS_<name> to the libraries of fuzz/clang/CMakeLists.txt it
#      links (a new component gets a library there, built the way the
#      others are).
set(KYR_FUZZ_TARGETS config serverlist upcall dispatch qelctl cks_text p11answer)

set(KYR_FUZZ_RUNS_config 20000)
set(KYR_FUZZ_LIBS_config kyrfuzz_daemon)

set(KYR_FUZZ_RUNS_serverlist 50000)
set(KYR_FUZZ_LIBS_serverlist kyrfuzz_daemon)

set(KYR_FUZZ_RUNS_upcall 50000)
set(KYR_FUZZ_LIBS_upcall kyrfuzz_daemon)

set(KYR_FUZZ_RUNS_dispatch 500)
set(KYR_FUZZ_LIBS_dispatch kyrfuzz_daemon)

set(KYR_FUZZ_RUNS_qelctl 20000)
set(KYR_FUZZ_LIBS_qelctl kyrfuzz_testbed)

set(KYR_FUZZ_RUNS_cks_text 50000)
set(KYR_FUZZ_LIBS_cks_text kyrfuzz_daemon)

set(KYR_FUZZ_RUNS_p11answer 100000)
set(KYR_FUZZ_LIBS_p11answer kyrfuzz_p11)
