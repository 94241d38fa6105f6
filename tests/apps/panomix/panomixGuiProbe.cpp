// The panomix program as the virtual-display script runs it: the same
// window and output, plus a dump of what the window shows into
// "state.txt" beside the executable (rewritten whole every 200 ms): the
// channel label, the samples mixed so far, whether it plays, the tree
// and the sources, so the script checks what its keystrokes did by text rather than
// by pixels.

#include "apps/panomix/Tc_form_main.h"
#include "apps/panomix/Tc_form_sourceManage.h"
#include "apps/panomix/panomixQtApplication.h"
#include "apps/panomix/panomixComponentOutput.h"
#include "core/kelProgramLog.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QSaveFile>
#include <QTimer>
#include <QTreeWidget>

#include <memory>
#include <utility>

int main(int argc, char** argv)
{
    startProgramLog(u"panomix");
    QApplication app(argc, argv);
    panomixSetupApplication();
    panomixPlayVirtualIntoNothing();

    panomixWindowSetup setup;
    setup.output = std::make_unique<panomixComponentOutput>();
    Tc_form_main window(std::move(setup));

    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/state.txt");
    QTimer dump;
    dump.setInterval(200);
    QObject::connect(&dump, &QTimer::timeout, [&] {
        QString text = QStringLiteral("channels=") + window.c_label_channels->text() + u'\n';
        text += QStringLiteral("mixed=") + QString::number(window.engine().totalMixed()) + u'\n';
        text += QStringLiteral("playing=") + (window.ac_close->isEnabled() ? u'1' : u'0') + u'\n';
        for (int i = 0; i < window.c_tv_mapping->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* root = window.c_tv_mapping->topLevelItem(i);
            text += QStringLiteral("tree=") + root->text(0);
            for (int k = 0; k < root->childCount(); ++k)
                text += QStringLiteral(" | ") + root->child(k)->text(0);
            text += u'\n';
        }
        for (size_t i = 0; i < window.sourceWindow().sourceCount(); ++i) {
            const kelAudioSource* source = window.sourceWindow().getSource(i);
            text += QStringLiteral("source=") + QString::fromStdU16String(source->name()) +
                    QStringLiteral(" mask=") + QString::number(source->mapping()) + u'\n';
        }
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(text.toUtf8());
        file.commit();
    });
    dump.start();
    window.show();
    return app.exec();
}
