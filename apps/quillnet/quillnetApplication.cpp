#include "apps/quillnet/quillnetApplication.h"

#include "apps/quillnet/quillnetMessageBox.h"

#include <QCoreApplication>
#include <QString>

void quillnetSetupApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("quillnet"));
    quillnetInstallMessageBox();
}
