// quillnet: carries typed text between two machines as real-time text.

#include "apps/quillnet/Tc_form_main.h"
#include "apps/quillnet/quillnetIPLink.h"
#include "apps/quillnet/quillnetApplication.h"
#include "core/kelProgramLog.h"

#include <QApplication>

#include <memory>
#include <utility>

int main(int argc, char** argv)
{
    // Failures the library reports go to standard error and the program's log file.
    startProgramLog(u"quillnet");
    QApplication app(argc, argv);
    quillnetSetupApplication();

    quillnetWindowSetup setup;
    setup.transmitter = std::make_unique<quillnetIPLink>(quillnetIPLink::role::transmitter);
    setup.receiver = std::make_unique<quillnetIPLink>(quillnetIPLink::role::receiver);
    Tc_form_main window(std::move(setup));
    window.show();
    return app.exec();
}
