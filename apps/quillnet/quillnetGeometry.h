#pragma once
// kelControlGeometry over a Qt widget, so the library's position routines
// can save and restore the main window. Window thread only.

#include "core/kelControlPosition.h"

class QWidget;

class quillnetGeometry final : public kelControlGeometry
{
public:
    // `widget` must outlive this object; its objectName is the key prefix.
    explicit quillnetGeometry(QWidget* widget) noexcept : f_widget(widget) {}

    kelString controlName() const override;
    bool isTopLevel() const override;
    // A top-level window's frame position and its size; while it is
    // minimised or maximised, its normal bounds.
    kelControlBounds bounds() const override;
    // A position that would put the window wholly off every screen (a
    // monitor that has gone) keeps the current position; sizes below the
    // minimum are raised to it.
    void setBounds(const kelControlBounds& bounds) override;
    bool isEnabled() const override;
    void setEnabled(bool enabled) override;
    bool isVisible() const override;
    void setVisible(bool visible) override;
    bool isDocked() const override { return false; }
    intptr_t dockOrientation() const override { return 0; }
    void setDockOrientation(intptr_t) override {}
    intptr_t windowState() const override;
    void setWindowState(intptr_t state) override;

private:
    QWidget* f_widget;
};
