/*
 * kelvra_at_records.h - wire records, status words and result codes of the AT protocol.
 *
 * Shared by the protocol core, the kelvra_at library's public header and the host programs.
 * Plain C99 (and C++): every record is a packed little-endian byte layout exactly as it
 * travels on the serial line, so a record can be copied to and from a frame unchanged.
 */
#ifndef KELVRA_AT_RECORDS_H
#define KELVRA_AT_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Frame status words (the code field of a response) ---------------------------------- */
#define AT_STATUS_ACK     0x7FFFFF9Bu /* request carried out, no data follows */
#define AT_STATUS_NACK    0x7FFFFF9Cu /* request refused, first payload word is the result code */
#define AT_STATUS_RUNNING 0x7FFFFF9Du /* offline programming still running (answer to 206 only) */

/* ---- Events passed to the event callback ----------------------------------------------- */
#define AT_EVENT_FRAME 1 /* a valid frame has just been accepted */
#define AT_EVENT_ERROR 2 /* receive error: bad magic, length over the limit, or CRC mismatch */

/* ---- Request and response codes ---------------------------------------------------------- */
enum {
    AT_CODE_GET_WRITER_INFO = 1,
    AT_CODE_WRITER_INFO = 2,
    AT_CODE_GET_WRITER_CFG = 3,
    AT_CODE_WRITER_CFG = 4,
    AT_CODE_SET_WRITER_CFG = 5,
    AT_CODE_SET_BAUDRATE = 6,
    AT_CODE_TARGET_CONNECT = 100,
    AT_CODE_TARGET_STATUS = 101,
    AT_CODE_TARGET_GET_ID = 102,
    AT_CODE_TARGET_ID = 103,
    AT_CODE_TARGET_READ = 104,
    AT_CODE_TARGET_MEMORY = 105,
    AT_CODE_TARGET_ERASE = 106,
    AT_CODE_TARGET_ERASE_SECTOR = 107,
    AT_CODE_TARGET_WRITE_PREPARE = 108,
    AT_CODE_TARGET_WRITE = 109,
    AT_CODE_TARGET_READ_OB = 110,
    AT_CODE_TARGET_OB = 111,
    AT_CODE_TARGET_WRITE_VENDOR_OB = 112,
    AT_CODE_TARGET_WRITE_USER_OB = 113,
    AT_CODE_TARGET_RESET = 114,
    AT_CODE_PROJECT_INFO = 200,
    AT_CODE_PROJECT_INFO_DATA = 201,
    AT_CODE_PROJECT_LOAD = 202,
    AT_CODE_PROJECT_DATA = 203,
    AT_CODE_PROJECT_DISABLE = 204,
    AT_CODE_OFFLINE_START = 205,
    AT_CODE_OFFLINE_STATUS = 206,
    AT_CODE_PROJECT_SWITCH = 207,
    AT_CODE_FACTORY_RUN_SRAM_FW = 300,
    AT_CODE_FACTORY_RUN_FLASH_FW = 301,
    AT_CODE_BROADCAST = 400
};

/* ---- Result codes (E_ATCmdError) --------------------------------------------------------- */
/* One list, expanded into the enumeration below and into the host's message table, so that
 * both always name the same set of codes. X(name, value). */
#define KVAT_RESULT_CODE_LIST(X)                \
    X(KVAT_ERR_NONE, 0)                         \
    X(KVAT_ERR_CRC, 1)                          \
    X(KVAT_ERR_PRODUCT_TYPE, 2)                 \
    X(KVAT_ERR_BUSY, 3)                         \
    X(KVAT_ERR_IN_USE, 4)                       \
    X(KVAT_ERR_PRIVATE_HD, 5)                   \
    X(KVAT_ERR_CONFIG, 6)                       \
    X(KVAT_ERR_PRIVATE_ALG, 7)                  \
    X(KVAT_ERR_TARGET_OB_CONFIG, 8)             \
    X(KVAT_ERR_TARGET_NOT_CONNECTED, 9)         \
    X(KVAT_ERR_TARGET_ERASE, 10)                \
    X(KVAT_ERR_TARGET_WRITE, 11)                \
    X(KVAT_ERR_TARGET_READ, 12)                 \
    X(KVAT_ERR_TIMEOUT, 13)                     \
    X(KVAT_ERR_EXTFLASH_INIT, 14)               \
    X(KVAT_ERR_EXTFLASH_ERASE, 15)              \
    X(KVAT_ERR_EXTFLASH_WRITE, 16)              \
    X(KVAT_ERR_EXTFLASH_VERIFY, 17)             \
    X(KVAT_ERR_EXTFLASH_READ, 18)               \
    X(KVAT_ERR_PACKAGE_SIZE, 19)                \
    X(KVAT_ERR_TARGET_CHIP_TYPE, 20)            \
    X(KVAT_ERR_TARGET_UID, 21)                  \
    X(KVAT_ERR_WRITER_UPDATE, 22)               \
    X(KVAT_ERR_TARGET_PROTECTED, 23)            \
    X(KVAT_ERR_TARGET_WRITE_FLASH, 24)          \
    X(KVAT_ERR_TARGET_WRITE_OB, 25)             \
    X(KVAT_ERR_PROJECT_VERSION, 32)             \
    X(KVAT_ERR_PROJECT_OEM, 33)                 \
    X(KVAT_ERR_PROJECT_MAGIC, 34)               \
    X(KVAT_ERR_PROJECT_CORRUPT, 35)             \
    X(KVAT_ERR_PROJECT_DISABLED, 36)            \
    X(KVAT_ERR_DATA_SIZE, 37)                   \
    X(KVAT_ERR_PORT, 38)                        \
    X(KVAT_ERR_PACKAGE, 39)                     \
    X(KVAT_ERR_ONLINE_CONNECTED, 40)            \
    X(KVAT_ERR_PORT_SEND, 41)                   \
    X(KVAT_ERR_PORT_TIMEOUT, 42)                \
    X(KVAT_ERR_UNSUPPORTED, 43)                 \
    X(KVAT_ERR_NULL, 44)                        \
    X(KVAT_ERR_FLASH_ALGORITHM, 45)             \
    X(KVAT_ERR_PASSWORD, 46)                    \
    X(KVAT_ERR_POWER_CYCLE, 47)                 \
    X(KVAT_ERR_VOLTAGE, 49)                     \
    X(KVAT_ERR_DEBUGGER_CONNECTED, 50)          \
    X(KVAT_ERR_WIRELESS_CONNECTING, 51)         \
    X(KVAT_ERR_PRIVATE_1, 52)                   \
    X(KVAT_ERR_PRIVATE_2, 53)                   \
    X(KVAT_ERR_PRIVATE_3, 54)                   \
    X(KVAT_ERR_PRIVATE_4, 55)                   \
    X(KVAT_ERR_PRIVATE_5, 56)                   \
    X(KVAT_ERR_PROJECT_TOO_OLD, 59)             \
    X(KVAT_ERR_PRIVATE_6, 60)                   \
    X(KVAT_ERR_TARGET_FT, 61)                   \
    X(KVAT_ERR_TARGET_PASSWORD, 62)             \
    X(KVAT_ERR_TARGET_SPI_FLASH, 63)            \
    X(KVAT_ERR_TARGET_ABNORMAL_ACCESS, 64)      \
    X(KVAT_ERR_TARGET_WRITE_KPROM, 65)          \
    X(KVAT_ERR_TARGET_WRITE_XOM, 66)            \
    X(KVAT_ERR_TARGET_WRITE_SECURE, 67)         \
    X(KVAT_ERR_TARGET_WRITE_MTP, 68)            \
    X(KVAT_ERR_FUS_NOT_RUNNING, 69)             \
    X(KVAT_ERR_STACK_NOT_RUNNING, 70)           \
    X(KVAT_ERR_FUS_UPGRADE, 71)                 \
    X(KVAT_ERR_STACK_UPGRADE, 72)               \
    X(KVAT_ERR_FUS_IMAGE_NOT_FOUND, 73)         \
    X(KVAT_ERR_FUS_IMAGE_CORRUPT, 74)           \
    X(KVAT_ERR_FUS_IMAGE_NOT_AUTHENTIC, 75)     \
    X(KVAT_ERR_FUS_NO_SPACE, 76)                \
    X(KVAT_ERR_FUS_USER_ABORT, 77)              \
    X(KVAT_ERR_FUS_ERASE, 78)                   \
    X(KVAT_ERR_FUS_WRITE, 79)                   \
    X(KVAT_ERR_FUS_AUTH_TAG, 80)                \
    X(KVAT_ERR_FUS_CUSTOM_AUTH_TAG, 81)         \
    X(KVAT_ERR_FUS_KEY_LOCKED, 82)              \
    X(KVAT_ERR_FUS_UFB_CORRUPT, 83)             \
    X(KVAT_ERR_FUS_OTHER, 84)                   \
    X(KVAT_ERR_STACK_TYPE, 85)                  \
    X(KVAT_ERR_PRIVATE_SOF, 86)                 \
    X(KVAT_ERR_VENDOR_SIGNATURE, 87)            \
    X(KVAT_ERR_NO_SIGNATURE, 88)                \
    X(KVAT_ERR_FACTORY_DISABLED, 89)            \
    X(KVAT_ERR_FACTORY_NO_SRAM_FW, 90)          \
    X(KVAT_ERR_FACTORY_NO_FLASH_FW, 91)         \
    X(KVAT_ERR_WRITE_SRAM, 92)                  \
    X(KVAT_ERR_AT_BAUDRATE, 93)                 \
    X(KVAT_ERR_BROADCAST_DIRECTION, 94)         \
    X(KVAT_ERR_NEED_KEEP_FRAME, 95)             \
    X(KVAT_ERR_AT_UART_DISABLED, 96)            \
    X(KVAT_ERR_FACTORY_TEST, 97)                \
    X(KVAT_ERR_INIT, 98)                        \
    X(KVAT_ERR_FIRMWARE_QUANTITY, 99)

#define KVAT_RESULT_CODE_ENUMERATOR_(name, value) name = value,
typedef enum E_ATCmdError { KVAT_RESULT_CODE_LIST(KVAT_RESULT_CODE_ENUMERATOR_) } E_ATCmdError;
#undef KVAT_RESULT_CODE_ENUMERATOR_

/* ---- Records ----------------------------------------------------------------------------- */
#define KVAT_WRITER_INFO_SIZE      64
#define KVAT_WRITER_CONFIG_SIZE    70
#define KVAT_CHIP_ID_SIZE          17
#define KVAT_MEMORY_BLOCK_SIZE    264
#define KVAT_OPTION_BYTES_SIZE   1028
#define KVAT_PROJECT_INFO_SIZE      9
#define KVAT_OFFLINE_STATE_SIZE    16
#define KVAT_BROADCAST_RECORD_SIZE 265

#define KVAT_MAX_CHUNK 256 /* data bytes of one read, write, project-data or broadcast frame */

#if defined(_MSC_VER)
#define KVAT_PACKED_
#pragma pack(push, 1)
#else
#define KVAT_PACKED_ __attribute__((packed))
#endif

/* Writer identity (payload of response 2). Texts end with a zero byte when shorter than the
 * field; the serial number may fill all 32 bytes without one. */
typedef struct KVAT_PACKED_ kvat_writer_info {
    char type[8];
    char serial_number[32];
    char hardware_version[8];
    char bootloader_version[8];
    char interface_version[8];
} kvat_writer_info;

/* Writer configuration (payload of response 4 and request 5). */
typedef struct KVAT_PACKED_ kvat_writer_config {
    char vendor[16];
    char series[16];
    char model[16];
    uint8_t erase;
    uint8_t vext;
    uint8_t clock;
    uint8_t buzzer;
    uint8_t option_byte_type;
    uint8_t limit_enable;
    uint32_t limit_number;
    uint8_t auto_start;
    uint16_t in_debounce_ms;
    uint16_t out_debounce_ms;
    uint8_t disable_power_after_programming;
    uint8_t run_target_after_programming;
    uint16_t power_on_debounce_ms;
    uint16_t power_off_debounce_ms;
    uint8_t reset_pin_ctrl;
} kvat_writer_config;

/* Target chip ID (payload of response 103): the first `count` bytes of `id` are valid. */
typedef struct KVAT_PACKED_ kvat_chip_id {
    uint8_t count;
    uint8_t id[16];
} kvat_chip_id;

/* One chunk of target memory (payload of response 105). */
typedef struct KVAT_PACKED_ kvat_memory_block {
    uint32_t address;
    uint32_t length;
    uint8_t data[KVAT_MAX_CHUNK];
} kvat_memory_block;

/* Option bytes (payload of response 111): the first `count` bytes are valid. */
typedef struct KVAT_PACKED_ kvat_option_bytes {
    uint32_t count;
    uint8_t data[1024];
} kvat_option_bytes;

/* Offline project information (payload of response 201). */
typedef struct KVAT_PACKED_ kvat_project_info_record {
    uint8_t enabled;
    uint32_t image_size;
    uint32_t image_crc;
} kvat_project_info_record;

/* Offline programming status, filled by kvat_offline_status. */
typedef struct KVAT_PACKED_ kvat_offline_state {
    int32_t state;      /* 0 finished, 1 running, 2 failed, -1 unrecognised answer or none */
    uint32_t progress0; /* first progress word of a RUNNING answer, else 0 */
    uint32_t progress1; /* second progress word of a RUNNING answer, else 0 */
    int32_t error;      /* last error when the status transaction failed, else 0 */
} kvat_offline_state;

/* Broadcast record: request 400 carries its first 9 + length bytes, response 400 all 265. */
typedef struct KVAT_PACKED_ kvat_broadcast_record {
    uint8_t keep_frame;
    uint32_t direction; /* 0 USB to UART, 1 UART to USB */
    uint32_t length;
    uint8_t data[KVAT_MAX_CHUNK];
} kvat_broadcast_record;

#if defined(_MSC_VER)
#pragma pack(pop)
#endif
#undef KVAT_PACKED_

#define KVAT_STATIC_ASSERT_(cond, name) typedef char kvat_static_assert_##name[(cond) ? 1 : -1]
KVAT_STATIC_ASSERT_(sizeof(kvat_writer_info) == KVAT_WRITER_INFO_SIZE, writer_info);
KVAT_STATIC_ASSERT_(sizeof(kvat_writer_config) == KVAT_WRITER_CONFIG_SIZE, writer_config);
KVAT_STATIC_ASSERT_(sizeof(kvat_chip_id) == KVAT_CHIP_ID_SIZE, chip_id);
KVAT_STATIC_ASSERT_(sizeof(kvat_memory_block) == KVAT_MEMORY_BLOCK_SIZE, memory_block);
KVAT_STATIC_ASSERT_(sizeof(kvat_option_bytes) == KVAT_OPTION_BYTES_SIZE, option_bytes);
KVAT_STATIC_ASSERT_(sizeof(kvat_project_info_record) == KVAT_PROJECT_INFO_SIZE, project_info);
KVAT_STATIC_ASSERT_(sizeof(kvat_offline_state) == KVAT_OFFLINE_STATE_SIZE, offline_state);
KVAT_STATIC_ASSERT_(sizeof(kvat_broadcast_record) == KVAT_BROADCAST_RECORD_SIZE, broadcast_record);
#undef KVAT_STATIC_ASSERT_

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_AT_RECORDS_H */
