#pragma once
// The program's application set-up, shared by main(), the virtual-display
// probe and the window tests.

#include <functional>

class Tc_form_main;

// Window thread, once, after the application object exists: names the
// application (no display name, which the X11 platform would append to
// every window title).
void panomixSetupApplication();

// The whole program: the log, the application, the virtual device playing
// into nothing, and the main window over the wave output component.
// `prepare`, when given, sees the window before it is shown. The event
// loop's exit code.
int panomixRunProgram(int argc, char** argv, const std::function<void(Tc_form_main&)>& prepare = {});
