// quillnet: carries typed text between two machines as real-time text.

#include "apps/quillnet/Tc_form_main.h"
#include "apps/quillnet/quillnetMessageBox.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("quillnet"));
    app.setApplicationDisplayName(QString::fromUtf16(Tc_form_main::kCaption));
    quillnetInstallMessageBox();

    Tc_form_main window(quillnetWindowSetup{});
    window.show();
    return app.exec();
}
