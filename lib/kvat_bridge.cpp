// The exported C interface: argument checks, the three trampolines between core and host,
// and copying records out.
#include "kelvra_at.h"

#include "core/kelvra_at_api.h"
#include "lib/kvat_crypto.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

struct kvat_handle {
    kelvra_at_object object;
    kvat_write_fn write;
    kvat_event_fn event;
    void *user;
};

namespace {

thread_local kvat_progress_fn g_progress_cb = nullptr;
thread_local void *g_progress_user = nullptr;

// The transmit frame sits at a fixed place inside the handle, so the handle is found from it.
kvat_handle *handle_of_frame(uint8_t *frame) {
    constexpr size_t offset = offsetof(kvat_handle, object) + offsetof(kelvra_at_object, tx_frame);
    return reinterpret_cast<kvat_handle *>(frame - offset);
}

bool _write_trampoline(uint8_t *frame, uint32_t /*user*/, uint32_t timeout_ms) {
    kvat_handle *handle = handle_of_frame(frame);
    if (handle->write == nullptr) return false;
    return handle->write(handle->user, frame, at_get_le32(frame + 4), timeout_ms) != 0;
}

void _event_trampoline(kelvra_at_object *object, int event) {
    if (object == nullptr) return;
    auto *handle = reinterpret_cast<kvat_handle *>(object);  // the object is the first member
    if (handle->event != nullptr) handle->event(handle->user, event);
}

void _progress_trampoline(const uint32_t *total_done) {
    if (total_done != nullptr && g_progress_cb != nullptr) {
        g_progress_cb(g_progress_user, total_done[0], total_done[1]);
    }
}

// Copies a record from the received frame on success.
int copy_out(const uint8_t *record, void *out, size_t size) {
    if (record == nullptr) return 0;
    std::memcpy(out, record, size);
    return 1;
}

}  // namespace

static_assert(offsetof(kvat_handle, object) == 0);

extern "C" {

uint32_t kvat_version(void) { return KVAT_VERSION; }

kvat_handle *kvat_create(int encrypt, kvat_write_fn write, kvat_event_fn event, void *user) {
    if (write == nullptr) return nullptr;
    auto *handle = static_cast<kvat_handle *>(std::calloc(1, sizeof(kvat_handle)));
    if (handle == nullptr) return nullptr;
    handle->write = write;
    handle->event = event;
    handle->user = user;
    if (!kelvra_at_init(&handle->object, encrypt != 0, _write_trampoline, _event_trampoline)) {
        std::free(handle);
        return nullptr;
    }
    return handle;
}

void kvat_destroy(kvat_handle *handle) { std::free(handle); }

int kvat_feed(kvat_handle *handle, const void *data, uint32_t length) {
    if (handle == nullptr || data == nullptr) return 0;
    return kelvra_at_datain(&handle->object, data, length) ? 1 : 0;
}

uint32_t kvat_last_error(const kvat_handle *handle) {
    if (handle == nullptr) return KVAT_ERR_NULL;
    return kelvra_at_last_error(&handle->object);
}

int kvat_set_encrypt_key_iv(kvat_handle *handle, const uint8_t *key, const uint8_t *iv) {
    if (handle == nullptr) return 0;
    kvat_crypto_set_key_iv(key, iv);
    return 1;
}

int kvat_get_writer_info(kvat_handle *handle, kvat_writer_info *out) {
    if (handle == nullptr || out == nullptr) return 0;
    return copy_out(kelvra_at_get_writerinfo(&handle->object), out, KVAT_WRITER_INFO_SIZE);
}

int kvat_get_writer_config(kvat_handle *handle, kvat_writer_config *out) {
    if (handle == nullptr || out == nullptr) return 0;
    return copy_out(kelvra_at_get_writerconfig(&handle->object), out, KVAT_WRITER_CONFIG_SIZE);
}

int kvat_set_writer_config(kvat_handle *handle, const kvat_writer_config *config) {
    if (handle == nullptr || config == nullptr) return 0;
    return kelvra_at_set_writerconfig(&handle->object, reinterpret_cast<const uint8_t *>(config));
}

int kvat_set_baudrate(kvat_handle *handle, uint32_t baudrate) {
    if (handle == nullptr) return 0;
    return kelvra_at_set_baudrate(&handle->object, baudrate);
}

int kvat_target_connect(kvat_handle *handle) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_connect(&handle->object);
}

int kvat_target_status(kvat_handle *handle) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_status(&handle->object);
}

int kvat_target_get_id(kvat_handle *handle, kvat_chip_id *out) {
    if (handle == nullptr || out == nullptr) return 0;
    return copy_out(kelvra_at_target_id(&handle->object), out, KVAT_CHIP_ID_SIZE);
}

int kvat_target_read(kvat_handle *handle, uint32_t address, uint32_t length,
                     kvat_memory_block *out) {
    if (handle == nullptr || out == nullptr || length == 0) return 0;
    return copy_out(kelvra_at_target_read(&handle->object, address, length), out,
                    KVAT_MEMORY_BLOCK_SIZE);
}

int kvat_target_erase(kvat_handle *handle, uint32_t timeout_ms) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_erase(&handle->object, timeout_ms);
}

int kvat_target_erase_sector(kvat_handle *handle, uint32_t address, uint32_t length,
                             uint32_t timeout_ms) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_erase_sector(&handle->object, address, length, timeout_ms);
}

int kvat_target_write_prepare(kvat_handle *handle, uint32_t total_size) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_write_prepare(&handle->object, total_size);
}

int kvat_target_write(kvat_handle *handle, uint32_t address, const void *data, uint32_t length) {
    if (handle == nullptr || data == nullptr || length == 0) return 0;
    return kelvra_at_target_write(&handle->object, address, data, length);
}

int kvat_target_read_ob(kvat_handle *handle, kvat_option_bytes *out) {
    if (handle == nullptr || out == nullptr) return 0;
    return copy_out(kelvra_at_target_read_ob(&handle->object), out, KVAT_OPTION_BYTES_SIZE);
}

int kvat_target_write_vendor_ob(kvat_handle *handle, uint32_t timeout_ms) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_write_vendor_ob(&handle->object, timeout_ms);
}

int kvat_target_write_user_ob(kvat_handle *handle, uint32_t timeout_ms) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_write_user_ob(&handle->object, timeout_ms);
}

int kvat_target_reset(kvat_handle *handle, uint32_t reset_type) {
    if (handle == nullptr) return 0;
    return kelvra_at_target_reset(&handle->object, reset_type);
}

int kvat_project_info(kvat_handle *handle, kvat_project_info_record *out) {
    if (handle == nullptr || out == nullptr) return 0;
    return copy_out(kelvra_at_project_info(&handle->object), out, KVAT_PROJECT_INFO_SIZE);
}

int kvat_project_disable(kvat_handle *handle) {
    if (handle == nullptr) return 0;
    return kelvra_at_project_disable(&handle->object);
}

int kvat_project_load(kvat_handle *handle, const char *name, const char *password,
                      const void *data, uint32_t size, kvat_progress_fn progress,
                      void *progress_user) {
    if (handle == nullptr || name == nullptr || password == nullptr || data == nullptr ||
        size == 0) {
        return 0;
    }
    // Thread-local, and restored afterwards, so concurrent loads on other threads and a load
    // started from inside a progress callback each see their own callback.
    const kvat_progress_fn saved_cb = g_progress_cb;
    void *const saved_user = g_progress_user;
    g_progress_cb = progress;
    g_progress_user = progress_user;
    const bool ok = kelvra_at_project_load(&handle->object, name, password, data, size,
                                           progress != nullptr ? _progress_trampoline : nullptr);
    g_progress_cb = saved_cb;
    g_progress_user = saved_user;
    return ok ? 1 : 0;
}

int kvat_project_switch(kvat_handle *handle, uint32_t firmware_number, const char *name,
                        const char *password) {
    if (handle == nullptr || name == nullptr || password == nullptr) return 0;
    return kelvra_at_project_switch(&handle->object, firmware_number, name, password);
}

int kvat_offline_start(kvat_handle *handle) {
    if (handle == nullptr) return 0;
    return kelvra_at_offline_start(&handle->object);
}

int kvat_offline_status(kvat_handle *handle, kvat_offline_state *out) {
    if (handle == nullptr || out == nullptr) return 0;
    kvat_offline_state state{};
    uint32_t progress[2] = {0, 0};
    int32_t polled = -1;
    int result = 0;
    if (kelvra_at_offline_status(&handle->object, &polled, progress)) {
        state.state = polled;
        if (polled == 1) {
            state.progress0 = progress[0];
            state.progress1 = progress[1];
        }
        result = 1;
    } else {
        const uint32_t error = kelvra_at_last_error(&handle->object);
        state.error = static_cast<int32_t>(error);
        const uint8_t *frame = kelvra_at_received_frame(&handle->object);
        if (error != KVAT_ERR_TIMEOUT && error != KVAT_ERR_PORT &&
            at_get_le32(frame + 8) == AT_STATUS_NACK) {
            state.state = 2;
            result = 1;
        } else {
            state.state = -1;
        }
    }
    std::memcpy(out, &state, sizeof state);
    return result;
}

int kvat_factory_run_sram_fw(kvat_handle *handle, uint32_t timeout_ms) {
    if (handle == nullptr) return 0;
    return kelvra_at_run_factory_sram_fw(&handle->object, timeout_ms);
}

int kvat_factory_run_flash_fw(kvat_handle *handle, uint32_t timeout_ms) {
    if (handle == nullptr) return 0;
    return kelvra_at_run_factory_flash_fw(&handle->object, timeout_ms);
}

int kvat_broadcast(kvat_handle *handle, const void *data, uint32_t length, uint32_t direction,
                   int keep_frame, int wait_answer, int32_t timeout_ms,
                   kvat_broadcast_record *out) {
    if (handle == nullptr || data == nullptr || length == 0) return 0;
    uint8_t answer[KVAT_BROADCAST_RECORD_SIZE] = {};
    const bool wait = wait_answer != 0;
    const bool ok = kelvra_at_broadcast(&handle->object, data, length, direction, keep_frame != 0,
                                        wait, answer, timeout_ms);
    if (ok && wait && out != nullptr) std::memcpy(out, answer, sizeof answer);
    return ok ? 1 : 0;
}

}  // extern "C"
