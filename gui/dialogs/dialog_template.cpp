#include "gui/dialogs/dialog_template.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

namespace kelvra::gui::dialogs {

DialogUnits DialogUnits::FromFont(const QFont &font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogUnits((width / 26 + 1) / 2, metrics.height());
}

int DialogUnits::X(int units) const { return (units * base_x_ + 2) / 4; }
int DialogUnits::Y(int units) const { return (units * base_y_ + 4) / 8; }

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
    const int left = X(x), top = Y(y);
    return QRect(left, top, X(x + w) - left, Y(y + h) - top);
}

QSize DialogUnits::Size(int w, int h) const { return QSize(X(w), Y(h)); }

QRect DialogUnits::ScaledRect(const QRect &r) const {
    const auto sx = [this](int px) { return (px * base_x_ + kDesignBaseX / 2) / kDesignBaseX; };
    const auto sy = [this](int px) { return (px * base_y_ + kDesignBaseY / 2) / kDesignBaseY; };
    const int left = sx(r.left()), top = sy(r.top());
    return QRect(left, top, sx(r.left() + r.width()) - left, sy(r.top() + r.height()) - top);
}

QWidget *TemplateControls::widget(int id) const {
    const auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : it->second;
}

QButtonGroup *TemplateControls::group(int first_id) const {
    const auto it = groups_.find(first_id);
    return it == groups_.end() ? nullptr : it->second;
}

namespace {

QWidget *MakeStandard(const ControlEntry &entry, QWidget *parent) {
    const QString caption = QString::fromUtf8(entry.caption);
    switch (entry.kind) {
        case Kind::Label: {
            auto *label = new QLabel(caption, parent);
            // Centred in its height, so a label lines up with the taller edit beside it.
            label->setAlignment(entry.style & kCentred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter);
            return label;
        }
        case Kind::GroupBox: return new QGroupBox(caption, parent);
        case Kind::Frame: {
            auto *frame = new QFrame(parent);
            frame->setFrameShape(QFrame::StyledPanel);
            frame->setFrameShadow(QFrame::Raised);
            return frame;
        }
        case Kind::Button: {
            auto *button = new QPushButton(caption, parent);
            button->setAutoDefault(false);
            if (entry.style & kDefault) button->setDefault(true);
            return button;
        }
        case Kind::CheckBox: return new QCheckBox(caption, parent);
        case Kind::Radio: return new QRadioButton(caption, parent);
        case Kind::Edit: {
            auto *edit = new QLineEdit(parent);
            if (entry.style & kCentred) edit->setAlignment(Qt::AlignCenter);
            if (entry.style & kPassword) edit->setEchoMode(QLineEdit::Password);
            if (entry.style & kReadOnly) edit->setReadOnly(true);
            if (entry.style & kDigits) {
                edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
            }
            return edit;
        }
        case Kind::DropDown: return new QComboBox(parent);
        case Kind::Progress: {
            auto *bar = new QProgressBar(parent);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            return bar;
        }
        case Kind::Custom: break;
    }
    return nullptr;
}

}  // namespace

TemplateControls BuildTemplate(QWidget *parent, std::span<const ControlEntry> entries, const DialogUnits &units,
                               const CustomFactory &custom) {
    TemplateControls controls;
    QButtonGroup *group = nullptr;
    int group_index = 0;
    for (const ControlEntry &entry : entries) {
        QWidget *w = entry.kind == Kind::Custom ? (custom ? custom(entry, parent) : nullptr) : MakeStandard(entry, parent);
        if (w == nullptr) continue;
        QRect rect = units.Rect(entry.x, entry.y, entry.w, entry.h);
        // The closed list keeps the platform's height; the template's is that of the open list.
        if (entry.kind == Kind::DropDown) rect.setHeight(w->sizeHint().height());
        w->setGeometry(rect);
        w->setObjectName(QStringLiteral("ctl%1").arg(entry.id));
        w->setProperty("controlId", entry.id);
        if (entry.style & kHidden) w->setHidden(true);
        if (entry.kind == Kind::Radio) {
            if (entry.style & kGroupStart || group == nullptr) {
                group = new QButtonGroup(parent);
                group->setExclusive(true);
                group_index = 0;
                controls.groups_[entry.id] = group;
            }
            group->addButton(static_cast<QRadioButton *>(w), group_index++);
        }
        if (entry.id != 0) controls.by_id_[entry.id] = w;
        controls.in_order_.push_back(w);
    }
    return controls;
}

QFont DialogFont() { return QApplication::font(); }

void MakeFixedDialog(QWidget *dialog, const QSize &client) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint);
    dialog->setFixedSize(client);
}

}  // namespace kelvra::gui::dialogs
