/* A C99 host built against the installed header: it answers every request with an ACK from
 * inside its write callback and checks one command and the record sizes. */
#include <kelvra_at.h>

#include <stdio.h>
#include <string.h>

static uint32_t crc32_bitwise(const uint8_t *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    size_t i;
    int k;
    for (i = 0; i < n; ++i) {
        c ^= p[i];
        for (k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

static void put32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static kvat_handle *g_handle;
static int g_events;

static int write_frame(void *user, const uint8_t *frame, uint32_t length, uint32_t timeout_ms) {
    uint8_t ack[20];
    (void)user;
    (void)frame;
    (void)timeout_ms;
    if (length != 24) return 0;
    memcpy(ack, "KVAT", 4);
    put32(ack + 4, 20);
    put32(ack + 8, AT_STATUS_ACK);
    put32(ack + 12, 0);
    put32(ack + 16, crc32_bitwise(ack, 16));
    return kvat_feed(g_handle, ack, sizeof ack) == 1;
}

static void on_event(void *user, int event) {
    (void)user;
    if (event == AT_EVENT_FRAME) ++g_events;
}

int main(void) {
    int ok = 1;
    if (kvat_version() != KVAT_VERSION || kvat_last_error(NULL) != KVAT_ERR_NULL) ok = 0;
    if (sizeof(kvat_writer_config) != KVAT_WRITER_CONFIG_SIZE) ok = 0;
    if (sizeof(kvat_broadcast_record) != KVAT_BROADCAST_RECORD_SIZE) ok = 0;
    g_handle = kvat_create(0, write_frame, on_event, NULL);
    if (g_handle == NULL) return 1;
    if (kvat_target_connect(g_handle) != 1 || kvat_last_error(g_handle) != 0) ok = 0;
    if (g_events != 1) ok = 0;
    kvat_destroy(g_handle);
    puts(ok ? "c99 host: ok" : "c99 host: FAILED");
    return ok ? 0 : 1;
}
