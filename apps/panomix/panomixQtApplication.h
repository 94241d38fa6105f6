#pragma once
// The program's application set-up, shared by main() and the window tests.
// Window thread, once, after the application object exists: names the
// application (no display name, which the X11 platform would append to
// every window title).
void panomixSetupApplication();
