#pragma once
// Shows the library's messages (showMessage) in the toolkit's message box,
// owned by the window passed as owner. Window thread.

void kelQtInstallMessageBox();
