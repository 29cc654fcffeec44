#include "host/run/port_manager.h"

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

constexpr std::size_t kReadBufferSize = 512;
constexpr unsigned kScanPauseMs = 5;

// The slot whose commands this thread runs; -1 on every thread but a port's run thread.
thread_local std::int32_t t_run_slot = -1;

}  // namespace

// ---------------------------------------------------------------------------------------------

SerialPortApp::SerialPortApp(ISerialPortApp *observer)
    : slots_(std::make_unique<Slots>()), observer_(observer) {
    slots_->owner = this;
}

SerialPortApp::~SerialPortApp() {
    RequestStop();
    CloseAll(false);
    // The run threads and the scan's progress thread use this object until they end.
    WaitForRuns(std::numeric_limits<unsigned>::max());
    JoinScanProgress();
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
    std::vector<std::string> names;
    std::vector<std::string> warnings;
    for (const ScannedWriter &writer : ScanWriters(options, baud_rate, &warnings)) names.push_back(writer.name);
    if (warning != nullptr) {
        warning->clear();
        for (const std::string &line : warnings) *warning += (warning->empty() ? "" : "\n") + line;
    }
    return names;
}

std::vector<ScannedWriter> SerialPortApp::ScanWriters(const ScanOptions &options, int baud_rate,
                                                      std::vector<std::string> *warnings) {
    CloseAll(false);
    std::vector<ScannedWriter> names;

    JoinScanProgress();
    // Shared with the progress thread, which outlives this call until it is joined.
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
        progress_thread_ = std::thread([observer = observer_, state] {
            observer->OnScanProgress(&state->count, &state->current, &state->finished);
        });
    }

    try {
        auto ports = serial::EnumeratePorts(options.sysfs_root);
        serial::AddExplicitPorts(ports, options.explicit_ports);
        std::vector<serial::PortRecord> candidates;
        for (const auto &port : ports) {
            if (serial::IsCandidate(port, options.any_port)) candidates.push_back(port);
        }
        state->count.store(static_cast<unsigned>(candidates.size()));

        // Slots go to writers that answer: a candidate that stays silent gives its slot back,
        // so 24 silent ports cannot crowd out a good one.
        std::size_t i = 0;
        for (; i < candidates.size() && names.size() < kPortSlots; ++i) {
            state->current.store(static_cast<unsigned>(i));
            const auto slot = static_cast<std::int32_t>(names.size());
            serial::CSerialPort &channel = channels_[names.size()];
            channel.Init(candidates[i].port_name, baud_rate, serial::Parity::None, 8,
                         serial::StopBits::One, serial::FlowControl::None, kReadBufferSize,
                         candidates[i].device_path);
            // Every scan connects afresh; the slots of the previous scan must not pile up.
            channel.DataReady.disconnect_all();
            channel.PortLost.disconnect_all();
            channel.DataReady.connect([this](std::string &port) { OnDataReady(port); });
            channel.PortLost.connect([this](std::string &port) { OnChannelLost(port); });
            lost_[static_cast<std::size_t>(slot)].store(false);
            if (!channel.Open()) {
                // A writer port held by another program, or not ours to open, must not pass
                // for no writer at all.
                if (warnings != nullptr) {
                    std::string line = "serial port " + candidates[i].port_name + " (" + channel.DevicePath() +
                                       ") cannot be opened: " + channel.OpenError();
                    if (channel.OpenDenied()) {
                        line += " (install the udev rule of the kelvra-tools package, 70-kelvra-writer.rules, or "
                                "join the group that owns the device)";
                    }
                    warnings->push_back(line);
                }
            } else {
                const std::string name = channel.DevicePortName();
                {
                    std::lock_guard<std::mutex> lock(ports_mutex_);
                    open_ports_.push_back({name, slot});  // before the probe: its answer is routed by name
                }
                StartObject(slot);
                kelvra_at_object *object = protocol_object(slot);
                const std::uint8_t *record = kelvra_at_get_writerinfo(object, kProbeTimeoutMs);
                if (record == nullptr) {
                    {
                        std::lock_guard<std::mutex> lock(ports_mutex_);
                        std::erase_if(open_ports_, [slot](const OpenPort &p) { return p.index == slot; });
                    }
                    channel.Close();
                } else {
                    ScannedWriter writer{name, slot, channel.DevicePath(), {}};
                    // Only what the answer really carried becomes the writer's identity.
                    const std::int32_t carried = kelvra_at_received_payload_size(object);
                    if (carried > 0) {
                        std::memcpy(&writer.info, record,
                                    std::min<std::size_t>(static_cast<std::size_t>(carried), sizeof writer.info));
                    }
                    const std::string serial(writer.info.serial_number,
                                             strnlen(writer.info.serial_number, sizeof writer.info.serial_number));
                    const auto &wanted = options.writer_serials;
                    if (wanted.empty() || std::find(wanted.begin(), wanted.end(), serial) != wanted.end()) {
                        names.push_back(std::move(writer));
                    } else {
                        // Not one of the writers asked for: its slot goes to the next candidate.
                        {
                            std::lock_guard<std::mutex> lock(ports_mutex_);
                            std::erase_if(open_ports_, [slot](const OpenPort &p) { return p.index == slot; });
                        }
                        channel.Close();
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kScanPauseMs));
        }
        if (i < candidates.size() && warnings != nullptr) {
            warnings->push_back(std::to_string(candidates.size() - i) + " serial port(s) left out: a scan opens at most " +
                       std::to_string(kPortSlots) + " writers (first left out: " + candidates[i].port_name + ")");
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
        // On the channel's own event thread: Close does not wait for this thread. Closed first,
        // so that every later write fails; then the waiting transaction is ended at once.
        lost_[static_cast<std::size_t>(entry.index)].store(true);
        channels_[static_cast<std::size_t>(entry.index)].Close();
        kelvra_at_abort(protocol_object(entry.index));
        if (observer_ != nullptr) observer_->OnPortRemoved(entry.name);
    }
}

bool SerialPortApp::WritePort(std::uint8_t *frame, std::uint32_t slot, std::uint32_t /*timeout_ms*/) {
    if (frame == nullptr || slot >= kPortSlots) return false;
    auto *object = reinterpret_cast<kelvra_at_object *>(frame - offsetof(kelvra_at_object, tx_frame));
    auto *slots = reinterpret_cast<Slots *>(object - slot);
    SerialPortApp *self = slots->owner;
    const std::uint32_t length = at_get_le32(frame + 4);
    if (self->write_hook_) return self->write_hook_(static_cast<std::int32_t>(slot), frame, length);
    serial::CSerialPort &channel = self->channels_[slot];
    if (!channel.IsOpen()) return false;
    return channel.Write(frame, length) == static_cast<int>(length);
}

// ------------------------------------------- run ---------------------------------------------

std::size_t SerialPortApp::RunAll(const std::vector<S_CmdParam> *commands) {
    if (commands == nullptr) return 0;
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
        return 0;
    }
    // One copy for all ports, alive until the last run thread lets go of it.
    auto list = std::make_shared<const std::vector<S_CmdParam>>(*commands);
    WaitForRuns(std::numeric_limits<unsigned>::max());  // a run never starts beside another
    std::lock_guard<std::mutex> lock(runs_mutex_);
    runs_ += static_cast<unsigned>(ports.size());
    for (const OpenPort &port : ports) {
        run_threads_.emplace_back([this, slot = port.index, list] { PortRun(slot, list); });
    }
    return ports.size();
}

void SerialPortApp::PortRun(std::int32_t slot, std::shared_ptr<const std::vector<S_CmdParam>> commands) {
    t_run_slot = slot;
    ATResult result = KVAT_ERR_PORT;
    bool stopped = false;
    serial_written_[static_cast<std::size_t>(slot)] = false;
    std::size_t last_write = commands->size();
    for (std::size_t i = 0; i < commands->size(); ++i) {
        if ((*commands)[i].command == ATCmdWriteTargetMemory) last_write = i;
    }
    for (std::size_t i = 0; i < commands->size(); ++i) {
        if (i > 0 && stop_.load()) {
            stopped = true;
            break;
        }
        S_CmdParam command = (*commands)[i];
        if (observer_ != nullptr) {
            std::string name = channels_[static_cast<std::size_t>(slot)].DevicePortName();
            observer_->OnStepStarted(name, static_cast<unsigned>(i + 1), command);
        }
        result = Execute(protocol_object(slot), &command, &slot);
        // A serial number no image carried goes in as part of the last write.
        if (i == last_write && result == 0) result = WriteSerial(slot);
        if (result == kStepStopped) {
            // Cut short: neither succeeded nor failed, so not reported as a step.
            stopped = true;
            break;
        }
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

void SerialPortApp::ImageSummary(const std::string &image, const std::string &text) const {
    if (!image_summary_) {
        Console(text);
        return;
    }
    if (!text.empty()) image_summary_(image, text);
}

std::string SerialPortApp::FailureDetail(std::int32_t slot) const {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kPortSlots) return {};
    return failure_details_[static_cast<std::size_t>(slot)];
}

std::string SerialPortApp::StepDetail() const { return FailureDetail(t_run_slot); }

StepFacts SerialPortApp::RunStepFacts() const {
    if (t_run_slot < 0) return {};
    return step_facts_[static_cast<std::size_t>(t_run_slot)];
}

std::string SerialPortApp::RunPortName() const {
    if (t_run_slot < 0) return {};
    return channels_[static_cast<std::size_t>(t_run_slot)].DevicePortName();
}

bool SerialPortApp::WaitForRuns(unsigned timeout_ms) {
    std::vector<std::thread> ended;
    {
        std::unique_lock<std::mutex> lock(runs_mutex_);
        if (timeout_ms == std::numeric_limits<unsigned>::max()) {
            runs_done_.wait(lock, [this] { return runs_ == 0; });
        } else if (!runs_done_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return runs_ == 0; })) {
            return false;
        }
        ended.swap(run_threads_);
    }
    // Every thread is past its last report: the joins end at once. A run thread never waits
    // for itself (it is not among the ones still counted when it could call this).
    for (std::thread &thread : ended) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    return true;
}

void SerialPortApp::JoinScanProgress() {
    if (progress_thread_.joinable() && progress_thread_.get_id() != std::this_thread::get_id()) progress_thread_.join();
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
