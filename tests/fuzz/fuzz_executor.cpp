// The executor against a hostile writer: every command, answered by frames the fuzzer chooses
// (each with a valid CRC, fed from inside the write). Asserts that nothing crashes, that no
// result record passed on holds a byte the frames did not carry, and that a reading command
// never succeeds on an answer of the wrong kind.
//
// Input: byte 0 picks the command, byte 1 its parameters; then answers, each a code selector
// byte, a flags byte (bit 0: the length word lies, taken from the next two bytes), a 16-bit
// payload length and the payload. When the answers run out, the next write fails.
#include "core/crc32.h"
#include "host/model/at_command.h"
#include "host/run/port_manager.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using kelvra::S_CmdParam;
using kelvra::run::ATResult;
using kelvra::run::OfflineStatus;

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "executor fuzz: %s\n", what);
        std::abort();
    }
}

struct Fed {
    std::uint32_t code;
    std::uint32_t carried;  // payload bytes that really lie within the frame and its length word
};

class Watcher final : public kelvra::run::ISerialPortApp {
public:
    std::vector<Fed> fed;  // answers of the current command, in order
    std::uint32_t read_address = 0;

    const Fed &last() const {
        check(!fed.empty(), "a record without an answer");
        return fed.back();
    }
    void OnScanProgress(const std::atomic<unsigned> *, const std::atomic<unsigned> *, const std::atomic<bool> *) override {}
    void OnAllPortsClosed() override {}
    void OnPortRemoved(std::string &) override {}
    void OnDataReceived(std::string &, const char *, int *) override {}
    void OnStepDone(std::string &, unsigned *, S_CmdParam *, ATResult *) override {}
    void OnPortDone(std::string &, ATResult *) override {}
    void OnLoadProgress(const std::uint32_t *) override {}
    void OnWriterInfo(std::string &, kvat_writer_info *) override {
        check(last().carried >= KVAT_WRITER_INFO_SIZE, "writer information beyond its frame");
    }
    void OnWriterConfig(std::string &, kvat_writer_config *) override {
        check(last().carried >= KVAT_WRITER_CONFIG_SIZE, "configuration beyond its frame");
    }
    void OnChipId(std::string &, kvat_chip_id *id) override {
        check(id->count <= 16 && last().carried >= 1u + id->count, "chip ID beyond its frame");
    }
    void OnMemoryData(std::string &, kvat_memory_block *block) override {
        const auto *raw = reinterpret_cast<const std::uint8_t *>(block);
        const std::uint32_t length = at_get_le32(raw + 4);
        check(length <= KVAT_MAX_CHUNK && last().carried >= 8 + length, "memory block beyond its frame");
        check(at_get_le32(raw) == read_address, "memory block of another address");
        read_address += length;
    }
    void OnOptionBytes(std::string &, kvat_option_bytes *bytes) override {
        const std::uint32_t count = at_get_le32(reinterpret_cast<const std::uint8_t *>(bytes));
        check(count <= 1024 && last().carried >= 4 + count, "option bytes beyond their frame");
    }
    void OnBroadcastResponse(std::string &, kvat_broadcast_record *record) override {
        const std::uint32_t length = at_get_le32(reinterpret_cast<const std::uint8_t *>(record) + 5);
        check(length <= KVAT_MAX_CHUNK, "broadcast record longer than a chunk");
        if (length != 0) check(last().carried >= 9 + length, "broadcast record beyond its frame");
    }
    void OnProjectInfo(std::string &, kvat_project_info_record *) override {
        check(last().carried >= KVAT_PROJECT_INFO_SIZE, "project information beyond its frame");
    }
    void OnOfflineStatus(std::string &, OfflineStatus *status) override {
        check(status->state == 0 || status->state == 1, "an offline status of another kind was reported");
    }
    void OnScriptError(std::string &, int *) override {}
};

struct Input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos;
};

struct Harness {
    Watcher watcher;
    kelvra::run::SerialPortApp app{&watcher};
    Input input{};
    std::string image, project, config;

    Harness() {
        const auto dir = std::filesystem::temp_directory_path() / ("kvat_fuzz_executor_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        image = (dir / "image.bin").string();
        project = (dir / "job.pkg").string();
        config = (dir / "cfg.json").string();
        std::ofstream(image, std::ios::binary) << std::string(600, '\x5A');
        std::ofstream(project, std::ios::binary) << std::string(300, '\x33');
        std::ofstream(config) << R"({"base config":{"erase":1,"vext":1,"clock":1,"buzzer":1,"option byte type":3},)"
                                 R"("offline config":{"limit enable":0,"limit number":0,"auto":0,"in debounce":100,"out debounce":100},)"
                                 R"("output config":{"disable power after programming":0,"run target after programming":1,)"
                                 R"("power on debounce":250,"power off debounce":250,"reset pin ctrl":2}})";
        app.SetConsole([](const std::string &) {});
        app.SetWriteHook([this](std::int32_t slot, const std::uint8_t *, std::uint32_t) { return Answer(slot); });
    }

    // Feeds the next answer of the input as one frame; false when none is left.
    bool Answer(std::int32_t slot) {
        Input &in = input;
        if (in.size - in.pos < 4) return false;
        static const std::uint32_t kCodes[] = {AT_STATUS_ACK, AT_STATUS_NACK, AT_STATUS_RUNNING, AT_CODE_WRITER_INFO,
                                               AT_CODE_WRITER_CFG, AT_CODE_TARGET_ID, AT_CODE_TARGET_MEMORY,
                                               AT_CODE_TARGET_OB, AT_CODE_PROJECT_INFO_DATA, AT_CODE_BROADCAST};
        const std::uint8_t selector = in.data[in.pos];
        const std::uint8_t flags = in.data[in.pos + 1];
        std::uint32_t length = in.data[in.pos + 2] | static_cast<std::uint32_t>(in.data[in.pos + 3]) << 8;
        in.pos += 4;
        std::uint32_t declared_override = 0;
        const bool lies = (flags & 1) != 0 && in.size - in.pos >= 2;
        if (lies) {
            declared_override = in.data[in.pos] | static_cast<std::uint32_t>(in.data[in.pos + 1]) << 8;
            in.pos += 2;
        }
        length = std::min<std::uint32_t>(length, AT_FRAME_MAX_LENGTH - 20);
        const std::uint32_t code = selector < 200 ? kCodes[selector % std::size(kCodes)] : 1000u + selector;
        // Payload bytes from the input, zeros where it ran out.
        std::vector<std::uint8_t> frame(20 + length, 0);
        at_put_le32(frame.data(), AT_MAGIC);
        at_put_le32(frame.data() + 4, 20 + length);
        at_put_le32(frame.data() + 8, code);
        const std::uint32_t declared = lies ? declared_override : length;
        at_put_le32(frame.data() + 12, declared);
        const std::size_t take = std::min<std::size_t>(length, in.size - in.pos);
        std::memcpy(frame.data() + 16, in.data + in.pos, take);
        in.pos += take;
        at_put_le32(frame.data() + 16 + length, crc32(frame.data(), static_cast<std::int32_t>(16 + length)));
        watcher.fed.push_back({code, std::min(declared, length)});
        kelvra_at_datain(app.protocol_object(slot), frame.data(), static_cast<std::uint32_t>(frame.size()));
        return true;
    }
};

// The data answer a reading command must get, or 0 for commands that read nothing.
std::uint32_t expected_answer(std::int32_t id) {
    switch (id) {
        case kelvra::ATCmdGetWriterInfo: return AT_CODE_WRITER_INFO;
        case kelvra::ATCmdGetWriterCfg: return AT_CODE_WRITER_CFG;
        case kelvra::ATCmdGetTargetChipID: return AT_CODE_TARGET_ID;
        case kelvra::ATCmdReadTargetMemory: return AT_CODE_TARGET_MEMORY;
        case kelvra::ATCmdReadTargetOptionByte: return AT_CODE_TARGET_OB;
        case kelvra::ATCmdGetProjectInfo: return AT_CODE_PROJECT_INFO_DATA;
        default: return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Harness harness;
    if (size < 2) return 0;
    // Every command but the two that only wait (the target-status poll and the sleep).
    static const std::int32_t kCommands[] = {1, 3, 5, 6, 100, 102, 104, 106, 107, 109, 110, 112, 113,
                                             114, 200, 202, 204, 205, 206, 207, 300, 301, 400, 999};
    const std::int32_t id = kCommands[data[0] % std::size(kCommands)];
    const std::uint8_t p = data[1];
    S_CmdParam command = kelvra::NewCmdParam(id);
    command.timeout = 1;
    command.address = 0x08000000u + (p & 0x0F) * 0x100u;
    command.size = (p & 0x30) == 0x30 ? 0xFFFFFFFFu : ((p >> 4) & 3) * 300u + (p & 1);
    command.baudrate = 115200;
    command.reset_type = p & 7;
    if (id == kelvra::ATCmdWriteTargetMemory) kelvra::SetCmdText(command.file, harness.image);
    if (id == kelvra::ATCmdLoadProject || id == kelvra::ATCmdSwitchOfflineProject) {
        kelvra::SetCmdText(command.file, harness.project);
    }
    if (id == kelvra::ATCmdSetWriterCfg) kelvra::SetCmdText(command.file, harness.config);
    if (id == kelvra::ATCmdBroadcast) {
        if ((p & 0x40) != 0) {
            kelvra::SetCmdText(command.file, harness.image);
        } else {
            kelvra::SetCmdText(command.data, "fuzz");
        }
        command.bcst_with_rsp = p & 1;
        command.kf = (p >> 1) & 1;
        command.wait_response = (p >> 2) & 1;
    }
    harness.input = {data, size, 2};
    harness.watcher.fed.clear();
    harness.watcher.read_address = command.address;
    std::int32_t slot = 0;
    const ATResult result = harness.app.Execute(harness.app.protocol_object(0), &command, &slot);
    const std::uint32_t wanted = expected_answer(id);
    if (result == 0 && wanted != 0) {
        check(!harness.watcher.fed.empty(), "a reading command succeeded without an answer");
        for (const Fed &fed : harness.watcher.fed) check(fed.code == wanted, "success on an answer of the wrong kind");
    }
    if (result == 0 && id == kelvra::ATCmdGetOfflineStatus) {
        for (const Fed &fed : harness.watcher.fed) {
            check(fed.code == AT_STATUS_ACK || fed.code == AT_STATUS_RUNNING, "offline status succeeded on another code");
        }
    }
    return 0;
}
