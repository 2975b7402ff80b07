#pragma once

#include <QWidget>
#include <functional>
#include <map>

#include "resources/DialogLayouts.h"

class DialogUnits;

// Builds the controls of one dialog template as children of a widget, placed
// in pixels converted from the template's dialog units, and gives access to
// them by control id. A link control calls onLinkClicked with its id.
//
// GUI thread only.
class DialogBuilder {
public:
    using LinkHandler = std::function<void(int controlId)>;

    using Factory = std::function<QWidget*(QWidget* parent)>;

    // Makes the control with this id with factory instead of the widget its
    // kind gives (for controls of their own class, such as the lamp).
    void setFactory(int controlId, Factory factory) { factories[controlId] = std::move(factory); }

    // Builds every control of the template into owner and sizes owner to the
    // template (dialogs fix their size themselves). Returns false when the template does not exist.
    bool build(QWidget& owner, int dialogId, LinkHandler onLinkClicked = {});

    // The control with this id, or nullptr.
    QWidget* control(int controlId) const;
    template <typename T>
    T* controlAs(int controlId) const {
        return qobject_cast<T*>(control(controlId));
    }

    // The template's size in pixels (valid after build).
    QSize size() const { return pixelSize; }
    // For a dialog that rearranges its controls after build.
    void setSize(QSize size) { pixelSize = size; }

private:
    // The steps of build, per control of the template.
    // The control as its factory makes it, or else as its kind gives it; a
    // child of owner.
    QWidget* makeControl(QWidget& owner, const resources::ControlLayout& c,
                         const LinkHandler& onLinkClicked);
    // Puts widget where the template says, in pixels of units; may grow the
    // dialog for a label that runs wider than its template.
    void placeControl(QWidget& owner, const resources::ControlLayout& c, QWidget& widget,
                      const DialogUnits& units);

    std::map<int, Factory> factories;
    std::map<int, QWidget*> controls;  // children of the owner; owned by it
    QSize pixelSize;
};
