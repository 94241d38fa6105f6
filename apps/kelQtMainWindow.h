#pragma once
// kelQtMainWindow: what both programs' main windows share. It calls
// formShow once, when the window is first shown, keeps the window's bounds
// in the normal state as it moves and resizes, and restores and saves the
// window's position in a settings section. Window thread only.

#include "core/kelControlPosition.h"

#include <QMainWindow>

class kelQtMainWindow : public QMainWindow
{
public:
    using QMainWindow::QMainWindow;

protected:
    // The first show, after the window has its native handle.
    virtual void formShow() = 0;

    // Position, size and state from `section` of `storage`.
    void loadPosition(kelIniAbstractStorage* storage, const kelString& section);
    // The state and the normal bounds, even while the window is maximised.
    void savePosition(kelIniAbstractStorage* storage, const kelString& section);

    void showEvent(QShowEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    bool f_shown = false;
    kelControlBounds f_normalBounds{};
};
