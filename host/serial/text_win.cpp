#include "host/serial/text_win.h"

#include <windows.h>

namespace kelvra::serial::detail {

std::wstring Widen(const std::string &utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const wchar_t *text, size_t length) {
    if (text == nullptr || length == 0) return {};
    const int in = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, in, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, in, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::string Narrow(const std::wstring &text) { return Narrow(text.data(), text.size()); }

}  // namespace kelvra::serial::detail
