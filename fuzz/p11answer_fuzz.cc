// Fuzz target: the token library's walks of the card's answers
// (kyr_answers): SC_GetAttributeValue's entries, SC_FindObjects' handles
// and a produced output, against answer bytes the card wrote into the
// library's own block.  Every caller buffer is its own allocation of
// exactly its length (AddressSanitizer sees any write past it) followed by
// a separate canary; the template, count and lengths are checked against
// the rules: the caller's types kept, counts within max_count, lengths
// within the room, nothing copied with CKR_DEVICE_ERROR.
//
// Input: one byte choosing the walk (0 get, 1 find, 2 output), then
//   get:    n (1 + byte % 8); per entry a type index (an index past the
//           table takes a 32-bit type), a flags byte (bit 0: a value
//           buffer), a length byte (>= 240: that many CK_ULONGs past 240,
//           else byte % 64); the card's code index; then per entry of the
//           answer a control byte (bit 0: keep the type, else a 32-bit
//           one; bits 1-2: length = a 32-bit word, the room, "unavailable"
//           or a byte), then the entry's room filled from the input.
//   find:   the room (byte % 40), a count mode byte (0: a 32-bit word,
//           1: the room, 2: the room + 1, else byte % (room + 1)), then the
//           handles.
//   output: the room (byte), flags (bit 0: an output buffer), the input
//           length (byte % 32), the card's code index, a produced-length
//           mode byte (0: a 32-bit word, 1: the room, 2: the room + 1,
//           else a byte), then the block's other bytes.
// Words are little-endian; a short input reads as zeros.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_util.h"
#include "kyr_answers.h"

namespace {

struct reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte()
    {
        if (!n)
            return 0;
        n--;
        return *p++;
    }
    uint32_t word()
    {
        uint32_t w = 0;
        for (int i = 0; i < 4; i++)
            w |= uint32_t(byte()) << (8 * i);
        return w;
    }
    void fill(uint8_t *dst, size_t len)
    {
        for (size_t i = 0; i < len; i++)
            dst[i] = byte();
    }
};

const CK_RV k_codes[] = {CKR_OK, CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID,
                         CKR_BUFFER_TOO_SMALL, CKR_DEVICE_ERROR, CKR_FUNCTION_FAILED,
                         CKR_OBJECT_HANDLE_INVALID};
const CK_ATTRIBUTE_TYPE k_types[] = {CKA_CLASS,         CKA_KEY_TYPE,  CKA_VALUE_LEN,
                                     CKA_MODULUS_BITS,  CKA_LABEL,     CKA_VALUE,
                                     CKA_ID,            CKA_TOKEN,     CKA_ALLOWED_MECHANISMS,
                                     CKA_WRAP_TEMPLATE, CKA_DERIVE_TEMPLATE, CKA_MODULUS};
const uint8_t k_fill = 0x5A, k_canary = 0xC3;
const size_t k_canary_len = 16;

CK_RV code(reader &r)
{
    return k_codes[r.byte() % (sizeof k_codes / sizeof k_codes[0])];
}

// A caller buffer: exactly len bytes, and a canary kept apart.
struct cbuf {
    uint8_t *p = nullptr;
    size_t len = 0;
    uint8_t canary[k_canary_len];
    cbuf() { memset(canary, k_canary, sizeof canary); }
    cbuf(const cbuf &) = delete;
    cbuf &operator=(const cbuf &) = delete;
    void make(size_t n)
    {
        len = n;
        p = static_cast<uint8_t *>(malloc(n ? n : 1));
        memset(p, k_fill, n);
    }
    ~cbuf() { free(p); }
    bool untouched() const
    {
        for (size_t i = 0; i < len; i++)
            if (p[i] != k_fill)
                return false;
        return true;
    }
    bool canary_ok() const
    {
        for (uint8_t c : canary)
            if (c != k_canary)
                return false;
        return true;
    }
};

bool walked(CK_RV rv)
{
    return rv == CKR_OK || rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
           rv == CKR_BUFFER_TOO_SMALL;
}

void get_attrs(reader &r)
{
    const CK_ULONG n = 1 + r.byte() % 8;
    std::vector<CK_ATTRIBUTE> t(n), before(n);
    std::vector<cbuf> bufs(n);
    for (CK_ULONG i = 0; i < n; i++) {
        uint8_t ti = r.byte();
        t[i].type = ti < sizeof k_types / sizeof k_types[0] ? k_types[ti] : r.word();
        uint8_t flags = r.byte(), lb = r.byte();
        size_t len = lb >= 240 ? (lb - 240) * sizeof(CK_ULONG) : lb % 64;
        t[i].ulValueLen = len;
        if (flags & 1) {
            bufs[i].make(len);
            t[i].pValue = bufs[i].p;
        }
    }
    before = t;
    const CK_RV card = code(r);
    kyr_block_guard g;
    CK_RV rv = kyr_get_attr_request(1, 2, t.data(), n, &g);
    if (rv != CKR_OK)
        return;
    // The card's answer, at the places the library reserved.
    size_t off = sizeof(CommonObject_Args);
    r.fill(g.p, off);
    for (CK_ULONG i = 0; i < n; i++) {
        const size_t room = kyr_attr_room(t[i]);
        FUZZ_CHECK(off + sizeof(KYR_ATTR_32) + room <= g.len);
        KYR_ATTR_32 e;
        memcpy(&e, g.p + off, sizeof e);
        FUZZ_CHECK(e.type == uint32_t(t[i].type) && e.len == room);
        uint8_t c = r.byte();
        if (!(c & 1))
            e.type = r.word();
        switch ((c >> 1) & 3) {
        case 0: e.len = r.word(); break;
        case 1: e.len = uint32_t(room); break;
        case 2: e.len = KYR_UNAVAILABLE; break;
        default: e.len = r.byte(); break;
        }
        memcpy(g.p + off, &e, sizeof e);
        r.fill(g.p + off + sizeof e, room);
        off += sizeof e + room;
    }
    FUZZ_CHECK(off == g.len);
    rv = kyr_get_attr_answer(card, g.p, g.len, t.data(), n);

    bool untouched = true;
    for (CK_ULONG i = 0; i < n; i++) {
        FUZZ_CHECK(t[i].type == before[i].type);
        FUZZ_CHECK(t[i].pValue == before[i].pValue);
        FUZZ_CHECK(bufs[i].canary_ok());
        if (t[i].ulValueLen != before[i].ulValueLen || (bufs[i].p && !bufs[i].untouched()))
            untouched = false;
    }
    if (!walked(card)) {
        FUZZ_CHECK(rv == card && untouched);
        return;
    }
    if (rv == CKR_DEVICE_ERROR) {
        FUZZ_CHECK(untouched);
        return;
    }
    FUZZ_CHECK(rv == card || (card == CKR_OK && (rv == CKR_BUFFER_TOO_SMALL ||
                                                 rv == CKR_ATTRIBUTE_TYPE_INVALID)));
    for (CK_ULONG i = 0; i < n; i++) {
        const uint32_t type = uint32_t(t[i].type);
        const CK_ULONG got = t[i].ulValueLen;
        if (kyr_attr_is_nested(type) && t[i].type == type) {
            FUZZ_CHECK(got == CK_UNAVAILABLE_INFORMATION);
            FUZZ_CHECK(!bufs[i].p || bufs[i].untouched());
            continue;
        }
        if (got == CK_UNAVAILABLE_INFORMATION) {
            FUZZ_CHECK(!bufs[i].p || bufs[i].untouched());
            continue;
        }
        const bool words = kyr_attr_is_ulong(type) || kyr_attr_is_ulong_array(type);
        if (words)
            FUZZ_CHECK(got % sizeof(CK_ULONG) == 0);
        if (kyr_attr_is_ulong(type))
            FUZZ_CHECK(got == sizeof(CK_ULONG));
        if (!bufs[i].p)
            continue;
        FUZZ_CHECK(got <= before[i].ulValueLen);
        if (words) {
            for (size_t k = 0; k < got / sizeof(CK_ULONG); k++) {
                CK_ULONG v;
                memcpy(&v, bufs[i].p + k * sizeof v, sizeof v);
                FUZZ_CHECK((v >> 16 >> 16) == 0);
            }
        }
    }
}

void find(reader &r)
{
    const size_t room = r.byte() % 40;
    std::vector<CK_OBJECT_HANDLE> objs(room + 2, 0xD00D);
    kyr_block_guard g;
    FindObjects_Args a = {1, uint32_t(room), 0};
    kyr_part p = {nullptr, room * sizeof(uint32_t)};
    FUZZ_CHECK(kyr_block_build(&a, sizeof a, &p, 1, &g.p, &g.len) == CKR_OK);
    r.fill(g.p, g.len);
    uint8_t mode = r.byte();
    a.count = mode == 0 ? r.word() : mode == 1 ? uint32_t(room) : mode == 2 ? uint32_t(room + 1)
                                                                            : mode % (room + 1);
    memcpy(g.p + offsetof(FindObjects_Args, count), &a.count, sizeof a.count);
    CK_ULONG count = 0xBEEF;
    CK_RV rv = kyr_find_answer(g.p, room, objs.data(), &count);
    FUZZ_CHECK(objs[room] == 0xD00D && objs[room + 1] == 0xD00D);
    if (rv != CKR_OK) {
        FUZZ_CHECK(rv == CKR_DEVICE_ERROR && a.count > room && count == 0xBEEF);
        for (CK_OBJECT_HANDLE h : objs)
            FUZZ_CHECK(h == 0xD00D);
        return;
    }
    FUZZ_CHECK(count == a.count && count <= room);
    for (size_t i = 0; i < count; i++) {
        uint32_t w;
        memcpy(&w, g.p + sizeof a + i * sizeof w, sizeof w);
        FUZZ_CHECK(objs[i] == w);
    }
    for (size_t i = count; i < room; i++)
        FUZZ_CHECK(objs[i] == 0xD00D);
}

void output(reader &r)
{
    const size_t room_wanted = r.byte();
    const bool has_out = r.byte() & 1;
    const size_t in_len = r.byte() % 32;
    const CK_RV card = code(r);
    const size_t room = has_out ? room_wanted : 0;
    cbuf out;
    out.make(room_wanted);
    Encrypt_Args a = {1, uint32_t(in_len), uint32_t(room)};
    kyr_part p[2] = {{nullptr, in_len}, {nullptr, room}};
    kyr_block_guard g;
    FUZZ_CHECK(kyr_block_build(&a, sizeof a, p, 2, &g.p, &g.len) == CKR_OK);
    uint8_t mode = r.byte();
    uint32_t produced = mode == 0 ? r.word() : mode == 1 ? uint32_t(room)
                                             : mode == 2 ? uint32_t(room + 1) : r.byte();
    r.fill(g.p, g.len);
    memcpy(g.p + offsetof(Encrypt_Args, out_data_len), &produced, sizeof produced);
    Encrypt_Args back;
    memcpy(&back, g.p, sizeof back);
    CK_ULONG out_len = room_wanted;
    CK_RV rv = kyr_take_output(card, back.out_data_len, room, g.p + sizeof a + in_len,
                               has_out ? out.p : nullptr, &out_len);
    FUZZ_CHECK(out.canary_ok());
    if (rv == CKR_DEVICE_ERROR && card != CKR_DEVICE_ERROR) {
        FUZZ_CHECK(card == CKR_OK && has_out && produced > room);
        FUZZ_CHECK(out_len == room_wanted && out.untouched());
        return;
    }
    FUZZ_CHECK(rv == card);
    if (card != CKR_OK && card != CKR_BUFFER_TOO_SMALL) {
        FUZZ_CHECK(out_len == room_wanted && out.untouched());
        return;
    }
    FUZZ_CHECK(out_len == produced);
    if (card == CKR_OK && has_out) {
        FUZZ_CHECK(produced <= room);
        FUZZ_CHECK(memcmp(out.p, g.p + sizeof a + in_len, produced) == 0);
    } else {
        FUZZ_CHECK(out.untouched());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reader r = {data, size};
    switch (r.byte() % 3) {
    case 0: get_attrs(r); break;
    case 1: find(r); break;
    default: output(r); break;
    }
    return 0;
}
