#include "apps/quillnet/quillnetApplication.h"

#include "apps/kelQtMessageBox.h"

#include <QCoreApplication>
#include <QString>

void quillnetSetupApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("quillnet"));
    kelQtInstallMessageBox();
}
