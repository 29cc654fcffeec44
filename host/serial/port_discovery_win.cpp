// Port listing from SetupAPI: the present devices of the Ports class, each with its
// "PortName" from the device's hardware key, friendly name and first hardware ID.
#include "host/serial/port_discovery.h"
#include "host/serial/text_win.h"

#include <windows.h>
#include <setupapi.h>

#include <cwctype>

namespace kelvra::serial {
namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the Ports (COM and LPT) device class.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr DWORD kBufferBytes = 256;

// A wide string of at most `bytes` bytes, cut at its first null; empty when it is no text.
std::string text_value(const BYTE *data, DWORD bytes, DWORD type) {
    if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) return {};
    const auto *text = reinterpret_cast<const wchar_t *>(data);
    size_t length = 0;
    while (length < bytes / sizeof(wchar_t) && text[length] != L'\0') ++length;
    return detail::Narrow(text, length);
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
    alignas(wchar_t) BYTE buffer[kBufferBytes] = {};
    DWORD type = 0, size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, buffer, sizeof buffer, &size)) {
        return {};
    }
    return text_value(buffer, size < sizeof buffer ? size : sizeof buffer, type);
}

bool port_name_of(HDEVINFO set, SP_DEVINFO_DATA &device, std::string &name) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return false;
    alignas(wchar_t) BYTE buffer[kBufferBytes] = {};
    DWORD type = 0, size = sizeof buffer;
    const LONG status = RegQueryValueExW(key, L"PortName", nullptr, &type, buffer, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return false;
    name = text_value(buffer, size, type);
    return !name.empty();
}

std::string upper(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// A plain port name such as COM5, as opposed to a device path.
bool is_plain_name(const std::string &text) {
    return !text.empty() && text.find_first_of("\\/:") == std::string::npos;
}

}  // namespace

std::string DevicePathFor(const std::string &port_name) { return "\\\\.\\" + port_name; }

std::vector<PortRecord> EnumeratePorts(const std::filesystem::path & /*sysfs_root*/) {
    std::vector<PortRecord> ports;
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return ports;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        std::string name;
        if (!port_name_of(set, device, name)) continue;
        name = upper(name);
        if (name.find("LPT") != std::string::npos) continue;  // parallel ports
        PortRecord record;
        record.port_name = SafePortName(name);
        record.device_path = DevicePathFor(name);
        record.friendly_name = device_property(set, device, SPDRP_FRIENDLYNAME);
        // "USB Serial Device (COM3)" is listed as "USB Serial Device ": the port has its own column.
        if (const auto com = record.friendly_name.find("(COM"); com != std::string::npos) {
            record.friendly_name.erase(com);
        }
        record.hardware_id = device_property(set, device, SPDRP_HARDWAREID);
        ports.push_back(std::move(record));
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

namespace detail {

PortRecord NamedPort(const std::string &path) {
    PortRecord record;
    record.explicit_port = true;
    if (is_plain_name(path)) {
        record.port_name = SafePortName(upper(path));
        record.device_path = DevicePathFor(upper(path));
    } else {
        record.device_path = path;
        const auto cut = path.find_last_of("\\/");
        record.port_name = SafePortName(upper(cut == std::string::npos ? path : path.substr(cut + 1)));
    }
    record.friendly_name = record.device_path;
    return record;
}

bool SameDevice(const std::string &a, const std::string &b) { return upper(a) == upper(b); }

}  // namespace detail

}  // namespace kelvra::serial
