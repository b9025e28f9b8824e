// libpkcs11_kyr: the walks of the card's answers.
//
// The card answers in the block the library sent.  A walk reads only the
// places the library itself reserved (offsets from its own values, never
// from words the card wrote back), stays inside the block, and writes only
// into the caller's buffers within their lengths: a card that claims more
// than the room is CKR_DEVICE_ERROR with nothing copied.
#ifndef KYR_ANSWERS_H
#define KYR_ANSWERS_H

#include "kyr_core.h"

// An output the card produced: on CKR_OK or CKR_BUFFER_TOO_SMALL the length,
// on CKR_OK with a buffer the bytes from src; a length above the room on
// CKR_OK with a buffer is CKR_DEVICE_ERROR with nothing copied.
CK_RV kyr_take_output(CK_RV rv, uint32_t produced, size_t room, const uint8_t *src, CK_BYTE_PTR out,
                      CK_ULONG_PTR out_len);

// The room SC_GetAttributeValue offers an entry on the card: none without a
// value buffer or for an attribute array; a word for a CK_ULONG (none when
// the buffer cannot take one), a word per whole CK_ULONG of an array's
// buffer, else the buffer's length.
size_t kyr_attr_room(const CK_ATTRIBUTE &t);

// The block of SC_GetAttributeValue into g: CommonObject_Args, then per
// entry its type, its room and the room.  CKR_ARGUMENTS_BAD for a null
// template, a count of 0 or above 32 bits, or a block above the largest;
// CKR_ATTRIBUTE_TYPE_INVALID for a type above 32 bits.
CK_RV kyr_get_attr_request(uint32_t session, uint32_t obj, const CK_ATTRIBUTE *t, CK_ULONG n,
                           kyr_block_guard *g);

// The card's answer (code rv) to that block, blk of len bytes, into the
// template: the caller's types are kept (a renamed entry, or a length of a
// shape no CK_ULONG value can have, is CKR_DEVICE_ERROR with the template
// untouched); a value longer than its room is CK_UNAVAILABLE_INFORMATION
// and CKR_BUFFER_TOO_SMALL; an attribute array is CK_UNAVAILABLE_INFORMATION
// and CKR_ATTRIBUTE_TYPE_INVALID.  Each entry is read once when its value is
// taken (a value may land in the template itself); one that changed since
// the request so that the walk would leave the block, or its type, is
// CKR_ARGUMENTS_BAD.  Only CKR_OK, CKR_ATTRIBUTE_SENSITIVE,
// CKR_ATTRIBUTE_TYPE_INVALID and CKR_BUFFER_TOO_SMALL are walked; any other
// code is returned as it is.
CK_RV kyr_get_attr_answer(CK_RV rv, const uint8_t *blk, size_t len, CK_ATTRIBUTE *t, CK_ULONG n);

// The card's answer to FindObjects_Args with room for `room` handles (blk
// holds the header and that room): at most `room` handles, widened, and
// their count; more is CKR_DEVICE_ERROR with nothing copied.
CK_RV kyr_find_answer(const uint8_t *blk, size_t room, CK_OBJECT_HANDLE_PTR objs, CK_ULONG_PTR count);

#endif  // KYR_ANSWERS_H
