// Keystore information of a service thread and the table of one discovery
// pass.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "qelkiod.h"

pthread_key_t ptconfkey;

kstinfo *create_kstinfo(const char *name, dbm_kstype_t kstype)
{
    kstinfo *ks = static_cast<kstinfo *>(calloc(1, sizeof(*ks)));
    if (ks == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot allocate thread structure: %s", strerror(errno));
        return nullptr;
    }
    if (name != nullptr) {
        ks->name = strdup(name);
        if (ks->name == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot attach keystore name %s to thread: %s", name,
                        strerror(errno));
            free(ks);
            return nullptr;
        }
    }
    ks->kstype = kstype;
    ks->fd = -1;
    ks->dbopen_count = 0;
    return ks;
}

void free_kstinfo(void *arg)
{
    kstinfo *ks = static_cast<kstinfo *>(arg);
    if (ks == nullptr)
        return;
    free(ks->name);
    if (ks->fd != -1)
        close(ks->fd);
    free(ks);
}

int kstable_append(kstable *t, kstinfo *ks)
{
    if (t->count == t->cap) {
        int ncap = t->cap ? t->cap * 2 : 128;
        void *nv = realloc(t->v, sizeof(*t->v) * static_cast<size_t>(ncap));
        if (nv == nullptr)
            return ENOMEM;
        t->v = static_cast<kstinfo **>(nv);
        t->cap = ncap;
    }
    t->v[t->count++] = ks;
    return 0;
}

void kstable_free(kstable *t)
{
    for (int i = 0; i < t->count; i++)
        free_kstinfo(t->v[i]);
    free(t->v);
    t->v = nullptr;
    t->count = t->cap = 0;
}
