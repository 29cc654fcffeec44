// The engine's colours are 0x00BBGGRR values.
#pragma once

#include <QColor>

#include <cstdint>

namespace kelvra::gui::widgets {

inline QColor FromColorRef(std::uint32_t colour) {
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

inline std::uint32_t ToColorRef(const QColor &colour) {
    return static_cast<std::uint32_t>(colour.red()) | static_cast<std::uint32_t>(colour.green()) << 8 |
           static_cast<std::uint32_t>(colour.blue()) << 16;
}

}  // namespace kelvra::gui::widgets
