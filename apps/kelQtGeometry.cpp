#include "apps/kelQtGeometry.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace {

bool onSomeScreen(const QRect& frame)
{
    const auto screens = QGuiApplication::screens();
    for (const QScreen* s : screens)
        if (s->availableGeometry().intersects(frame)) return true;
    return screens.isEmpty();
}

} // namespace

kelString kelQtGeometry::controlName() const
{
    return f_widget->objectName().toStdU16String();
}

bool kelQtGeometry::isTopLevel() const
{
    return f_widget->isWindow();
}

kelControlBounds kelQtGeometry::bounds() const
{
    if (f_widget->isWindow() && f_normal != nullptr && f_normal->width > 0 && f_normal->height > 0)
        return *f_normal;
    if (f_widget->isWindow() && (f_widget->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))) {
        // Qt's normal geometry is the client area; the position saved is
        // the frame's.
        const QRect r = f_widget->normalGeometry();
        const QPoint frame = f_widget->pos() - f_widget->geometry().topLeft();
        if (r.isValid()) return {r.x() + frame.x(), r.y() + frame.y(), r.width(), r.height()};
    }
    return {f_widget->x(), f_widget->y(), f_widget->width(), f_widget->height()};
}

void kelQtGeometry::setBounds(const kelControlBounds& b)
{
    const QSize size =
        QSize(static_cast<int>(b.width), static_cast<int>(b.height)).expandedTo(f_widget->minimumSize());
    f_widget->resize(size);
    const QPoint pos(static_cast<int>(b.left), static_cast<int>(b.top));
    if (!f_widget->isWindow()) {
        f_widget->move(pos);
        return;
    }
    if (!onSomeScreen(QRect(pos, size))) return;
    // Moving a window whose frame is not yet known would place its client
    // area there, and the saved frame position would creep up by the
    // title bar's height at every start.
    f_widget->move(pos);
    if (QWindow* window = f_widget->windowHandle()) window->setFramePosition(pos);
}

bool kelQtGeometry::isEnabled() const
{
    return f_widget->isEnabled();
}

void kelQtGeometry::setEnabled(bool enabled)
{
    f_widget->setEnabled(enabled);
}

bool kelQtGeometry::isVisible() const
{
    return f_widget->isVisible();
}

void kelQtGeometry::setVisible(bool visible)
{
    f_widget->setVisible(visible);
}

intptr_t kelQtGeometry::windowState() const
{
    const Qt::WindowStates s = f_widget->windowState();
    if (s & Qt::WindowMinimized) return kelWindowStateMinimized;
    if (s & Qt::WindowMaximized) return kelWindowStateMaximized;
    return kelWindowStateNormal;
}

void kelQtGeometry::setWindowState(intptr_t state)
{
    Qt::WindowStates s = f_widget->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
    if (state == kelWindowStateMinimized) s |= Qt::WindowMinimized;
    if (state == kelWindowStateMaximized) s |= Qt::WindowMaximized;
    f_widget->setWindowState(s);
}

void kelQtGeometry::noteNormalBounds(const QWidget* window, kelControlBounds& normal)
{
    // The window system's state changes before the widget's does, and the
    // new geometry may arrive in between.
    constexpr Qt::WindowStates notNormal = Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen;
    if (!window->isVisible() || (window->windowState() & notNormal)) return;
    if (window->windowHandle() != nullptr && (window->windowHandle()->windowStates() & notNormal)) return;
    normal = {window->x(), window->y(), window->width(), window->height()};
}
