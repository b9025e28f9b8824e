// libpkcs11_kyr: helpers shared by the object, key and operation calls.
#ifndef KYR_OPS_H
#define KYR_OPS_H

#include "kyr_core.h"

// Frame checks of a call on a session: initialized, handle not 0 and 32 bits.
CK_RV kyr_frame(ST_SESSION_T s);
// Builds the block into g and sends it on the session's slot; g->p is null
// when no block was built.
CK_RV kyr_send(ST_SESSION_T s, uint32_t cmd, const void *hdr, size_t hdr_len, const kyr_part *parts,
               size_t n, kyr_block_guard *g);
// An output the card produced: on CKR_OK or CKR_BUFFER_TOO_SMALL the length,
// on CKR_OK with a buffer the bytes from src; a length above the room on
// CKR_OK with a buffer is CKR_DEVICE_ERROR with nothing copied.
CK_RV kyr_take_output(CK_RV rv, uint32_t produced, size_t room, const uint8_t *src, CK_BYTE_PTR out,
                      CK_ULONG_PTR out_len);

#endif  // KYR_OPS_H
