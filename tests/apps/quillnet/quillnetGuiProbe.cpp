// The quillnet program as the virtual-display script runs it: the same
// window and components, plus a dump of the text box into "box.txt" beside
// the executable (UTF-8, rewritten whole whenever the box changes), so the
// script compares both boxes by their text rather than by their pixels.

#include "apps/quillnet/Tc_form_main.h"
#include "apps/quillnet/quillnetApplication.h"
#include "apps/quillnet/quillnetIPLink.h"
#include "apps/quillnet/quillnetMemo.h"
#include "core/kelProgramLog.h"

#include <QApplication>
#include <QFile>
#include <QSaveFile>
#include <QTimer>

#include <memory>
#include <utility>

int main(int argc, char** argv)
{
    startProgramLog(u"quillnet");
    QApplication app(argc, argv);
    quillnetSetupApplication();

    quillnetWindowSetup setup;
    setup.transmitter = std::make_unique<quillnetIPLink>(quillnetIPLink::role::transmitter);
    setup.receiver = std::make_unique<quillnetIPLink>(quillnetIPLink::role::receiver);
    Tc_form_main window(std::move(setup));

    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/box.txt");
    QString dumped;
    bool first = true;
    QTimer dump;
    dump.setInterval(50);
    QObject::connect(&dump, &QTimer::timeout, [&] {
        const QString text = window.c_memo_text->toPlainText();
        if (!first && text == dumped) return;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(text.toUtf8());
        if (file.commit()) {
            dumped = text;
            first = false;
        }
    });
    dump.start();
    window.show();
    return app.exec();
}
