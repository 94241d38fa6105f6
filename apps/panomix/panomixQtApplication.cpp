#include "apps/panomix/panomixQtApplication.h"
#include "apps/panomix/Tc_form_main.h"
#include "apps/kelQtMessageBox.h"
#include "apps/panomix/panomixComponentOutput.h"
#include "core/kelProgramLog.h"

#include <QApplication>
#include <QString>

#include <memory>
#include <utility>

void panomixSetupApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("panomix"));
}

int panomixRunProgram(int argc, char** argv, const std::function<void(Tc_form_main&)>& prepare)
{
    // Failures the library reports go to standard error and the program's log file.
    startProgramLog(u"panomix");
    QApplication app(argc, argv);
    panomixSetupApplication();
    kelQtInstallMessageBox();
    panomixPlayVirtualIntoNothing();

    panomixWindowSetup setup;
    setup.output = std::make_unique<panomixComponentOutput>();
    Tc_form_main window(std::move(setup));
    if (prepare) prepare(window);
    window.show();
    return app.exec();
}
