// Firmware model: answers what the daemon submits as the card's firmware
// would, per card and keystore, and keeps the wire record.
//
// Replies: a hello gets the scripted status of its keystore (0 unless set);
// a push or response gets an acceptance (status 0, the header and the
// 412-byte parameter block echoed as a DB_RESPONSE) unless the test queued
// the next part of a multi-part write or a refusal.
#include <chrono>
#include <cstring>
#include <thread>

#include "sim_internal.h"

namespace {

uint32_t be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

std::string name_at(const uint8_t *msg, size_t len)
{
    if (len < DBM_KSNAME_OFF + DBM_KSNAME_LEN)
        return std::string();
    size_t n = 0;
    while (n < DBM_KSNAME_LEN && msg[DBM_KSNAME_OFF + n])
        n++;
    return std::string(reinterpret_cast<const char *>(msg + DBM_KSNAME_OFF), n);
}

// The acceptance or refusal form of a reply: the first 412 bytes of the
// message (zero-padded) as a DB_RESPONSE with the given status.
std::vector<uint8_t> status_reply(const uint8_t *msg, size_t len, int32_t status)
{
    std::vector<uint8_t> r(DBM_PARAM_SIZE, 0);
    memcpy(r.data(), msg, len < DBM_PARAM_SIZE ? len : DBM_PARAM_SIZE);
    put_be32(r.data(), DB_RESPONSE);
    put_be32(r.data() + 12, static_cast<uint32_t>(status));
    put_be32(r.data() + 16, 0);
    put_be32(r.data() + 24, DBM_PARAM_SIZE);
    return r;
}

void record(kyrsim *s, bool to_fw, int instance, int caller, const std::string &ks,
            const uint8_t *p, size_t n)
{
    kyrsim_wire w;
    w.to_fw = to_fw;
    w.instance = instance;
    w.caller = caller;
    w.ks = ks;
    w.bytes.assign(p, p + n);
    s->wire.push_back(std::move(w));
}

std::string ks_of_caller(kyrsim *s, int caller)
{
    auto it = s->caller_ks.find(caller);
    if (it != s->caller_ks.end())
        return it->second;
    return "#" + std::to_string(caller);
}

int32_t hello_answer(sim_ks &st, int instance)
{
    auto it = st.hello_answer.find(instance);
    if (it == st.hello_answer.end())
        it = st.hello_answer.find(-1);
    return it == st.hello_answer.end() ? 0 : it->second;
}

using clock_type = std::chrono::steady_clock;

clock_type::time_point deadline_of(long timeout_ms)
{
    return clock_type::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

}  // namespace

int sim_fw_hook(void *ctx, int instance, int caller, const void *msgv, size_t len, void **reply,
                size_t *replylen)
{
    kyrsim *s = static_cast<kyrsim *>(ctx);
    const uint8_t *msg = static_cast<const uint8_t *>(msgv);
    if (len < DBM_HDR_SIZE)
        return EINVAL;
    uint32_t type = be32(msg);
    uint32_t flags = be32(msg + 16);
    int32_t status = static_cast<int32_t>(be32(msg + 12));
    std::vector<uint8_t> out;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        if (type == DB_HELLO) {
            std::string ks = name_at(msg, len);
            s->caller_ks[caller] = ks;
            out = status_reply(msg, len, hello_answer(s->ks[ks], instance));
            record(s, true, instance, caller, ks, msg, len);
            record(s, false, instance, caller, ks, out.data(), out.size());
        } else {
            std::string ks = ks_of_caller(s, caller);
            sim_ks &st = s->ks[ks];
            bool failure_answer = type == DB_RESPONSE && status != 0;
            // A failed exchange ends it: the firmware drops the parts it
            // still meant to send.
            if (failure_answer)
                while (!st.queue.empty() && st.queue.front().kind == sim_reply::PART)
                    st.queue.pop_front();
            sim_reply r;
            if (!st.queue.empty()) {
                r = st.queue.front();
                st.queue.pop_front();
            }
            if (r.kind == sim_reply::PART)
                out = r.bytes;
            else
                out = status_reply(msg, len, r.kind == sim_reply::REFUSE ? r.status : 0);
            sim_inbox_item item;
            kyrsim_msg_decode(msg, len, &item.msg);
            // The exchange ends with a final push or response that is not
            // answered by a further part.  A refused push or response is
            // followed by the daemon's failure response, unless it was that
            // failure response itself.
            bool refused = r.kind == sim_reply::REFUSE && r.status != 0;
            item.ended = r.kind != sim_reply::PART && !(flags & DBM_FLAG_MORE) &&
                         !(refused && !failure_answer);
            st.inbox.push_back(std::move(item));
            record(s, true, instance, caller, ks, msg, len);
            record(s, false, instance, caller, ks, out.data(), out.size());
            s->cv.notify_all();
        }
    }
    void *p = qelmodel_alloc(out.size());
    if (!p)
        return ENOMEM;
    memcpy(p, out.data(), out.size());
    *reply = p;
    *replylen = out.size();
    return 0;
}

void sim_fw_standby(kyrsim *s, sim_call *call, const uint8_t *hdr)
{
    call->standby = true;
    if (call->hung && call->file->minor >= 0)
        qelmodel_interrupt(call->file->minor);
    std::string ks = ks_of_caller(s, call->file->minor);
    s->ks[ks].standby_seq++;
    record(s, true, -1, call->file->minor, ks, hdr, DBM_HDR_SIZE);
    s->cv.notify_all();
}

void sim_fw_hello_done(kyrsim *s, sim_call *call, int rc)
{
    if (rc == 0 || rc == DBM_HELLO_DEFERRED)
        s->caller_ks[call->file->minor] = call->hello_ks;
    sim_ks &st = s->ks[call->hello_ks];
    kyrsim_hello h;
    h.ksname = call->hello_ks;
    h.domain = call->hello_domain;
    h.result = rc;
    h.caller = call->file->minor;
    st.hellos.push_back(h);
    st.hello_total++;
    s->cv.notify_all();
}

int kyrsim_set_hello_answer(kyrsim *s, const std::string &ks, int32_t status, int instance)
{
    std::lock_guard<std::mutex> lk(s->mu);
    s->ks[ks].hello_answer[instance] = status;
    return 0;
}

int kyrsim_wait_hello(kyrsim *s, const std::string &ks, long timeout_ms, kyrsim_hello *out)
{
    std::unique_lock<std::mutex> lk(s->mu);
    sim_ks &st = s->ks[ks];
    if (!s->cv.wait_until(lk, deadline_of(timeout_ms), [&] { return !st.hellos.empty(); }))
        return ETIME;
    if (out)
        *out = st.hellos.front();
    st.hellos.pop_front();
    return 0;
}

int kyrsim_hello_count(kyrsim *s, const std::string &ks)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return s->ks[ks].hello_total;
}

int kyrsim_post_raw(kyrsim *s, const std::string &ks, const std::vector<uint8_t> &bytes)
{
    size_t at;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        sim_ks &st = s->ks[ks];
        st.post_mark = st.standby_seq;
        at = s->wire.size();
        record(s, false, -1, -1, ks, bytes.data(), bytes.size());
    }
    int rc = qelmodel_post_upcall(ks.c_str(), bytes.data(), bytes.size());
    if (rc) {
        std::lock_guard<std::mutex> lk(s->mu);
        if (at < s->wire.size())
            s->wire.erase(s->wire.begin() + static_cast<long>(at));
    }
    return rc;
}

int sim_encode_with_handle(kyrsim *s, const kyrsim_msg &m, int instance, std::vector<uint8_t> *out)
{
    kyrsim_msg c = m;
    if (c.handle == 0) {
        std::lock_guard<std::mutex> lk(s->mu);
        c.handle = (static_cast<uint32_t>(instance & 0xff) << 24) | (++s->handle_seq & 0xffffff);
    }
    return kyrsim_msg_encode(c, out);
}

int sim_queue_part_raw(kyrsim *s, const std::string &ks, const std::vector<uint8_t> &bytes)
{
    sim_reply r;
    r.kind = sim_reply::PART;
    r.bytes = bytes;
    std::lock_guard<std::mutex> lk(s->mu);
    s->ks[ks].queue.push_back(std::move(r));
    return 0;
}

int kyrsim_post(kyrsim *s, const std::string &ks, const kyrsim_msg &m, int instance)
{
    std::vector<uint8_t> bytes;
    int rc = sim_encode_with_handle(s, m, instance, &bytes);
    return rc ? rc : kyrsim_post_raw(s, ks, bytes);
}

int kyrsim_queue_part(kyrsim *s, const std::string &ks, const kyrsim_msg &next, int instance)
{
    std::vector<uint8_t> bytes;
    int rc = sim_encode_with_handle(s, next, instance, &bytes);
    return rc ? rc : sim_queue_part_raw(s, ks, bytes);
}

int kyrsim_queue_refusal(kyrsim *s, const std::string &ks, int nth, int32_t status)
{
    if (nth < 1)
        return EINVAL;
    std::lock_guard<std::mutex> lk(s->mu);
    sim_ks &st = s->ks[ks];
    for (int i = 1; i < nth; i++)
        st.queue.push_back(sim_reply());
    sim_reply r;
    r.kind = sim_reply::REFUSE;
    r.status = status;
    st.queue.push_back(r);
    return 0;
}

void kyrsim_clear_queue(kyrsim *s, const std::string &ks)
{
    std::lock_guard<std::mutex> lk(s->mu);
    s->ks[ks].queue.clear();
}

int sim_next_item(kyrsim *s, const std::string &ks, std::chrono::steady_clock::time_point dl,
                  sim_inbox_item *out)
{
    std::unique_lock<std::mutex> lk(s->mu);
    sim_ks &st = s->ks[ks];
    if (!s->cv.wait_until(lk, dl, [&] { return !st.inbox.empty(); }))
        return ETIME;
    *out = std::move(st.inbox.front());
    st.inbox.pop_front();
    return 0;
}

int kyrsim_next_msg(kyrsim *s, const std::string &ks, long timeout_ms, kyrsim_msg *out)
{
    sim_inbox_item item;
    int rc = sim_next_item(s, ks, deadline_of(timeout_ms), &item);
    if (rc == 0)
        *out = std::move(item.msg);
    return rc;
}

int kyrsim_collect(kyrsim *s, const std::string &ks, long timeout_ms, std::vector<kyrsim_msg> *out)
{
    auto dl = deadline_of(timeout_ms);
    for (;;) {
        sim_inbox_item item;
        int rc = sim_next_item(s, ks, dl, &item);
        if (rc)
            return rc;
        out->push_back(std::move(item.msg));
        if (item.ended)
            return 0;
    }
}

int kyrsim_exchange(kyrsim *s, const std::string &ks, const kyrsim_msg &m, long timeout_ms,
                    std::vector<kyrsim_msg> *out)
{
    int rc = kyrsim_post(s, ks, m);
    return rc ? rc : kyrsim_collect(s, ks, timeout_ms, out);
}

int kyrsim_wait_standby(kyrsim *s, const std::string &ks, long timeout_ms)
{
    auto dl = deadline_of(timeout_ms);
    for (;;) {
        bool entered;
        {
            std::lock_guard<std::mutex> lk(s->mu);
            sim_ks &st = s->ks[ks];
            entered = st.standby_seq > st.post_mark;
        }
        if (entered) {
            int caller = qelmodel_registered(ks.c_str());
            if (caller >= 0 && qelmodel_upcall_waiting(caller))
                return 0;
        }
        if (clock_type::now() >= dl)
            return ETIME;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int kyrsim_pending(kyrsim *s, const std::string &ks)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return static_cast<int>(s->ks[ks].inbox.size());
}

std::vector<kyrsim_wire> kyrsim_wire_log(kyrsim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return s->wire;
}

void kyrsim_wire_clear(kyrsim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    s->wire.clear();
}
