#include "apps/kelQtMessageBox.h"

#include "core/kelUtilsState.h"

#include <QMessageBox>
#include <QString>
#include <QWidget>

void kelQtInstallMessageBox()
{
    setMessageHook([](const kelString& text, const kelString& caption, uint32_t flags, void* owner) {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        if ((flags & 0xF0) == kelMbIconError)
            icon = QMessageBox::Critical;
        else if ((flags & 0xF0) == kelMbIconWarning)
            icon = QMessageBox::Warning;
        else if ((flags & 0xF0) == kelMbIconInfo)
            icon = QMessageBox::Information;
        QString body = QString::fromStdU16String(text);
        body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QMessageBox box(icon, QString::fromStdU16String(caption), body, QMessageBox::Ok,
                        static_cast<QWidget*>(owner));
        return box.exec() == QMessageBox::Ok ? 1 : 0;
    });
}
