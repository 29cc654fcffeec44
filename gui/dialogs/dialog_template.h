// Dialog templates: each window keeps its controls (id, kind, caption, rectangle in dialog
// units) in one table beside its class; BuildTemplate turns a table into widgets. Dialog units
// become pixels from the dialog font's average character width and height, as the platform
// the windows were designed on does, so the layout keeps its proportions with any font.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

#include <functional>
#include <map>
#include <span>
#include <vector>

class QButtonGroup;
class QWidget;

namespace kelvra::gui::dialogs {

enum class Kind {
    Label,       // static text, left aligned (kCentred: centred)
    GroupBox,    // frame with a caption
    Frame,       // a plain sunken frame (a tab control without tabs)
    Button,
    CheckBox,
    Radio,       // joins the group of the last radio with kGroupStart
    Edit,
    DropDown,    // a drop-down list; the template's height is the opened list's
    Progress,    // a plain progress bar, range 0 to 100
    Custom,      // made by the caller's factory
};

enum Style : unsigned {
    kPlain = 0,
    kHidden = 1u << 0,
    kGroupStart = 1u << 1,  // radio: the first of its group
    kCentred = 1u << 2,     // label or edit text centred
    kDigits = 1u << 3,      // edit: digits only
    kPassword = 1u << 4,    // edit: masked
    kReadOnly = 1u << 5,    // edit
    kDefault = 1u << 6,     // button: the default button
};

struct ControlEntry {
    int id;  // 0 for a control that nothing refers to
    Kind kind;
    const char *caption;  // UTF-8
    int x, y, w, h;       // dialog units
    unsigned style = kPlain;
};

// Dialog units of one font: x * base_x / 4 and y * base_y / 8 pixels, rounded.
class DialogUnits {
public:
    DialogUnits(int base_x, int base_y) : base_x_(base_x), base_y_(base_y) {}
    // Average width of the 52 Latin letters, rounded, and the font's line height.
    static DialogUnits FromFont(const QFont &font);

    int X(int units) const;
    int Y(int units) const;
    // Maps the edges, as the platform does, so neighbours stay neighbours.
    QRect Rect(int x, int y, int w, int h) const;
    QSize Size(int w, int h) const;
    int base_x() const { return base_x_; }
    int base_y() const { return base_y_; }

    // Rectangles the windows give in pixels were drawn at these base units; they grow and
    // shrink with the font like everything else.
    static constexpr int kDesignBaseX = 7;
    static constexpr int kDesignBaseY = 14;
    QRect ScaledRect(const QRect &design_pixels) const;

private:
    int base_x_;
    int base_y_;
};

// What BuildTemplate made, by control id.
class TemplateControls {
public:
    QWidget *widget(int id) const;
    template <typename T>
    T *get(int id) const {
        return qobject_cast<T *>(widget(id));
    }
    // The radio group whose first radio has this id.
    QButtonGroup *group(int first_id) const;
    const std::vector<QWidget *> &in_order() const { return in_order_; }

private:
    friend TemplateControls BuildTemplate(QWidget *, std::span<const ControlEntry>, const DialogUnits &,
                                          const std::function<QWidget *(const ControlEntry &, QWidget *)> &);
    std::map<int, QWidget *> by_id_;
    std::map<int, QButtonGroup *> groups_;
    std::vector<QWidget *> in_order_;
};

using CustomFactory = std::function<QWidget *(const ControlEntry &, QWidget *parent)>;

// Creates the table's controls on `parent` in table order (which is also the tab order and
// the stacking order: later controls lie above earlier ones). Each control's object name is
// "ctl<id>" and its property "controlId" holds the id.
TemplateControls BuildTemplate(QWidget *parent, std::span<const ControlEntry> entries, const DialogUnits &units,
                               const CustomFactory &custom = {});

// The dialog font: the application's font (templates were drawn for 7 x 14 base units, which
// the common 9-point sans fonts give).
QFont DialogFont();

// Window flags of a fixed-size dialog with a title bar and a close box.
void MakeFixedDialog(QWidget *dialog, const QSize &client);

}  // namespace kelvra::gui::dialogs
