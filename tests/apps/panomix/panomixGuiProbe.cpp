// The panomix program as the virtual-display script runs it: the same
// window and output, plus a dump of what the window shows into
// "state.txt" beside the executable (rewritten whole every 200 ms): the
// channel label, the samples mixed so far, whether it plays, the tree
// and the sources, so the script checks what its keystrokes did by text rather than
// by pixels.

#include "apps/panomix/Tc_form_main.h"
#include "apps/panomix/Tc_form_sourceManage.h"
#include "apps/panomix/panomixQtApplication.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QSaveFile>
#include <QTimer>
#include <QTreeWidget>

int main(int argc, char** argv)
{
    return panomixRunProgram(argc, argv, [](Tc_form_main& window) {
        auto* dump = new QTimer(&window);
        dump->setInterval(200);
        QObject::connect(dump, &QTimer::timeout, &window, [&window] {
            const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/state.txt");
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
        dump->start();
    });
}
