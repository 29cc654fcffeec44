// The serial channel: one open serial device with fixed line settings, read when the event
// thread reports received bytes, written synchronously, and able to report that the device
// went away. The operating-system part lives in serial_port_<os>.cpp; this header holds no
// type of any operating system.
#pragma once

#include "host/serial/signal.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::serial {

enum class Parity { None, Odd, Even };
enum class StopBits { One, Two };
enum class FlowControl { None, Hardware, Software };

class CSerialPort {
public:
    CSerialPort();
    ~CSerialPort();
    CSerialPort(const CSerialPort &) = delete;
    CSerialPort &operator=(const CSerialPort &) = delete;

    // Stores the settings; no I/O. `device_path` defaults to DevicePathFor(port_name):
    // /dev/<port_name> on Linux, \\.\<port_name> on Windows.
    void Init(const std::string &port_name, int baud_rate = 115200, Parity parity = Parity::None,
              int data_bits = 8, StopBits stop_bits = StopBits::One,
              FlowControl flow = FlowControl::None, uint64_t read_buffer_size = 512,
              const std::string &device_path = {});

    // Opens the device exclusively in raw binary mode with the stored settings, flushes both
    // directions and starts the event thread. On any failure the port is closed again.
    bool Open();
    // Why the last Open failed ("" after a successful one), and whether the system refused
    // the user the device (not another program holding it).
    std::string OpenError() const;
    bool OpenDenied() const;
    bool IsOpen() const;
    // Stops the event thread, flushes and closes. Safe from any thread, also from inside a
    // notification of this port; nothing happens when the port is not open.
    void Close();

    // Appends every byte queued now to `out`: the count, 0 when none, -1 when the port is not
    // open or the read fails.
    int ReadAll(std::vector<uint8_t> &out);
    // Writes every byte and waits until they were handed to the device: the count, or -1
    // when the port is not open or the write fails.
    int Write(const uint8_t *data, size_t count);

    // The port's name, safe as a folder name.
    std::string DevicePortName() const;
    const std::string &DevicePath() const { return device_path_; }
    // Stores the rate and applies it at once when the port is open. False when applying failed.
    bool SetBaudRate(int baud_rate);
    int BaudRate() const { return baud_rate_; }
    // The rate the device reports now (0 when not open or unknown).
    int ActualBaudRate();

    // Raised on the event thread whenever bytes are queued.
    Signal<std::string &> DataReady;
    // Raised once on the event thread when the device went away; the thread then ends. The
    // port stays open until Close().
    Signal<std::string &> PortLost;

private:
    struct OsPart;  // the open device and what its event thread waits on, per OS

    void EventLoop();
    void StopEventThread();
    bool Configure();  // line settings on the open device

    std::string port_name_;
    std::string device_path_;
    int baud_rate_ = 115200;
    Parity parity_ = Parity::None;
    int data_bits_ = 8;
    StopBits stop_bits_ = StopBits::One;
    FlowControl flow_ = FlowControl::None;
    uint64_t read_buffer_size_ = 512;

    mutable std::mutex lock_;  // serialises I/O and settings of this channel
    std::unique_ptr<OsPart> os_;
    std::string open_error_;
    bool open_denied_ = false;
    bool OpenFailed(const std::string &why, bool denied = false);  // with lock_ held; false
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace kelvra::serial
