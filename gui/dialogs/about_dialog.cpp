#include "gui/dialogs/about_dialog.h"

#include "gui/widgets/artwork.h"

#include <QLabel>
#include <QPushButton>

#ifndef KELVRA_VERSION
#define KELVRA_VERSION "0"
#endif

namespace kelvra::gui::dialogs {
namespace {

constexpr int kIcon = 100;
constexpr int kName = 101;
constexpr int kLine = 102;
constexpr int kOk = 1;

const std::string kNameText = std::string("Kelvra_ATCmd_GUI，版本 ") + KELVRA_VERSION;

const ControlEntry kTemplate[] = {
    {kIcon, Kind::Custom, "", 14, 14, 21, 20},
    {kName, Kind::Label, kNameText.c_str(), 42, 14, 150, 10},
    {kLine, Kind::Label, "在所有已连接的写入器上同时执行 AT 命令列表", 42, 28, 150, 10},
    {kOk, Kind::Button, "确定", 142, 45, 50, 14, kDefault},
};
constexpr int kWidthUnits = 200;
constexpr int kHeightUnits = 66;

}  // namespace

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 Kelvra_ATCmd_GUI"));
    setWindowIcon(widgets::ProgramIcon());
    const DialogUnits units = DialogUnits::FromFont(DialogFont());
    MakeFixedDialog(this, units.Size(kWidthUnits, kHeightUnits));
    controls_ = BuildTemplate(this, kTemplate, units, [](const ControlEntry &, QWidget *owner) {
        auto *icon = new QLabel(owner);
        icon->setPixmap(widgets::ProgramIcon().pixmap(32, 32));
        return icon;
    });
    connect(controls_.get<QPushButton>(kOk), &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace kelvra::gui::dialogs
