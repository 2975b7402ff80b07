#include "ui/DialogBuilder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>

#include "resources/ResourceIds.h"
#include "ui/DialogUnits.h"
#include "ui/ProgramIcon.h"

namespace {
constexpr int kIconPixels = 32;      // the program icon as a dialog shows it
constexpr int kGrowMarginUnits = 4;  // right margin of a dialog grown for a label

using resources::ControlKind;
using resources::ControlLayout;

// The owner takes the template's font, size and caption.
void prepareOwner(QWidget& owner, const resources::DialogLayout& layout, QSize pixelSize) {
    owner.setFont(DialogUnits::font(layout.fontPoints));
    owner.resize(pixelSize);
    if (layout.caption[0] != '\0') {
        owner.setWindowTitle(QString::fromUtf8(layout.caption));
    }
}

QWidget* makePushButton(QWidget& owner, const ControlLayout& c) {
    auto* button = new QPushButton(QString::fromUtf8(c.text), &owner);
    button->setAutoDefault(false);
    button->setDefault(c.kind == ControlKind::kDefaultPushButton);
    return button;
}

QWidget* makeStaticText(QWidget& owner, const ControlLayout& c) {
    auto* label = new QLabel(QString::fromUtf8(c.text), &owner);
    Qt::Alignment align = (c.style & resources::kCentre) ? Qt::AlignHCenter : Qt::AlignLeft;
    align |=
        (c.style & (resources::kVCentre | resources::kSunken)) ? Qt::AlignVCenter : Qt::AlignTop;
    label->setAlignment(align);
    if (c.style & resources::kSunken) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(1);
    }
    return label;
}

QWidget* makeComboBox(QWidget& owner) {
    auto* combo = new QComboBox(&owner);
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    return combo;
}

QWidget* makeLink(QWidget& owner, const ControlLayout& c,
                  const DialogBuilder::LinkHandler& onLinkClicked) {
    auto* label = new QLabel(&owner);
    label->setText(
        QStringLiteral("<a href=\"#\">%1</a>").arg(QString::fromUtf8(c.text).toHtmlEscaped()));
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    const int id = c.id;
    QObject::connect(label, &QLabel::linkActivated, label, [onLinkClicked, id] {
        if (onLinkClicked) {
            onLinkClicked(id);
        }
    });
    return label;
}

QWidget* makeIcon(QWidget& owner) {
    auto* label = new QLabel(&owner);
    label->setPixmap(programIcon().pixmap(kIconPixels, kIconPixels));
    return label;
}

// The widget the control's kind gives; nullptr for kCustom, which only a
// factory makes.
QWidget* makeWidgetOfKind(QWidget& owner, const ControlLayout& c,
                          const DialogBuilder::LinkHandler& onLinkClicked) {
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
        case ControlKind::kCustom:
            break;
        case ControlKind::kPushButton:
        case ControlKind::kDefaultPushButton:
            return makePushButton(owner, c);
        case ControlKind::kStatic:
            return makeStaticText(owner, c);
        case ControlKind::kCheckBox:
            return new QCheckBox(text, &owner);
        case ControlKind::kRadioButton:
            // The templates hold one radio group each; buttons sharing the
            // owner as parent are exclusive among themselves.
            return new QRadioButton(text, &owner);
        case ControlKind::kGroupBox:
            return new QGroupBox(text, &owner);
        case ControlKind::kComboBox:
            return makeComboBox(owner);
        case ControlKind::kLink:
            return makeLink(owner, c, onLinkClicked);
        case ControlKind::kIcon:
            return makeIcon(owner);
    }
    return nullptr;
}

}  // namespace

bool DialogBuilder::build(QWidget& owner, int dialogId, LinkHandler onLinkClicked) {
    const resources::DialogLayout* layout = resources::findDialog(dialogId);
    if (layout == nullptr) {
        return false;
    }
    const DialogUnits& units = DialogUnits::forFont(layout->fontPoints);
    pixelSize = QSize(units.toPixelsX(layout->width), units.toPixelsY(layout->height));
    prepareOwner(owner, *layout, pixelSize);
    for (const ControlLayout& c : layout->controls) {
        QWidget* widget = makeControl(owner, c, onLinkClicked);
        placeControl(owner, c, *widget, units);
        if (c.id != resources::kIdNone) {
            controls[c.id] = widget;
        }
    }
    return true;
}

QWidget* DialogBuilder::makeControl(QWidget& owner, const ControlLayout& c,
                                    const LinkHandler& onLinkClicked) {
    if (auto factory = factories.find(c.id); factory != factories.end()) {
        if (QWidget* widget = factory->second(&owner)) {
            return widget;
        }
    }
    return makeWidgetOfKind(owner, c, onLinkClicked);
}

void DialogBuilder::placeControl(QWidget& owner, const ControlLayout& c, QWidget& widget,
                                 const DialogUnits& units) {
    QRect rect = units.toPixels(c.x, c.y, c.width, c.height);
    if (c.kind == ControlKind::kComboBox) {
        // The template's height includes the drop-down list; the closed box
        // is one line high.
        rect.setHeight(widget.sizeHint().height());
    }
    if (c.kind == ControlKind::kLink || c.kind == ControlKind::kCheckBox ||
        c.kind == ControlKind::kRadioButton) {
        // The stand-in font runs wider than the template's; a label keeps
        // its whole text, and the dialog grows to hold it.
        rect.setWidth(std::max(rect.width(), widget.sizeHint().width()));
        const int right = rect.x() + rect.width() + units.toPixelsX(kGrowMarginUnits);
        if (c.kind != ControlKind::kLink && right > pixelSize.width()) {
            pixelSize.setWidth(right);
            owner.resize(pixelSize);
        }
    }
    if (c.kind == ControlKind::kIcon) {
        rect.setSize(QSize(kIconPixels, kIconPixels));
    }
    widget.setGeometry(rect);
    if (c.kind == ControlKind::kGroupBox) {
        // Behind the controls it frames, wherever the template lists it.
        widget.lower();
    }
}

QWidget* DialogBuilder::control(int controlId) const {
    auto it = controls.find(controlId);
    return it == controls.end() ? nullptr : it->second;
}
