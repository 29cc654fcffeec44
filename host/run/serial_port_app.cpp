#include "host/run/serial_port_app.h"

#include "host/files/code_file.h"
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "host/model/at_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

namespace kelvra::run {
namespace {

constexpr std::uint32_t kProbeTimeoutMs = 100;
constexpr std::uint32_t kCommandTimeoutMs = 5000;
constexpr std::uint32_t kSwitchTimeoutMs = 15000;
constexpr std::uint32_t kSimpleBroadcastTimeoutMs = 100;
constexpr std::uint32_t kStatusPollPauseMs = 50;
constexpr std::uint32_t kStatusPollLimitMs = 5000;
constexpr std::size_t kReadBufferSize = 512;
// An input that cannot be had at execution time (no image, an unreadable file): the input is
// "null", and nothing is sent.
constexpr ATResult kNoInput = KVAT_ERR_NULL;

// The manager whose project load runs on this thread, for the core's progress function.
thread_local ISerialPortApp *t_load_observer = nullptr;

void load_progress(const std::uint32_t *total_done) {
    if (t_load_observer != nullptr && total_done != nullptr) {
        t_load_observer->OnLoadProgress(total_done);
    }
}

std::uint32_t response_code(const kelvra_at_object *object) {
    return at_get_le32(kelvra_at_received_frame(object) + 8);
}

const std::uint8_t *response_payload(const kelvra_at_object *object) {
    return kelvra_at_received_frame(object) + AT_PAYLOAD_OFFSET;
}

// Sends `code` and tells whether the transaction completed with `expected` as answer code.
bool send_expect(kelvra_at_object *object, std::uint32_t code, std::uint32_t timeout_ms,
                 std::uint32_t expected) {
    return _cmdSendCommand(object, code, timeout_ms) && response_code(object) == expected;
}

bool send_ack(kelvra_at_object *object, std::uint32_t code, std::uint32_t timeout_ms) {
    return send_expect(object, code, timeout_ms, AT_STATUS_ACK);
}

std::uint32_t clock_ms() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void sleep_ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A project name as the writer of `type` takes it: UTF-8 for the "KVR4", the text unchanged for
// any other. A name of 255 bytes has no room for its zero: it is cut.
void project_name_for_writer(const std::string &type, const std::string &text, char (&name)[255]) {
    if (type == "KVR4") {
        AnsiToUtf8(text.c_str(), name);
        return;
    }
    std::memset(name, 0, sizeof name);
    std::memcpy(name, text.data(), std::min(text.size(), sizeof name - 1));
}

// The part of a path after its last slash or backslash.
std::string file_name_part(std::string_view path) {
    const auto cut = path.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

SerialPortApp::SerialPortApp(ISerialPortApp *observer)
    : slots_(std::make_unique<Slots>()), observer_(observer) {
    slots_->owner = this;
}

SerialPortApp::~SerialPortApp() {
    RequestStop();
    CloseAll(false);
    // The run threads use this object until they report their end.
    WaitForRuns(std::numeric_limits<unsigned>::max());
    for (auto &channel : channels_) {
        channel.DataReady.disconnect_all();
        channel.PortLost.disconnect_all();
    }
}

kelvra_at_object *SerialPortApp::protocol_object(std::int32_t slot) {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kPortSlots) return nullptr;
    return &slots_->objects[slot];
}

std::vector<OpenPort> SerialPortApp::open_ports() const {
    std::lock_guard<std::mutex> lock(ports_mutex_);
    return open_ports_;
}

int SerialPortApp::ChannelBaudRate(std::int32_t slot) const {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kPortSlots) return 0;
    return channels_[static_cast<std::size_t>(slot)].BaudRate();
}

std::string SerialPortApp::DevicePath(const std::string &port_name) const {
    const std::int32_t k = FindPortIndex(port_name, open_ports());
    return k < 0 ? std::string() : channels_[static_cast<std::size_t>(k)].DevicePath();
}

std::int32_t SerialPortApp::FindPortIndex(const std::string &name, const std::vector<OpenPort> &ports) {
    for (const OpenPort &port : ports) {
        if (port.name == name) return port.index;
    }
    return -1;
}

std::string SerialPortApp::PortNameOfSlot(std::int32_t slot) const {
    std::lock_guard<std::mutex> lock(ports_mutex_);
    for (const OpenPort &port : open_ports_) {
        if (port.index == slot) return port.name;
    }
    return {};
}

// ------------------------------------------ scan ---------------------------------------------

std::vector<std::string> SerialPortApp::ScanAndOpen(bool any_port, int baud_rate) {
    ScanOptions options;
    options.any_port = any_port;
    return ScanAndOpen(options, baud_rate);
}

bool SerialPortApp::StartObject(std::int32_t slot) {
    kelvra_at_object *object = protocol_object(slot);
    return kelvra_at_clear(object, false, &SerialPortApp::WritePort, nullptr,
                           static_cast<std::uint32_t>(slot));
}

std::vector<std::string> SerialPortApp::ScanAndOpen(const ScanOptions &options, int baud_rate,
                                                    std::string *warning) {
    CloseAll(false);
    std::vector<std::string> names;

    // Shared with the detached progress thread, which may outlive this call.
    struct ScanState {
        std::atomic<unsigned> count{0};
        std::atomic<unsigned> current{0};
        std::atomic<bool> finished{false};
    };
    auto state = std::make_shared<ScanState>();
    // Whatever ends the scan, the progress display must end too.
    struct FinishGuard {
        ScanState *state;
        ~FinishGuard() { state->finished.store(true); }
    } guard{state.get()};
    // Started before anything can fail, so that every scan has its display and ends it.
    if (observer_ != nullptr) {
        std::thread([observer = observer_, state] {
            observer->OnScanProgress(&state->count, &state->current, &state->finished);
        }).detach();
    }

    try {
        auto ports = serial::EnumeratePorts(options.sysfs_root);
        serial::AddExplicitPorts(ports, options.explicit_ports);
        std::vector<serial::PortRecord> candidates;
        for (const auto &port : ports) {
            if (serial::IsCandidate(port, options.any_port)) candidates.push_back(port);
        }
        if (candidates.size() > kPortSlots) {
            if (warning != nullptr) {
                *warning = std::to_string(candidates.size() - kPortSlots) +
                           " serial port(s) left out: a scan opens at most " +
                           std::to_string(kPortSlots) + " ports (first left out: " +
                           candidates[kPortSlots].port_name + ")";
            }
            candidates.resize(kPortSlots);
        }

        state->count.store(static_cast<unsigned>(candidates.size()));

        for (std::size_t i = 0; i < candidates.size(); ++i) {
            state->current.store(static_cast<unsigned>(i));
            const auto slot = static_cast<std::int32_t>(i);
            serial::CSerialPort &channel = channels_[i];
            channel.Init(candidates[i].port_name, baud_rate, serial::Parity::None, 8,
                         serial::StopBits::One, serial::FlowControl::None, kReadBufferSize,
                         candidates[i].device_path);
            // Every scan connects afresh; the slots of the previous scan must not pile up.
            channel.DataReady.disconnect_all();
            channel.PortLost.disconnect_all();
            channel.DataReady.connect([this](std::string &port) { OnDataReady(port); });
            channel.PortLost.connect([this](std::string &port) { OnChannelLost(port); });
            if (channel.Open()) {
                const std::string name = channel.DevicePortName();
                {
                    std::lock_guard<std::mutex> lock(ports_mutex_);
                    open_ports_.push_back({name, slot});  // before the probe: its answer is routed by name
                }
                StartObject(slot);
                if (kelvra_at_get_writerinfo(protocol_object(slot), kProbeTimeoutMs) == nullptr) {
                    {
                        std::lock_guard<std::mutex> lock(ports_mutex_);
                        std::erase_if(open_ports_, [slot](const OpenPort &p) { return p.index == slot; });
                    }
                    channel.Close();
                } else {
                    names.push_back(name);
                }
            }
            sleep_ms(5);
        }
    } catch (const std::exception &e) {
        Console(e.what());
    }
    return names;
}

void SerialPortApp::CloseAll(bool notify) {
    try {
        for (const OpenPort &port : open_ports()) {
            serial::CSerialPort &channel = channels_[static_cast<std::size_t>(port.index)];
            if (channel.IsOpen()) channel.Close();
        }
        {
            std::lock_guard<std::mutex> lock(ports_mutex_);
            open_ports_.clear();
        }
        if (notify && observer_ != nullptr) observer_->OnAllPortsClosed();
    } catch (const std::exception &e) {
        Console(e.what());
    }
}

// --------------------------------------- receive path ----------------------------------------

void SerialPortApp::OnDataReady(std::string &port) {
    const std::int32_t k = FindPortIndex(port, open_ports());
    if (k < 0) return;
    try {
        std::vector<std::uint8_t> bytes;
        const int n = channels_[static_cast<std::size_t>(k)].ReadAll(bytes);
        if (n <= 0) return;
        kelvra_at_datain(protocol_object(k), bytes.data(), static_cast<std::uint32_t>(n));
        int count = n;
        if (observer_ != nullptr) {
            observer_->OnDataReceived(port, reinterpret_cast<const char *>(bytes.data()), &count);
        }
    } catch (const std::exception &e) {
        Console(std::string("AT commander port exception: ") + e.what());
    }
}

void SerialPortApp::OnChannelLost(std::string &port) {
    std::vector<OpenPort> removed;
    {
        std::lock_guard<std::mutex> lock(ports_mutex_);
        const std::int32_t k = FindPortIndex(port, open_ports_);
        if (k < 0) return;
        for (const OpenPort &entry : open_ports_) {
            if (entry.index == k) removed.push_back(entry);
        }
        std::erase_if(open_ports_, [k](const OpenPort &p) { return p.index == k; });
    }
    for (OpenPort &entry : removed) {
        // On the channel's own event thread: Close does not wait for this thread.
        channels_[static_cast<std::size_t>(entry.index)].Close();
        if (observer_ != nullptr) observer_->OnPortRemoved(entry.name);
    }
}

bool SerialPortApp::WritePort(std::uint8_t *frame, std::uint32_t slot, std::uint32_t /*timeout_ms*/) {
    if (frame == nullptr || slot >= kPortSlots) return false;
    auto *object = reinterpret_cast<kelvra_at_object *>(frame - offsetof(kelvra_at_object, tx_frame));
    auto *slots = reinterpret_cast<Slots *>(object - slot);
    SerialPortApp *self = slots->owner;
    const std::uint32_t length = at_get_le32(frame + 4);
    serial::CSerialPort &channel = self->channels_[slot];
    if (!channel.IsOpen()) return false;
    return channel.Write(frame, length) == static_cast<int>(length);
}

// ------------------------------------------- run ---------------------------------------------

void SerialPortApp::RunAll(const std::vector<S_CmdParam> *commands) {
    if (commands == nullptr) return;
    stop_.store(false);
    const std::vector<OpenPort> ports = open_ports();
    if (ports.empty()) {
        std::string name = kNoPortName;
        unsigned step = 1;
        S_CmdParam first = commands->empty() ? ZeroCmdParam() : commands->front();
        ATResult result = KVAT_ERR_PORT;
        if (observer_ != nullptr) {
            observer_->OnStepDone(name, &step, &first, &result);
            observer_->OnPortDone(name, &result);
        }
        return;
    }
    // One copy for all ports, alive until the last run thread lets go of it.
    auto list = std::make_shared<const std::vector<S_CmdParam>>(*commands);
    {
        std::lock_guard<std::mutex> lock(runs_mutex_);
        runs_ += static_cast<unsigned>(ports.size());
    }
    for (const OpenPort &port : ports) {
        std::thread([this, slot = port.index, list] { PortRun(slot, list); }).detach();
    }
}

void SerialPortApp::PortRun(std::int32_t slot, std::shared_ptr<const std::vector<S_CmdParam>> commands) {
    ATResult result = KVAT_ERR_PORT;
    bool stopped = false;
    for (std::size_t i = 0; i < commands->size(); ++i) {
        if (i > 0 && stop_.load()) {
            stopped = true;
            break;
        }
        S_CmdParam command = (*commands)[i];
        result = Execute(protocol_object(slot), &command, &slot);
        std::string name = channels_[static_cast<std::size_t>(slot)].DevicePortName();
        unsigned step = static_cast<unsigned>(i + 1);
        if (observer_ != nullptr) observer_->OnStepDone(name, &step, &command, &result);
        if (result != 0) break;
    }
    if (!stopped && observer_ != nullptr) {
        std::string name = channels_[static_cast<std::size_t>(slot)].DevicePortName();
        observer_->OnPortDone(name, &result);
    }
    std::lock_guard<std::mutex> lock(runs_mutex_);
    if (--runs_ == 0) runs_done_.notify_all();
}

void SerialPortApp::RequestStop() { stop_.store(true); }

void SerialPortApp::SetConsole(std::function<void(const std::string &)> console) {
    console_ = std::move(console);
}

void SerialPortApp::Console(const std::string &text) const {
    // Line by line: a multi-line text (an image summary) keeps its lines.
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos && line.empty()) break;
        if (console_) {
            console_(line);
        } else {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

std::string SerialPortApp::FailureDetail(std::int32_t slot) const {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kPortSlots) return {};
    return failure_details_[static_cast<std::size_t>(slot)];
}

bool SerialPortApp::WaitForRuns(unsigned timeout_ms) {
    std::unique_lock<std::mutex> lock(runs_mutex_);
    if (timeout_ms == std::numeric_limits<unsigned>::max()) {
        runs_done_.wait(lock, [this] { return runs_ == 0; });
        return true;
    }
    return runs_done_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return runs_ == 0; });
}

bool SerialPortApp::Running() const {
    std::lock_guard<std::mutex> lock(runs_mutex_);
    return runs_ != 0;
}

int SerialPortApp::LoadScript(const std::string &path, std::vector<S_CmdParam> &commands,
                              std::vector<std::string> &messages) {
    int row = 0;
    const int code = parser_.load_script(path, commands, row, messages);
    if (code != 0 && observer_ != nullptr) {
        std::string message = script::cli_error_message(code);
        observer_->OnScriptError(message, &row);
    }
    return code;
}

std::unique_ptr<std::uint8_t[]> SerialPortApp::ReadWholeFile(const std::string &path, std::uint32_t *size) {
    std::error_code error;
    std::ifstream in;
    if (!std::filesystem::is_directory(path, error)) in.open(path, std::ios::binary);
    if (!in.is_open()) {
        if (size != nullptr) *size = 1;
        return nullptr;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff length = in.tellg();
    in.seekg(0, std::ios::beg);
    if (length < 0 || length > static_cast<std::streamoff>(std::numeric_limits<std::uint32_t>::max())) {
        if (size != nullptr) *size = 0;
        return nullptr;
    }
    // One spare byte, so that an empty file still yields a buffer.
    auto data = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(length) + 1);
    in.read(reinterpret_cast<char *>(data.get()), length);
    if (in.gcount() != length) {
        if (size != nullptr) *size = 1;
        return nullptr;
    }
    if (size != nullptr) *size = static_cast<std::uint32_t>(length);
    return data;
}

// ----------------------------------------- execute -------------------------------------------

bool SerialPortApp::WriterInfoCheck(kelvra_at_object *object, std::string &type) {
    at_put_le32(kelvra_at_tx_payload(object), 0);
    if (!send_expect(object, AT_CODE_GET_WRITER_INFO, kProbeTimeoutMs, AT_CODE_WRITER_INFO)) return false;
    const auto *info = reinterpret_cast<const kvat_writer_info *>(response_payload(object));
    type.assign(info->type, strnlen(info->type, sizeof info->type));
    return true;
}

ATResult SerialPortApp::LoadProject(kelvra_at_object *object, const S_CmdParam &command) {
    std::string type;
    if (!WriterInfoCheck(object, type)) return static_cast<ATResult>(kelvra_at_last_error(object));
    char name[255];
    project_name_for_writer(type, file_name_part(CmdText(command.file)), name);
    std::uint32_t size = 0;
    const auto data = ReadWholeFile(std::string(CmdText(command.file)), &size);
    if (data == nullptr) return kNoInput;
    const std::string password(CmdText(command.password));
    t_load_observer = observer_;
    const bool ok = kelvra_at_project_load(object, name, password.c_str(), data.get(), size, &load_progress);
    t_load_observer = nullptr;
    return ok ? 0 : static_cast<ATResult>(kelvra_at_last_error(object));
}

ATResult SerialPortApp::SwitchProject(kelvra_at_object *object, const S_CmdParam &command) {
    std::string type;
    if (!WriterInfoCheck(object, type)) return static_cast<ATResult>(kelvra_at_last_error(object));
    char name[255];
    project_name_for_writer(type, std::string(CmdText(command.file)), name);
    const std::string_view password = CmdText(command.password);
    if (password.size() > 16) return KVAT_ERR_PASSWORD;
    std::uint8_t *payload = kelvra_at_tx_payload(object);
    at_put_le32(payload, static_cast<std::uint32_t>(command.mode));
    std::memset(payload + 4, 0, 16);
    std::memcpy(payload + 4, password.data(), password.size());
    std::memset(payload + 20, 0, 255);
    std::memcpy(payload + 20, name, strnlen(name, 254));
    return send_ack(object, AT_CODE_PROJECT_SWITCH, kSwitchTimeoutMs)
               ? 0
               : static_cast<ATResult>(kelvra_at_last_error(object));
}

ATResult SerialPortApp::Broadcast(kelvra_at_object *object, const S_CmdParam &command, std::string &name) {
    if (command.direction != 0) return KVAT_ERR_BROADCAST_DIRECTION;
    std::unique_ptr<std::uint8_t[]> owned;
    const std::uint8_t *data = nullptr;
    std::uint32_t length = 0;
    if (CmdText(command.file).empty()) {
        // The text with its terminating zero.
        length = static_cast<std::uint32_t>(CmdText(command.data).size() + 1);
        data = reinterpret_cast<const std::uint8_t *>(command.data);
    } else {
        owned = ReadWholeFile(std::string(CmdText(command.file)), &length);
        if (owned == nullptr) return kNoInput;
        data = owned.get();
    }
    bool ok = false;
    ATResult result = 0;
    std::uint32_t offset = 0;
    // Every chunk is sent whatever became of the ones before; the last one decides.
    do {
        const std::uint32_t n = std::min<std::uint32_t>(length - offset, KVAT_MAX_CHUNK);
        if (command.bcst_with_rsp != 0) {
            kvat_broadcast_record answer{};
            ok = kelvra_at_broadcast(object, data + offset, n, static_cast<std::uint32_t>(command.direction),
                                     command.kf != 0, command.wait_response != 0,
                                     reinterpret_cast<std::uint8_t *>(&answer), command.timeout);
            if (observer_ != nullptr) observer_->OnBroadcastResponse(name, &answer);
        } else if (n == 0) {
            // Only an empty file gets here.
            ok = false;
            result = KVAT_ERR_DATA_SIZE;
        } else {
            std::uint8_t *payload = kelvra_at_tx_payload(object);
            payload[0] = 0;
            at_put_le32(payload + 1, static_cast<std::uint32_t>(command.direction));
            at_put_le32(payload + 5, n);
            std::memcpy(payload + 9, data + offset, n);
            // A writer does not answer a simple broadcast: no answer is a success.
            ok = !_cmdSendCommand(object, AT_CODE_BROADCAST, kSimpleBroadcastTimeoutMs) ||
                 response_code(object) == AT_CODE_BROADCAST;
        }
        if (ok) {
            result = 0;
        } else if (n != 0 || command.bcst_with_rsp != 0) {
            result = static_cast<ATResult>(kelvra_at_last_error(object));
        }
        offset += n;
    } while (offset < length);
    return ok ? 0 : result;
}

ATResult SerialPortApp::Execute(kelvra_at_object *object, const S_CmdParam *command, const std::int32_t *slot) {
    if (object == nullptr || command == nullptr || slot == nullptr) return KVAT_ERR_INIT;
    // Only a slot's own object can find its way back to the channel.
    if (object != protocol_object(*slot)) return KVAT_ERR_INIT;
    kelvra_at_clear(object, false, &SerialPortApp::WritePort, nullptr, static_cast<std::uint32_t>(*slot));
    std::string &detail = failure_details_[static_cast<std::size_t>(*slot)];
    detail.clear();
    std::string name = PortNameOfSlot(*slot);
    std::uint8_t *payload = kelvra_at_tx_payload(object);
    const auto last_error = [object] { return static_cast<ATResult>(kelvra_at_last_error(object)); };
    const auto ok_or_error = [&](bool ok) { return ok ? 0 : last_error(); };

    switch (command->command) {
        case ATCmdGetWriterInfo: {
            if (!send_expect(object, AT_CODE_GET_WRITER_INFO, kProbeTimeoutMs, AT_CODE_WRITER_INFO)) return last_error();
            kvat_writer_info info;
            std::memcpy(&info, response_payload(object), sizeof info);
            if (observer_ != nullptr) observer_->OnWriterInfo(name, &info);
            return 0;
        }
        case ATCmdGetWriterCfg: {
            if (!send_expect(object, AT_CODE_GET_WRITER_CFG, kCommandTimeoutMs, AT_CODE_WRITER_CFG)) return last_error();
            kvat_writer_config config;
            std::memcpy(&config, response_payload(object), sizeof config);
            if (observer_ != nullptr) observer_->OnWriterConfig(name, &config);
            return 0;
        }
        case ATCmdSetWriterCfg: {
            // A document that does not convert must never reach the writer: it would overwrite
            // the configuration with zeros.
            files::json_file file(std::string(CmdText(command->file)), files::json_file::mode::read);
            kvat_writer_config config{};
            const std::string error =
                file.is_open() ? files::read_writer_config(file, config) : std::string(files::kNoConfigFileText);
            if (!error.empty()) {
                detail = error;
                return KVAT_ERR_CONFIG;
            }
            std::memcpy(payload, &config, sizeof config);
            return ok_or_error(send_ack(object, AT_CODE_SET_WRITER_CFG, kCommandTimeoutMs));
        }
        case ATCmdSetBaudRate: {
            at_put_le32(payload, static_cast<std::uint32_t>(command->baudrate));
            if (!send_ack(object, AT_CODE_SET_BAUDRATE, kCommandTimeoutMs)) return last_error();
            at_baud_rate_.store(command->baudrate);
            channels_[static_cast<std::size_t>(*slot)].SetBaudRate(command->baudrate);
            return 0;
        }
        case ATCmdConnectTarget:
            return ok_or_error(send_ack(object, AT_CODE_TARGET_CONNECT, kCommandTimeoutMs));
        case ATCmdGetTargetStatus: {
            const std::uint32_t start = clock_ms();
            for (;;) {
                sleep_ms(kStatusPollPauseMs);
                if (send_ack(object, AT_CODE_TARGET_STATUS, kCommandTimeoutMs)) return 0;
                if (clock_ms() - start >= kStatusPollLimitMs) return last_error();
            }
        }
        case ATCmdGetTargetChipID: {
            if (!send_expect(object, AT_CODE_TARGET_GET_ID, kCommandTimeoutMs, AT_CODE_TARGET_ID)) return last_error();
            kvat_chip_id id;
            std::memcpy(&id, response_payload(object), sizeof id);
            if (observer_ != nullptr) observer_->OnChipId(name, &id);
            return 0;
        }
        case ATCmdReadTargetMemory: {
            std::uint32_t address = command->address;
            auto remaining = static_cast<std::int64_t>(static_cast<std::int32_t>(command->size));
            do {
                const std::uint32_t n = remaining >= 0 && remaining < 256 ? static_cast<std::uint32_t>(remaining) : 256;
                at_put_le32(payload, address);
                at_put_le32(payload + 4, n);
                if (!send_expect(object, AT_CODE_TARGET_READ, kCommandTimeoutMs, AT_CODE_TARGET_MEMORY)) return last_error();
                auto *block = reinterpret_cast<kvat_memory_block *>(
                    const_cast<std::uint8_t *>(response_payload(object)));
                if (observer_ != nullptr) observer_->OnMemoryData(name, block);
                address += at_get_le32(response_payload(object) + 4);
                remaining -= 256;
            } while (remaining > 0);
            return 0;
        }
        case ATCmdEraseTarget:
            return ok_or_error(send_ack(object, AT_CODE_TARGET_ERASE, static_cast<std::uint32_t>(command->timeout)));
        case ATCmdEraseTargetSectors:
            at_put_le32(payload, command->address);
            at_put_le32(payload + 4, command->size);
            return ok_or_error(
                send_ack(object, AT_CODE_TARGET_ERASE_SECTOR, static_cast<std::uint32_t>(command->timeout)));
        case ATCmdWriteTargetMemory: {
            std::unique_ptr<files::bs_code_file> image;
            // The reader's summary goes where the program's diagnostics go.
            std::ostringstream summary;
            try {
                image = files::open_image(std::string(CmdText(command->file)), command->fw_num,
                                          files::image_log{nullptr, &summary});
            } catch (const std::exception &e) {
                Console(summary.str());
                detail = e.what();
                return KVAT_ERR_FIRMWARE_QUANTITY;
            }
            Console(summary.str());
            if (image == nullptr) {
                detail = "no image could be loaded from " + std::string(CmdText(command->file));
                return kNoInput;
            }
            const auto total = static_cast<std::uint32_t>(image->data.size());
            at_put_le32(payload, total);
            if (!send_ack(object, AT_CODE_TARGET_WRITE_PREPARE, kCommandTimeoutMs)) return last_error();
            std::uint32_t address = command->address;
            const std::uint8_t *p = image->data.data();
            std::int64_t remaining = total;
            do {
                const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, 256));
                at_put_le32(payload, address);
                at_put_le32(payload + 4, n);
                if (n != 0) std::memcpy(payload + 8, p, n);
                if (!send_ack(object, AT_CODE_TARGET_WRITE, kCommandTimeoutMs)) return last_error();
                address += 256;
                p += n;
                remaining -= 256;
            } while (remaining > 0);
            return 0;
        }
        case ATCmdReadTargetOptionByte: {
            if (!send_expect(object, AT_CODE_TARGET_READ_OB, kCommandTimeoutMs, AT_CODE_TARGET_OB)) return last_error();
            auto *bytes = reinterpret_cast<kvat_option_bytes *>(const_cast<std::uint8_t *>(response_payload(object)));
            if (observer_ != nullptr) observer_->OnOptionBytes(name, bytes);
            return 0;
        }
        case ATCmdWriteTargetVendorOptionByte:
        case ATCmdWriteTargetUserOptionByte:
            return ok_or_error(send_ack(object, static_cast<std::uint32_t>(command->command),
                                        static_cast<std::uint32_t>(command->timeout)));
        case ATCmdTargetReset:
            at_put_le32(payload, command->reset_type);
            return ok_or_error(send_ack(object, AT_CODE_TARGET_RESET, kCommandTimeoutMs));
        case ATCmdGetProjectInfo: {
            if (!send_expect(object, AT_CODE_PROJECT_INFO, kCommandTimeoutMs, AT_CODE_PROJECT_INFO_DATA)) return last_error();
            auto *info = reinterpret_cast<kvat_project_info_record *>(const_cast<std::uint8_t *>(response_payload(object)));
            if (observer_ != nullptr) observer_->OnProjectInfo(name, info);
            return 0;
        }
        case ATCmdLoadProject: {
            const ATResult result = LoadProject(object, *command);
            if (result == kNoInput) detail = "cannot read " + std::string(CmdText(command->file));
            return result;
        }
        case ATCmdDisableProject:
        case ATCmdStartOffline:
            return ok_or_error(send_ack(object, static_cast<std::uint32_t>(command->command), kCommandTimeoutMs));
        case ATCmdGetOfflineStatus: {
            for (;;) {
                if (!_cmdSendCommand(object, AT_CODE_OFFLINE_STATUS, kCommandTimeoutMs)) return last_error();
                OfflineStatus status{-1, 0, 0};
                const std::uint32_t answer = response_code(object);
                if (answer == AT_STATUS_ACK) {
                    status.state = 0;
                } else if (answer == AT_STATUS_RUNNING) {
                    status.state = 1;
                    status.value1 = at_get_le32(response_payload(object));
                    status.value2 = at_get_le32(response_payload(object) + 4);
                }
                if (observer_ != nullptr) observer_->OnOfflineStatus(name, &status);
                if (status.state != 1) return 0;
            }
        }
        case ATCmdSwitchOfflineProject:
            return SwitchProject(object, *command);
        case ATCmdFactoryRunSRAMFW:
        case ATCmdFactoryRunFlashFW:
            return ok_or_error(send_ack(object, static_cast<std::uint32_t>(command->command),
                                        static_cast<std::uint32_t>(command->timeout)));
        case ATCmdBroadcast: {
            const ATResult result = Broadcast(object, *command, name);
            if (result == kNoInput) detail = "cannot read " + std::string(CmdText(command->file));
            return result;
        }
        case ATCmdSleep: {
            // In slices, so that a run being stopped does not sit out a long pause.
            const std::uint32_t start = clock_ms();
            const auto total = static_cast<std::uint32_t>(std::max(command->timeout, 0));
            while (!stop_.load()) {
                const std::uint32_t spent = clock_ms() - start;
                if (spent >= total) break;
                sleep_ms(std::min<std::uint32_t>(total - spent, 50));
            }
            return 0;
        }
        default:
            return 0;
    }
}

// ------------------------------------------- text --------------------------------------------

void AnsiToUtf8(const char *text, char (&out)[255]) {
    std::memset(out, 0, sizeof out);
    if (text == nullptr) return;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    std::size_t used = 0;
    unsigned characters = 0;
    constexpr unsigned kMaxCharacters = 255;
    while (*s != 0 && characters < kMaxCharacters) {
        // Length of a well-formed UTF-8 sequence at s, or 0.
        std::size_t n = 0;
        const unsigned char c = *s;
        if (c < 0x80) {
            n = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = (s[1] & 0xC0) == 0x80 ? 2 : 0;
        } else if (c >= 0xE0 && c <= 0xEF) {
            const bool second = c == 0xE0   ? (s[1] >= 0xA0 && s[1] <= 0xBF)
                                : c == 0xED ? (s[1] >= 0x80 && s[1] <= 0x9F)
                                            : (s[1] & 0xC0) == 0x80;
            n = second && (s[2] & 0xC0) == 0x80 ? 3 : 0;
        } else if (c >= 0xF0 && c <= 0xF4) {
            const bool second = c == 0xF0   ? (s[1] >= 0x90 && s[1] <= 0xBF)
                                : c == 0xF4 ? (s[1] >= 0x80 && s[1] <= 0x8F)
                                            : (s[1] & 0xC0) == 0x80;
            n = second && (s[2] & 0xC0) == 0x80 && (s[3] & 0xC0) == 0x80 ? 4 : 0;
        }
        static constexpr unsigned char kReplacement[3] = {0xEF, 0xBF, 0xBD};
        const unsigned char *piece = n != 0 ? s : kReplacement;
        const std::size_t piece_length = n != 0 ? n : 3;
        // The text and its zero must fit; a character that does not fit ends the text.
        if (used + piece_length > sizeof out - 1) break;
        std::memcpy(out + used, piece, piece_length);
        used += piece_length;
        // A supplementary character takes two UTF-16 units, as the conversion counts them.
        characters += n == 4 ? 2 : 1;
        s += n != 0 ? n : 1;
    }
}

}  // namespace kelvra::run
