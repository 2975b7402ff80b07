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
}  // namespace

bool DialogBuilder::build(QWidget& owner, int dialogId, LinkHandler onLinkClicked) {
    using resources::ControlKind;
    const resources::DialogLayout* layout = resources::findDialog(dialogId);
    if (layout == nullptr) {
        return false;
    }
    const DialogUnits& units = DialogUnits::forFont(layout->fontPoints);
    const QFont font = DialogUnits::font(layout->fontPoints);
    owner.setFont(font);
    pixelSize = QSize(units.toPixelsX(layout->width), units.toPixelsY(layout->height));
    owner.resize(pixelSize);
    if (layout->caption[0] != '\0') {
        owner.setWindowTitle(QString::fromUtf8(layout->caption));
    }

    for (const resources::ControlLayout& c : layout->controls) {
        const QString text = QString::fromUtf8(c.text);
        QWidget* widget = nullptr;
        if (auto factory = factories.find(c.id); factory != factories.end()) {
            widget = factory->second(&owner);
        }
        switch (widget != nullptr ? ControlKind::kCustom : c.kind) {
            case ControlKind::kCustom:
                break;
            case ControlKind::kPushButton:
            case ControlKind::kDefaultPushButton: {
                auto* button = new QPushButton(text, &owner);
                button->setAutoDefault(false);
                button->setDefault(c.kind == ControlKind::kDefaultPushButton);
                widget = button;
                break;
            }
            case ControlKind::kStatic: {
                auto* label = new QLabel(text, &owner);
                Qt::Alignment align =
                    (c.style & resources::kCentre) ? Qt::AlignHCenter : Qt::AlignLeft;
                align |= (c.style & (resources::kVCentre | resources::kSunken)) ? Qt::AlignVCenter
                                                                                : Qt::AlignTop;
                label->setAlignment(align);
                if (c.style & resources::kSunken) {
                    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                    label->setLineWidth(1);
                }
                widget = label;
                break;
            }
            case ControlKind::kCheckBox:
                widget = new QCheckBox(text, &owner);
                break;
            case ControlKind::kRadioButton:
                // The templates hold one radio group each; buttons sharing
                // the owner as parent are exclusive among themselves.
                widget = new QRadioButton(text, &owner);
                break;
            case ControlKind::kGroupBox: {
                auto* group = new QGroupBox(text, &owner);
                widget = group;
                break;
            }
            case ControlKind::kComboBox: {
                auto* combo = new QComboBox(&owner);
                combo->setEditable(true);
                combo->setInsertPolicy(QComboBox::NoInsert);
                widget = combo;
                break;
            }
            case ControlKind::kLink: {
                auto* label = new QLabel(&owner);
                label->setText(QStringLiteral("<a href=\"#\">%1</a>").arg(text.toHtmlEscaped()));
                label->setTextFormat(Qt::RichText);
                label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
                const int id = c.id;
                QObject::connect(label, &QLabel::linkActivated, label, [onLinkClicked, id] {
                    if (onLinkClicked) {
                        onLinkClicked(id);
                    }
                });
                widget = label;
                break;
            }
            case ControlKind::kIcon: {
                auto* label = new QLabel(&owner);
                label->setPixmap(programIcon().pixmap(kIconPixels, kIconPixels));
                widget = label;
                break;
            }
        }
        QRect rect = units.toPixels(c.x, c.y, c.width, c.height);
        if (c.kind == ControlKind::kComboBox) {
            // The template's height includes the drop-down list; the closed
            // box is one line high.
            rect.setHeight(widget->sizeHint().height());
        }
        if (c.kind == ControlKind::kLink || c.kind == ControlKind::kCheckBox ||
            c.kind == ControlKind::kRadioButton) {
            // The stand-in font runs wider than the template's; a label keeps
            // its whole text, and the dialog grows to hold it.
            rect.setWidth(std::max(rect.width(), widget->sizeHint().width()));
            const int right = rect.x() + rect.width() + units.toPixelsX(kGrowMarginUnits);
            if (c.kind != ControlKind::kLink && right > pixelSize.width()) {
                pixelSize.setWidth(right);
                owner.resize(pixelSize);
            }
        }
        if (c.kind == ControlKind::kIcon) {
            rect.setSize(QSize(kIconPixels, kIconPixels));
        }
        widget->setGeometry(rect);
        if (c.kind == ControlKind::kGroupBox) {
            widget->lower();
        }
        if (c.id != resources::kIdNone) {
            controls[c.id] = widget;
        }
    }
    return true;
}

QWidget* DialogBuilder::control(int controlId) const {
    auto it = controls.find(controlId);
    return it == controls.end() ? nullptr : it->second;
}
