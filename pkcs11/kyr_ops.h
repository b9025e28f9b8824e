// libpkcs11_kyr: helpers shared by the object, key and operation calls.
#ifndef KYR_OPS_H
#define KYR_OPS_H

#include "kyr_answers.h"
#include "kyr_core.h"

// Frame checks of a call on a session: initialized, handle not 0 and 32 bits.
CK_RV kyr_frame(ST_SESSION_T s);
// The frame checks, then the mechanism's.
CK_RV kyr_frame_mech(ST_SESSION_T s, const CK_MECHANISM *m);
// Builds the block into g and sends it on the session's slot; g->p is null
// when no block was built.
CK_RV kyr_send(ST_SESSION_T s, uint32_t cmd, const void *hdr, size_t hdr_len, const kyr_part *parts,
               size_t n, kyr_block_guard *g);

#endif  // KYR_OPS_H
