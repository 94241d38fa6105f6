#pragma once
// kelControlGeometry over a Qt widget, so the library's position routines
// can save and restore the main window. Window thread only.

#include "core/kelControlPosition.h"

class QWidget;

class kelQtGeometry final : public kelControlGeometry
{
public:
    // `widget` must outlive this object; its objectName is the key prefix.
    // `normalBounds`, when given, is the window's last frame position and
    // size in the normal state, as its owner noted them (see bounds()).
    explicit kelQtGeometry(QWidget* widget, const kelControlBounds* normalBounds = nullptr) noexcept
        : f_widget(widget), f_normal(normalBounds)
    {}

    kelString controlName() const override;
    bool isTopLevel() const override;
    // A top-level window's frame position and its size in the normal
    // state: the noted normal bounds when there are some (a window manager
    // un-maximises later than the state changes, so the current bounds
    // may still be the maximised ones), else the current ones, or Qt's
    // normal geometry while minimised or maximised.
    kelControlBounds bounds() const override;
    // A top-level window's frame goes to the position (asked of the window
    // system as a frame position, so it holds before the frame is known);
    // a position that would put the window wholly off every screen (a
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

    // Notes `window`'s frame position and size in `normal` while it is in
    // the normal state, for bounds() to save even while it is maximised.
    // Windows call it on every move and resize.
    static void noteNormalBounds(const QWidget* window, kelControlBounds& normal);

private:
    QWidget* f_widget;
    const kelControlBounds* f_normal;
};
