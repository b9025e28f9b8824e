// In-process firmware for unit tests and benchmarks of the daemon's handlers.
//
// fake_fw_install() puts a function into qelkiod_ioctl that serves
// QELCTLUPCALL the way the card would: every message the daemon submits
// arrives here in network byte order and is recorded as it arrived (raw
// bytes).  The reply written back in its place is, in this order:
//   1. the next queued reply, if any (fake_fw_queue_*): a whole message in
//      network order (the next part of a multi-part write), a refusal (a
//      DB_RESPONSE carrying a non-zero status) or a device error (the ioctl
//      fails with that errno);
//   2. otherwise an acceptance: DB_RESPONSE, status 0, flags 0, extent
//      61423, paramSize 412, the rest of the 412-byte parameter block echoed
//      from the submitted message, all in network order.
// An optional hook sees each submission before it is answered (to look at
// the disk while an exchange is half done).
//
// The decoding here is independent of the daemon's conversion code: fw_be32
// and the fw_* parsers read the raw network-order bytes themselves, and the
// fw_make_* builders write either byte order without calling the daemon.
//
// Typical use:
//   fake_ks ks;                                  // temp keystore dir, TSD
//   fake_ks_init(&ks, "ks.host.{1}", DBM_KS_LOCAL);
//   fake_fw_install();
//   fw_load(ks.buf, fw_make_user_msg(DB_USER_WRITE, ks.name, 0, recs, false, false));
//   int st = task_user_write(ks.buf);
//   fw_user_parse(fake_fw_sent(0), ...);         // what was answered
//   fake_fw_uninstall(); fake_ks_fini(&ks);
#ifndef KYR_TEST_FAKE_FW_H
#define KYR_TEST_FAKE_FW_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qelkiod.h"

typedef std::vector<unsigned char> fw_bytes;

// ---- the fake device ----
void fake_fw_install();            // also clears recorded and queued messages
void fake_fw_uninstall();          // restores the previous transport
void fake_fw_reset();              // clears recorded and queued messages
size_t fake_fw_count();            // messages submitted so far
const fw_bytes &fake_fw_sent(size_t i);   // the i-th submission, network order
void fake_fw_queue_msg(const fw_bytes &net);  // reply with this message
void fake_fw_queue_accept();       // explicit acceptance (keeps queue order)
void fake_fw_queue_refuse(int32_t status);
void fake_fw_queue_errno(int err);  // the ioctl itself fails
// Called with the index and bytes of each submission before it is answered.
void fake_fw_set_hook(std::function<void(size_t, const fw_bytes &)> hook);
// When true, submissions are not recorded (benchmarks); replies still are made.
void fake_fw_set_record(bool on);
// Number of submissions since install, recorded or not.
size_t fake_fw_total();

// ---- independent network-order decoding ----
uint32_t fw_be32(const fw_bytes &m, size_t off);
struct fw_hdr {
    uint32_t type, handle, ldom;
    int32_t status;
    uint32_t flags;
    int32_t extent, paramSize;
};
fw_hdr fw_header(const fw_bytes &m);
std::string fw_name(const fw_bytes &m, size_t off);   // a 64-byte name field
struct fw_rec {
    std::string id;     // 20 bytes (users) or 8 bytes (objects), raw
    std::string data;   // raw data bytes
};
// Records of a network-order user or object message (count and lengths
// read big-endian).  Returns false when a record passes paramSize.
bool fw_user_parse(const fw_bytes &m, std::vector<fw_rec> *out);
bool fw_obj_parse(const fw_bytes &m, std::string *owner, std::vector<fw_rec> *out);

// ---- builders (net: network order; otherwise host order) ----
std::string fw_uid(unsigned n);                   // 20-byte user ID from a number
std::string fw_oid(uint32_t hi, uint32_t lo);     // 8-byte object ID, big-endian words
// ids_only: records carry the ID and a zero length only (reads, deletes).
fw_bytes fw_make_user_msg(uint32_t type, const std::string &ksname, uint32_t flags,
                          const std::vector<fw_rec> &recs, bool ids_only, bool net);
fw_bytes fw_make_obj_msg(uint32_t type, const std::string &ksname, uint32_t flags,
                         const std::string &owner, const std::vector<fw_rec> &recs,
                         bool ids_only, bool net);
fw_bytes fw_make_file_msg(uint32_t type, const std::string &file, uint32_t flags,
                          uint32_t filesize, const std::string &data, bool net);
fw_bytes fw_make_ks_msg(uint32_t type, const std::string &ksname, uint32_t kstype, bool net);
// Copies a host-order message into the upcall buffer's message area.
void fw_load(upcall_buf *buf, const fw_bytes &host);

// ---- a keystore directory and thread identity for one test ----
struct fake_ks {
    std::string dir;          // temporary keystore directory
    std::string name;         // keystore name
    upcall_buf *buf = nullptr;   // zeroed, ksdir = dir, fd = -1
    kstinfo *ks = nullptr;       // installed under ptconfkey for this thread
};
// Creates the temp directory (and the thread-specific key once per
// process), a kstinfo for name/kstype under ptconfkey, and an upcall buffer.
int fake_ks_init(fake_ks *k, const std::string &name, dbm_kstype_t kstype);
// Removes ptconfkey's value, frees the buffer and kstinfo, and removes the
// directory tree.
void fake_ks_fini(fake_ks *k);
// Names of the regular files in a directory, sorted (for "nothing changed").
std::vector<std::string> fw_list_dir(const std::string &dir);
std::string fw_read_file(const std::string &path);
// Every key and data of a database in a keystore environment, read with a
// plain Berkeley DB open of its own (recovery included), in key order.
// Returns false when the environment or database cannot be opened.
bool fw_dump_db(const std::string &envdir, const char *dbname,
                std::vector<std::pair<std::string, std::string>> *out);
// Stores one record directly (auto-commit), bypassing the handlers.
bool fw_put_db(const std::string &envdir, const char *dbname, const std::string &key,
               const std::string &data);
bool fw_write_file(const std::string &path, const std::string &data);

#endif  // KYR_TEST_FAKE_FW_H
