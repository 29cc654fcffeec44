/*
 * kelvra_at.h - drive a Kelvra writer over the AT protocol.
 *
 * OVERVIEW
 *   The library speaks the AT protocol; the host owns the serial line. For every command the
 *   library builds one request frame and hands it to the host's write callback; the host
 *   writes it to the line, reads the answer and gives the bytes it reads to kvat_feed(). The
 *   command function waits until a valid answer frame has been fed or its time-out has
 *   passed (kvat_feed wakes it the moment the answer is accepted; it also looks every
 *   millisecond), then copies the answer record out and returns 1, or
 *   returns 0 with the reason in kvat_last_error(). No command is ever retried.
 *
 * OWNERSHIP
 *   kvat_create() allocates one handle; it belongs to the host until kvat_destroy(). The
 *   library allocates nothing else and keeps no list of handles. Records are fixed-size
 *   packed byte layouts (kelvra_at_records.h) in caller memory; they are written only when a
 *   call succeeds and are otherwise left untouched. Pointers passed in are only read during
 *   the call.
 *
 * RESULTS
 *   Every function except kvat_version, kvat_create, kvat_destroy and kvat_last_error returns
 *   1 on success and 0 on failure. A null handle, or a null pointer or zero length that a
 *   function lists as required, is refused with 0 before anything is sent, and the last error
 *   is then left as it was. Otherwise the reason for a failure is in kvat_last_error():
 *     KVAT_ERR_TIMEOUT (13)  no valid answer frame within the time-out
 *     KVAT_ERR_PORT    (38)  the write callback returned 0 (nothing is waited for)
 *     KVAT_ERR_PACKAGE (39)  set by a fed frame with a bad magic, length or CRC; never what a
 *                            command fails with: it goes on waiting, and a valid frame within
 *                            the time-out still completes it, otherwise 13 replaces it
 *     the writer's own code  the writer refused the request (a NACK answer), e.g.
 *                            KVAT_ERR_TARGET_NOT_CONNECTED (9)
 *     KVAT_ERR_NONE    (0)   the writer acknowledged where a data answer was expected
 *     unchanged              the writer answered with another unexpected code
 *
 * THREADING
 *   Per handle, one thread runs commands (one at a time; it blocks inside the call) and one
 *   thread at a time feeds received bytes with kvat_feed(); the feeding thread may also be the
 *   command thread itself, from inside the write callback. A small lock per handle makes a
 *   command's reset of the receive buffer and a feed exclude each other, so a command never
 *   accepts bytes that were fed before its request went out. The event callback runs on the
 *   feeding thread (outside that lock), the progress callback on the command thread. Handles
 *   share nothing except the process-wide AES key and IV (kvat_set_encrypt_key_iv).
 *   A host must not:
 *   - run commands on one handle from two threads at once, or start a command on a handle
 *     from inside one of that handle's callbacks;
 *   - feed one handle from two threads at once (their bytes would interleave);
 *   - hold back bytes it read before a request was written and feed them after the write
 *     callback returned: the library cannot tell them from the answer, so feed promptly, or
 *     drop what was read before the request;
 *   - destroy a handle while a command or a feed on it runs, or from inside its callbacks;
 *   - change the key or IV while an encrypted handle is inside a command.
 *
 * ENCRYPTION
 *   A handle created with encryption on encrypts the body of every request and decrypts the
 *   body of every answer with AES-128-CBC; magic, length and CRC stay plain, the CRC covers
 *   the plain body. Until a key is set, the built-in default key and IV are used.
 *
 * EXAMPLE
 *   static int write_line(void *fd, const uint8_t *frame, uint32_t len, uint32_t timeout_ms)
 *   { return write(*(int *)fd, frame, len) == (ssize_t)len; }
 *
 *   kvat_handle *h = kvat_create(0, write_line, NULL, &fd);
 *   // a reader thread: n = read(fd, buf, sizeof buf); kvat_feed(h, buf, n);
 *   kvat_writer_info info;
 *   if (!kvat_get_writer_info(h, &info)) printf("error %u\n", kvat_last_error(h));
 *   kvat_destroy(h);
 */
#ifndef KELVRA_AT_H
#define KELVRA_AT_H

#include <stdint.h>

#include "kelvra_at_records.h"

#if defined(_WIN32)
#if defined(KVAT_BUILDING_LIBRARY)
#define KVAT_API __declspec(dllexport)
#else
#define KVAT_API __declspec(dllimport)
#endif
#else
#define KVAT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define KVAT_VERSION 0x10000u /* 1.0.0: major << 16 | minor << 8 | patch */

/* Opaque link to one writer. */
typedef struct kvat_handle kvat_handle;

/* Writes one whole request frame (`length` bytes, the frame's own length field) to the line.
 * `timeout_ms` is how long the library will then wait for the answer; use it as the write
 * time-out if you like. Return non-zero when every byte was handed to the line, 0 on failure.
 * Called on the command thread, after the receive buffer was emptied, so the callback may
 * read the answer and call kvat_feed() itself before returning. */
typedef int (*kvat_write_fn)(void *user, const uint8_t *frame, uint32_t length,
                             uint32_t timeout_ms);

/* AT_EVENT_FRAME (1) when a valid frame was accepted, AT_EVENT_ERROR (2) on a receive error.
 * Called from inside kvat_feed(), on the feeding thread. */
typedef void (*kvat_event_fn)(void *user, int event);

/* Project load progress: `done` of `total` image bytes acknowledged. */
typedef void (*kvat_progress_fn)(void *user, uint32_t total, uint32_t done);

/* ===================================== Handle ===================================== */

/* The library version, KVAT_VERSION. Does not block. */
KVAT_API uint32_t kvat_version(void);

/* New handle, or NULL when `write` is NULL or memory is short. Any non-zero `encrypt` makes
 * the handle send and expect encrypted frames for its whole life. `event` may be NULL (events
 * are then dropped; commands still complete). `user` is passed back unchanged as the first
 * argument of every callback. Does not block. */
KVAT_API kvat_handle *kvat_create(int encrypt, kvat_write_fn write, kvat_event_fn event,
                                  void *user);

/* Frees the handle; NULL is ignored. Sends nothing and calls no callback. */
KVAT_API void kvat_destroy(kvat_handle *handle);

/* Gives the library `length` bytes read from the line, then analyses the receive buffer once.
 * Returns 1 when a valid frame is (still) at the start of the buffer, else 0; 0 without doing
 * anything for a NULL handle or NULL data. Length 0 appends nothing but analyses again. The
 * event callback may be called from inside. Does not block. Bytes may come in any slices:
 * whole frames, byte by byte, or anything between. The receiver does not search for the
 * magic: bytes in front of a frame within one call make that call a receive error. */
KVAT_API int kvat_feed(kvat_handle *handle, const void *data, uint32_t length);

/* The reason for the last failure: read it when a call returned 0. A success does not always
 * reset it (an ACK answer sets 0; a data answer leaves the previous value), and a receive
 * error sets 39 even while the command goes on waiting. KVAT_ERR_NULL (44) for a NULL handle.
 * Does not block. */
KVAT_API uint32_t kvat_last_error(const kvat_handle *handle);

/* Sets the process-wide AES-128 key and CBC IV (16 bytes each) used by every encrypted
 * handle. Both NULL: go back to the built-in defaults. Exactly one NULL: nothing changes.
 * Returns 1, or 0 for a NULL handle (the handle is only tested for NULL). Does not block. */
KVAT_API int kvat_set_encrypt_key_iv(kvat_handle *handle, const uint8_t *key, const uint8_t *iv);

/* ================================= Writer commands =================================
 * All block until the answer or the time-out. */

/* Writer identity into `out` (required). Request 1, answer 2, 5000 ms. */
KVAT_API int kvat_get_writer_info(kvat_handle *handle, kvat_writer_info *out);

/* Writer configuration into `out` (required). Request 3, answer 4, 5000 ms. */
KVAT_API int kvat_get_writer_config(kvat_handle *handle, kvat_writer_config *out);

/* Replaces the writer configuration with the 70 bytes at `config` (required; only read).
 * Request 5, ACK, 5000 ms. */
KVAT_API int kvat_set_writer_config(kvat_handle *handle, const kvat_writer_config *config);

/* Changes the writer's AT interface to `baudrate` bits per second. Request 6, ACK, 5000 ms.
 * After success, switch your serial line to the same rate before the next command. */
KVAT_API int kvat_set_baudrate(kvat_handle *handle, uint32_t baudrate);

/* ================================= Target commands =================================
 * All block until the answer or the time-out. Each moves at most one chunk of 256 bytes;
 * split larger reads and writes yourself. */

/* Connects the target. Request 100, ACK, 5000 ms. */
KVAT_API int kvat_target_connect(kvat_handle *handle);

/* Succeeds when the target is connected. Request 101, ACK, 5000 ms. */
KVAT_API int kvat_target_status(kvat_handle *handle);

/* Chip ID into `out` (required). Request 102, answer 103, 5000 ms. */
KVAT_API int kvat_target_get_id(kvat_handle *handle, kvat_chip_id *out);

/* Reads min(length, 256) bytes at `address` into `out` (required); out->length says how many
 * are valid. A length of 0 is refused. Request 104, answer 105, 5000 ms. */
KVAT_API int kvat_target_read(kvat_handle *handle, uint32_t address, uint32_t length,
                              kvat_memory_block *out);

/* Erases the whole chip, waiting up to `timeout_ms` (size it for the whole erase; 0 fails with
 * 13 at once). Request 106, ACK. */
KVAT_API int kvat_target_erase(kvat_handle *handle, uint32_t timeout_ms);

/* Erases the sectors covering `length` bytes at `address`, waiting up to `timeout_ms`.
 * Request 107, ACK. */
KVAT_API int kvat_target_erase_sector(kvat_handle *handle, uint32_t address, uint32_t length,
                                      uint32_t timeout_ms);

/* Announces that the following writes carry `total_size` bytes. Request 108, ACK, 5000 ms. */
KVAT_API int kvat_target_write_prepare(kvat_handle *handle, uint32_t total_size);

/* Writes the first min(length, 256) bytes of `data` (required, length > 0) at `address`;
 * bytes after the first 256 are not sent. Request 109, ACK, 20000 ms. */
KVAT_API int kvat_target_write(kvat_handle *handle, uint32_t address, const void *data,
                               uint32_t length);

/* Option bytes into `out` (required). Request 110, answer 111, 5000 ms. */
KVAT_API int kvat_target_read_ob(kvat_handle *handle, kvat_option_bytes *out);

/* Writes the chip's default (vendor) option bytes, waiting up to `timeout_ms`. 112, ACK. */
KVAT_API int kvat_target_write_vendor_ob(kvat_handle *handle, uint32_t timeout_ms);

/* Writes the configured (user) option bytes, waiting up to `timeout_ms`. 113, ACK. */
KVAT_API int kvat_target_write_user_ob(kvat_handle *handle, uint32_t timeout_ms);

/* Resets the target. `reset_type`: 0 nRST low, 1 nRST high impedance, 2 hardware reset,
 * 3 hardware and core reset (the usual one), 4 core reset, 5 reset to the vector entry,
 * 6 power-on reset, 7 power-on reset then release the port. Request 114, ACK, 5000 ms. */
KVAT_API int kvat_target_reset(kvat_handle *handle, uint32_t reset_type);

/* ====================== Project, offline, factory and broadcast ======================
 * All block until the answer or the time-out. */

/* Offline project information into `out` (required). Request 200, answer 201, 5000 ms. */
KVAT_API int kvat_project_info(kvat_handle *handle, kvat_project_info_record *out);

/* Disables the offline project. Request 204, ACK, 5000 ms. */
KVAT_API int kvat_project_disable(kvat_handle *handle);

/* Loads an offline project image: a header (request 202: `password` of at most 16
 * characters, `size`, the CRC-32 of the image and at most 254 characters of `name`), then the
 * image in 256-byte frames (request 203), each acknowledged within 5000 ms. `name`,
 * `password` and `data` are required, `size` > 0; `progress` (with `progress_user`) is
 * optional and is called on this thread after every acknowledged frame. A longer password
 * fails with KVAT_ERR_PASSWORD (46) before anything is sent. The first frame that is not
 * acknowledged ends the load with its error; the writer then holds an incomplete image. */
KVAT_API int kvat_project_load(kvat_handle *handle, const char *name, const char *password,
                               const void *data, uint32_t size, kvat_progress_fn progress,
                               void *progress_user);

/* Switches to stored project `firmware_number`. `name` and `password` are required; a
 * password over 16 characters fails with 46 before anything is sent. Request 207, ACK,
 * 15000 ms. */
KVAT_API int kvat_project_switch(kvat_handle *handle, uint32_t firmware_number, const char *name,
                                 const char *password);

/* Starts offline programming. Request 205, ACK, 5000 ms. */
KVAT_API int kvat_offline_start(kvat_handle *handle);

/* Polls offline programming (request 206, 5000 ms) and always fills `out` (required):
 *   state 0 finished, 1 running (progress0/progress1 from the writer), 2 failed (the writer
 *   refused; error holds its code), -1 no usable answer.
 * Returns 1 for states 0, 1 and 2 and for an unrecognised answer; 0 with state -1 and error
 * set when the poll itself failed (time-out 13, or write failure 38). A receive error alone
 * never ends the poll: it goes on waiting for a valid answer until the time-out. Poll until
 * the state is no longer 1. */
KVAT_API int kvat_offline_status(kvat_handle *handle, kvat_offline_state *out);

/* Runs the writer's factory-test firmware from SRAM (300) or flash (301), waiting up to
 * `timeout_ms` for the ACK. */
KVAT_API int kvat_factory_run_sram_fw(kvat_handle *handle, uint32_t timeout_ms);
KVAT_API int kvat_factory_run_flash_fw(kvat_handle *handle, uint32_t timeout_ms);

/* Passes the first min(length, 256) bytes of `data` (required, length > 0) through the writer
 * (request 400). `direction`: 0 USB to UART, 1 UART to USB. `keep_frame` non-zero forwards the
 * whole AT frame. With `wait_answer` non-zero the call waits max(timeout_ms, 100) ms for a
 * 400 answer, fails without one, and copies the 265-byte answer to `out` when `out` is not
 * NULL. Without it the call waits 100 ms and succeeds when nothing or a 400 answer comes. */
KVAT_API int kvat_broadcast(kvat_handle *handle, const void *data, uint32_t length,
                            uint32_t direction, int keep_frame, int wait_answer,
                            int32_t timeout_ms, kvat_broadcast_record *out);

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_AT_H */
