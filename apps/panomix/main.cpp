// panomix: mixes live, file and tone sources into one multichannel stream
// and plays it through the wave output.

#include "apps/panomix/Tc_form_main.h"
#include "apps/panomix/panomixQtApplication.h"
#include "apps/panomix/panomixComponentOutput.h"
#include "core/kelProgramLog.h"

#include <QApplication>

#include <memory>
#include <utility>

int main(int argc, char** argv)
{
    // Failures the library reports go to standard error and the program's log file.
    startProgramLog(u"panomix");
    QApplication app(argc, argv);
    panomixSetupApplication();
    panomixPlayVirtualIntoNothing();

    panomixWindowSetup setup;
    setup.output = std::make_unique<panomixComponentOutput>();
    Tc_form_main window(std::move(setup));
    window.show();
    return app.exec();
}
