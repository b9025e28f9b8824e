/* Incremental SHA-256 of the card model (qm_sha256.c). */
#ifndef KYR_QM_SHA256_H
#define KYR_QM_SHA256_H

#include "qelmodel_os.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qm_sha256 {
	uint32_t h[8];
	uint64_t len;
	uint8_t buf[64];
	size_t fill;
} qm_sha256_t;

void qm_sha256_init(qm_sha256_t *c);
void qm_sha256_update(qm_sha256_t *c, const void *data, size_t len);
void qm_sha256_final(qm_sha256_t *c, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif /* KYR_QM_SHA256_H */
