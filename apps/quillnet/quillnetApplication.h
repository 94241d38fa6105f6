#pragma once
// The program's application set-up, shared by main() and the window tests.
// Window thread, once, after the application object exists.

// Names the application and shows the library's messages in the toolkit's
// message box. No display name is set: the X11 platform appends it to every
// window title that does not already end with it, which would turn the
// About box's caption into more than "About". The main window carries the
// program's title as its own caption.
void quillnetSetupApplication();
