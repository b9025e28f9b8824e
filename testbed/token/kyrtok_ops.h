// The card's token: the commands of objects, keys and cryptographic
// operations, carried out on SoftHSM.  A block is the command's header and
// its variable parts, lengths read from the header; a CK_ULONG attribute
// value is one 32-bit word (an 8-byte one is refused, as a library that
// forgot to narrow sends it).  Mechanisms whose parameters hold a CK_ULONG
// or a pointer are not carried out: they are in SoftHSM's mechanism list,
// so a call with one is refused as SoftHSM refuses a parameter it cannot
// take, with CKR_ARGUMENTS_BAD (KYRTOK_PARAM_REFUSED).  The SSL3 and digest key
// derivations, which SoftHSM lacks, get a scripted answer once their
// parameter block checks out.
#ifndef KYRTOK_OPS_H
#define KYRTOK_OPS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "kyr_blocks.h"

CK_FUNCTION_LIST_PTR kyrtok_p11();
bool kyrtok_mech_refused(uint32_t type);
constexpr CK_RV KYRTOK_PARAM_REFUSED = CKR_ARGUMENTS_BAD;
// Header size of an operation's block (0: not such a command).
size_t kyrtok_header_size(uint32_t cmd);
// The whole block's size from its header; false above the largest block.
bool kyrtok_block_total(uint32_t cmd, const uint8_t *hdr, size_t *total);
// Runs the command on SoftHSM session h; the answer is written into b.
// next numbers the scripted handles.
CK_RV kyrtok_run_op(uint32_t cmd, CK_SESSION_HANDLE h, std::vector<uint8_t> &b, uint32_t *next);

#endif  // KYRTOK_OPS_H
