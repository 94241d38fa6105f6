#include "apps/panomix/panomixQtApplication.h"

#include <QCoreApplication>
#include <QString>

void panomixSetupApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("panomix"));
}
