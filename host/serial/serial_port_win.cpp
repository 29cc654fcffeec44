// The channel on Windows: the Win32 communications API in overlapped mode. The event thread
// waits for the next port event together with a stop event, so closing never waits for data.
#include "host/serial/serial_port.h"
#include "host/serial/text_win.h"

#include <windows.h>

namespace kelvra::serial {
namespace {

constexpr DWORD kWriteStallMs = 5000;  // a write that cannot complete this long fails
constexpr DWORD kReadWaitMs = 1000;    // a read of bytes already queued never takes this long
constexpr DWORD kEventMask = EV_RXCHAR | EV_TXEMPTY | EV_DSR;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kPurgeAll = PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR;

// How a pending wait or read says that the device went away (unplugged, driver gone).
bool is_loss(DWORD error) {
    return error == ERROR_OPERATION_ABORTED || error == ERROR_NOT_READY ||
           error == ERROR_BROKEN_PIPE || error == ERROR_BAD_COMMAND;
}

void close_handle(HANDLE &h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = nullptr;
}

}  // namespace

struct CSerialPort::OsPart {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;  // set when the event thread must end
    HANDLE io = nullptr;    // completes reads and writes, which the channel's lock serialises
    // The event thread's wait. Kept here, not on the thread's stack: a driver that completes
    // a wait late still writes into valid memory.
    OVERLAPPED wait{};
    HANDLE waited = nullptr;
    std::atomic<bool> read_lost{false};
};

CSerialPort::CSerialPort() : os_(std::make_unique<OsPart>()) {}

CSerialPort::~CSerialPort() {
    Close();
    // Only when the port is destroyed from inside its own notification is the thread still
    // running here; it ends on its own once the notification returns.
    if (thread_.joinable()) thread_.detach();
}

bool CSerialPort::Configure() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(os_->port, &dcb)) {
        // A line left at a rate the driver cannot name: every field is set below anyway.
        dcb = DCB{};
        dcb.DCBlength = sizeof dcb;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }
    dcb.BaudRate = static_cast<DWORD>(baud_rate_);
    dcb.ByteSize = static_cast<BYTE>(data_bits_ >= 5 && data_bits_ <= 8 ? data_bits_ : 8);
    dcb.Parity = parity_ == Parity::Odd ? ODDPARITY : parity_ == Parity::Even ? EVENPARITY : NOPARITY;
    dcb.StopBits = stop_bits_ == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = parity_ != Parity::None ? TRUE : FALSE;
    const bool hardware = flow_ == FlowControl::Hardware, software = flow_ == FlowControl::Software;
    dcb.fOutxCtsFlow = hardware ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    dcb.fOutX = software ? TRUE : FALSE;
    dcb.fInX = software ? TRUE : FALSE;
    dcb.fNull = FALSE;  // null bytes are data
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(os_->port, &dcb) != FALSE;
}

bool CSerialPort::Open() {
    if (IsOpen()) return true;
    if (thread_.joinable()) {
        // The event thread of an earlier session ends once its notification returns.
        if (std::this_thread::get_id() == thread_.get_id()) return false;
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(lock_);
    open_error_.clear();
    open_denied_ = false;
    const std::wstring path = detail::Widen(device_path_);
    // Share mode 0: no other program, and no second channel, can hold the port meanwhile.
    os_->port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    if (os_->port == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A COM port that another program has open answers "access denied".
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return OpenFailed("held by another program, or not ours to open");
        }
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return OpenFailed("no such port");
        return OpenFailed("Windows error " + std::to_string(error));
    }
    // Reads return at once with what is queued; writes have no total time-out.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    const DWORD queue = static_cast<DWORD>(read_buffer_size_ > 0 && read_buffer_size_ < 0x10000000u ? read_buffer_size_ : 512);
    SetupComm(os_->port, queue, queue);  // a hint only: drivers may keep their own sizes
    bool ok = GetFileType(os_->port) == FILE_TYPE_CHAR && Configure() &&
              PurgeComm(os_->port, kPurgeAll) && SetCommTimeouts(os_->port, &timeouts) &&
              SetCommMask(os_->port, kEventMask);
    if (ok) {
        EscapeCommFunction(os_->port, CLRRTS);  // RTS stays low; a line without it is fine too
        os_->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        os_->io = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        os_->waited = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ok = os_->stop != nullptr && os_->io != nullptr && os_->waited != nullptr;
    }
    if (!ok) {
        close_handle(os_->stop);
        close_handle(os_->io);
        close_handle(os_->waited);
        close_handle(os_->port);
        os_->port = INVALID_HANDLE_VALUE;
        return OpenFailed("its line settings could not be set");
    }
    os_->read_lost = false;
    running_ = true;
    thread_ = std::thread([this] { EventLoop(); });
    return true;
}

bool CSerialPort::IsOpen() const {
    std::lock_guard<std::mutex> lock(lock_);
    return os_->port != INVALID_HANDLE_VALUE;
}

void CSerialPort::StopEventThread() {
    // The flag first: clearing the mask ends a pending wait with an error, which must not
    // count as a loss.
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        // The mask first: that ends a pending wait the regular way, so the thread never has
        // to cancel it.
        if (os_->port != INVALID_HANDLE_VALUE) SetCommMask(os_->port, 0);
        if (os_->stop != nullptr) SetEvent(os_->stop);
    }
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
}

void CSerialPort::Close() {
    if (!IsOpen()) return;
    StopEventThread();
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->port != INVALID_HANDLE_VALUE) {
        PurgeComm(os_->port, kPurgeAll);
        CloseHandle(os_->port);
        os_->port = INVALID_HANDLE_VALUE;
    }
    close_handle(os_->stop);
    close_handle(os_->io);
    close_handle(os_->waited);
}

int CSerialPort::ReadAll(std::vector<uint8_t> &out) {
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->port == INVALID_HANDLE_VALUE) return -1;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(os_->port, &errors, &status)) {
        if (is_loss(GetLastError())) os_->read_lost = true;
        return -1;
    }
    // Exactly what is queued: a read of more, or of nothing, may wait for bytes to come.
    const DWORD queued = status.cbInQue;
    if (queued == 0) return 0;
    const size_t before = out.size();
    out.resize(before + queued);
    OVERLAPPED ov{};
    ov.hEvent = os_->io;
    ResetEvent(os_->io);
    DWORD got = 0;
    if (!ReadFile(os_->port, out.data() + before, queued, &got, &ov)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(os_->io, kReadWaitMs) != WAIT_OBJECT_0) CancelIo(os_->port);
            if (GetOverlappedResult(os_->port, &ov, &got, TRUE)) error = ERROR_SUCCESS;
            else error = GetLastError();
        }
        if (error != ERROR_SUCCESS && got == 0) {
            out.resize(before);
            if (is_loss(error)) os_->read_lost = true;
            return -1;
        }
    }
    out.resize(before + got);
    return static_cast<int>(got);
}

int CSerialPort::Write(const uint8_t *data, size_t count) {
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->port == INVALID_HANDLE_VALUE || (data == nullptr && count > 0) || count > MAXDWORD) return -1;
    if (count == 0) return 0;
    // A line that went away fails here, before and after the write, whatever the driver's
    // write does with the bytes then.
    DWORD line_errors = 0;
    COMSTAT status{};
    if (!ClearCommError(os_->port, &line_errors, &status)) return -1;
    OVERLAPPED ov{};
    ov.hEvent = os_->io;
    ResetEvent(os_->io);
    DWORD sent = 0;
    if (!WriteFile(os_->port, data, static_cast<DWORD>(count), &sent, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return -1;
        if (WaitForSingleObject(os_->io, kWriteStallMs) != WAIT_OBJECT_0) {
            // Unplugged, or the device took nothing for too long.
            CancelIo(os_->port);
            GetOverlappedResult(os_->port, &ov, &sent, TRUE);
            return -1;
        }
        if (!GetOverlappedResult(os_->port, &ov, &sent, FALSE)) return -1;
    }
    if (sent != count || !ClearCommError(os_->port, &line_errors, &status)) return -1;
    return static_cast<int>(sent);
}

bool CSerialPort::SetBaudRate(int baud_rate) {
    std::lock_guard<std::mutex> lock(lock_);
    baud_rate_ = baud_rate;
    if (os_->port == INVALID_HANDLE_VALUE) return true;
    if (baud_rate <= 0) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(os_->port, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud_rate);
    return SetCommState(os_->port, &dcb) != FALSE;
}

int CSerialPort::ActualBaudRate() {
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->port == INVALID_HANDLE_VALUE) return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(os_->port, &dcb) ? static_cast<int>(dcb.BaudRate) : 0;
}

void CSerialPort::EventLoop() {
    HANDLE port, stop, waited;
    {
        std::lock_guard<std::mutex> lock(lock_);
        port = os_->port;
        stop = os_->stop;
        waited = os_->waited;
    }
    std::string name = DevicePortName();
    DWORD mask = kEventMask;
    bool lost = false;
    while (running_ && !lost) {
        OVERLAPPED &ov = os_->wait;
        ov = OVERLAPPED{};
        ov.hEvent = waited;
        ResetEvent(waited);
        DWORD events = 0, ignored = 0, error = ERROR_SUCCESS;
        if (!WaitCommEvent(port, &events, &ov)) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                HANDLE both[2] = {waited, stop};
                const DWORD woke = WaitForMultipleObjects(2, both, FALSE, INFINITE);
                if (woke != WAIT_OBJECT_0) {
                    // Stopped: a cancelled wait completes at once, and one that a driver cannot
                    // cancel ends when the mask changes, which Close did; one that began just
                    // after that change may end only with the handle, and is left to it (its
                    // OVERLAPPED lives in os_, so a late completion writes into valid memory).
                    CancelIo(port);
                    WaitForSingleObject(waited, 20);
                    lost = woke != WAIT_OBJECT_0 + 1;
                    break;
                }
                error = GetOverlappedResult(port, &ov, &ignored, FALSE) ? ERROR_SUCCESS : GetLastError();
            }
        }
        if (!running_) break;
        if (error == ERROR_NOT_SUPPORTED && (mask & kModemEvents) != 0) {
            // A line without modem lines (a pseudo-terminal behind an emulator, some adapters)
            // cannot watch DSR: receive and transmit events are enough.
            mask &= ~kModemEvents;
            if (!SetCommMask(port, mask)) lost = true;
            continue;
        }
        // Whatever woke the wait, bytes queued now are reported. A failed wait is a loss when
        // the line fails too; a line that cannot report its modem status (an emulator's
        // pseudo-terminal) fails every wait while it works: it is then looked at every 2 ms.
        DWORD line_errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &line_errors, &status)) {
            lost = true;
            break;
        }
        if (error != ERROR_SUCCESS && WaitForSingleObject(stop, 2) == WAIT_OBJECT_0) break;
        if (!running_) break;
        if (status.cbInQue == 0) continue;
        const DWORD queued = status.cbInQue;
        DataReady.emit(name);
        if (!running_) break;  // closed from inside the notification: the handles are gone
        if (os_->read_lost) {
            lost = true;
            break;
        }
        // A listener that left the bytes queued must not make this loop spin.
        if (ClearCommError(port, &line_errors, &status) && status.cbInQue >= queued &&
            WaitForSingleObject(stop, 2) == WAIT_OBJECT_0) {
            break;
        }
    }
    if (lost && running_) PortLost.emit(name);
}

}  // namespace kelvra::serial
