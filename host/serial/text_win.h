// UTF-8 and the wide strings of the Win32 interfaces.
#pragma once

#include <string>

namespace kelvra::serial::detail {

std::wstring Widen(const std::string &utf8);
std::string Narrow(const wchar_t *text, size_t length);
std::string Narrow(const std::wstring &text);

}  // namespace kelvra::serial::detail
