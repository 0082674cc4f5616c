/* libvelmoevents: hands event records to the velmoeventsd daemon. See velmoevents(3). */
#ifndef VELMOEVENTS_H
#define VELMOEVENTS_H

/* A C header: C has neither <cstddef> nor `using`, hence the NOLINTs below. */
#include <stddef.h> /* NOLINT(modernize-deprecated-headers) */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VELMOEVENTS_BUILDING)
#define VELMOEVENTS_EXPORT __attribute__((visibility("default")))
#else
#define VELMOEVENTS_EXPORT
#endif

/* One producer's connection to the daemon. A handle is used by one thread at a time. */
typedef struct velmoevents velmoevents; /* NOLINT(modernize-use-using) */

/* Connects to the endpoint (NULL: the endpoint of /etc/velmoeventsd/config.yaml, or the default
   one). NULL with errno set on failure (EINVAL: an endpoint ZeroMQ does not accept; ENOMEM). */
VELMOEVENTS_EXPORT velmoevents* velmoevents_open(const char* endpoint);

/* Queues one record (any bytes). 0, or -1 with errno set (EAGAIN: not taken within the send
   timeout; EMSGSIZE: larger than the limit the library knows of; EINVAL: no handle). */
VELMOEVENTS_EXPORT int velmoevents_send(velmoevents* producer, const void* record, size_t size);

/* Waits up to timeout_ms until the daemon has read every record sent, then closes and frees the
   handle (always freed). 0, or -1 with errno ETIMEDOUT when some may not have been read. */
VELMOEVENTS_EXPORT int velmoevents_close(velmoevents* producer, int timeout_ms);

/* How long velmoevents_send waits for the daemon to take a record (default 5000 ms; -1: for
   ever). 0, or -1 with errno EINVAL. */
VELMOEVENTS_EXPORT int velmoevents_set_send_timeout(velmoevents* producer, int timeout_ms);

/* The largest record velmoevents_send passes on (default: queue.max_record_size of the
   configuration read by velmoevents_open, or 1048576). 0, or -1 with errno EINVAL. */
VELMOEVENTS_EXPORT int velmoevents_set_max_record_size(velmoevents* producer, size_t size);

#ifdef __cplusplus
}
#endif

#endif
