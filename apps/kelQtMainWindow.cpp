#include "apps/kelQtMainWindow.h"
#include "apps/kelQtGeometry.h"

void kelQtMainWindow::loadPosition(kelIniAbstractStorage* storage, const kelString& section)
{
    kelQtGeometry geometry(this, &f_normalBounds);
    loadControlPosition(&geometry, storage, section, true, true);
}

void kelQtMainWindow::savePosition(kelIniAbstractStorage* storage, const kelString& section)
{
    kelQtGeometry::noteNormalBounds(this, f_normalBounds);
    kelQtGeometry geometry(this, &f_normalBounds);
    saveControlPosition(&geometry, storage, section, true);
}

void kelQtMainWindow::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    if (!f_shown) {
        f_shown = true;
        formShow();
    }
}

void kelQtMainWindow::moveEvent(QMoveEvent* e)
{
    QMainWindow::moveEvent(e);
    kelQtGeometry::noteNormalBounds(this, f_normalBounds);
}

void kelQtMainWindow::resizeEvent(QResizeEvent* e)
{
    QMainWindow::resizeEvent(e);
    kelQtGeometry::noteNormalBounds(this, f_normalBounds);
}
