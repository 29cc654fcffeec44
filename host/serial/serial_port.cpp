#include "host/serial/serial_port.h"

#include "host/serial/port_discovery.h"

namespace kelvra::serial {

void CSerialPort::Init(const std::string &port_name, int baud_rate, Parity parity, int data_bits,
                       StopBits stop_bits, FlowControl flow, uint64_t read_buffer_size,
                       const std::string &device_path) {
    port_name_ = port_name;
    device_path_ = device_path.empty() ? DevicePathFor(port_name) : device_path;
    baud_rate_ = baud_rate;
    parity_ = parity;
    data_bits_ = data_bits;
    stop_bits_ = stop_bits;
    flow_ = flow;
    read_buffer_size_ = read_buffer_size;
}

std::string CSerialPort::DevicePortName() const { return SafePortName(port_name_); }

std::string CSerialPort::OpenError() const {
    std::lock_guard<std::mutex> lock(lock_);
    return open_error_;
}

bool CSerialPort::OpenDenied() const {
    std::lock_guard<std::mutex> lock(lock_);
    return open_denied_;
}

bool CSerialPort::OpenFailed(const std::string &why, bool denied) {
    open_error_ = why;
    open_denied_ = denied;
    return false;
}

}  // namespace kelvra::serial
