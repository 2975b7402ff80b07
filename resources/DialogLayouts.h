#pragma once

#include <span>

// The dialog templates of the gateway as data: every window of the program is
// laid out from these tables, in dialog units of the template's font. The
// windows convert them to pixels once, when they are built.
namespace resources {

enum class ControlKind {
    kPushButton,
    kDefaultPushButton,
    kStatic,  // static text; kSunken / kCentre / kVCentre refine it
    kCheckBox,
    kRadioButton,
    kGroupBox,
    kComboBox,  // with an edit field
    kLink,
    kIcon,
    kCustom,  // made by the window itself (never in a template)
};

// Style bits of a control.
constexpr int kCentre = 1 << 0;      // text centred horizontally
constexpr int kVCentre = 1 << 1;     // text centred vertically
constexpr int kSunken = 1 << 2;      // sunken frame
constexpr int kGroupStart = 1 << 3;  // first radio button of its group
constexpr int kVScroll = 1 << 4;     // vertical scroll bar on the list
constexpr int kSorted = 1 << 5;      // the template asks for a sorted list

struct ControlLayout {
    int id;
    ControlKind kind;
    const char* text;  // UTF-8
    int x;
    int y;
    int width;
    int height;
    int style;
};

struct DialogLayout {
    int id;
    const char* caption;  // UTF-8; empty for child dialogs
    int width;            // dialog units
    int height;
    const char* fontFamily;
    int fontPoints;
    std::span<const ControlLayout> controls;
};

// The template with this resource number, or nullptr.
const DialogLayout* findDialog(int dialogId);
// The control with this id in the template, or nullptr.
const ControlLayout* findControl(const DialogLayout& dialog, int controlId);

}  // namespace resources
