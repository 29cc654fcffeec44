#include "gui/app/fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QRawFont>

namespace kelvra::gui::app {

QString ProgramTextSample() {
    return QStringLiteral("扫描AT端口执行命令添加插入删除上移下移清空导出加载脚本断开连接查看文件打印获取信息覆盖"
                          "调试模式已连接未连接失败成功序号参数鼠标双击设置修改所有指令完成请选择");
}

QString FamilyCovering(const QString &text, const QStringList &families) {
    for (const QString &family : families) {
        // The font itself, not the fallbacks the font engine would add.
        const QRawFont raw = QRawFont::fromFont(QFont(family));
        if (!raw.isValid() || raw.familyName() != family) continue;
        bool all = true;
        for (const QChar c : text) {
            if (!raw.supportsCharacter(c)) {
                all = false;
                break;
            }
        }
        if (all) return family;
    }
    return {};
}

QString MissingFontWarning() {
    // Fonts that declare Chinese first; every other font only when none does.
    const QString sample = ProgramTextSample();
    if (!FamilyCovering(sample, QFontDatabase::families(QFontDatabase::SimplifiedChinese)).isEmpty()) return {};
    if (!FamilyCovering(sample, QFontDatabase::families()).isEmpty()) return {};
    return QStringLiteral("No installed font shows Chinese: the captions will be empty boxes. "
                          "Install fonts-wqy-microhei or fonts-noto-cjk.");
}

}  // namespace kelvra::gui::app
