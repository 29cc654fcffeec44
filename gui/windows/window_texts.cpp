#include "gui/windows/window_texts.h"

#include <regex>

namespace kelvra::gui::windows {

std::string WindowText(const std::string &text) {
    if (text == "Run stopped: ports ended after their current command") return "执行已停止：各端口执行完当前命令后结束";
    static const std::regex left_out(R"(^(\d+) serial port\(s\) left out: a scan opens at most (\d+) writers \(first left out: (.*)\)$)");
    std::smatch m;
    if (std::regex_match(text, m, left_out)) {
        return m[1].str() + "个串口未打开：一次扫描最多打开" + m[2].str() + "个Kelvra（第一个未打开的：" + m[3].str() + "）";
    }
    if (text.rfind("cannot save ", 0) == 0) return "无法保存：" + text.substr(12);
    return text;
}

}  // namespace kelvra::gui::windows
