#pragma once
// Random edits of a text box, as a user makes them with keys, mouse and
// clipboard: typing (letters, a Cyrillic letter, an emoji, a combining
// accent, tab), Backspace and Delete alone and with Ctrl, every cursor key
// alone, with Ctrl and with Shift, Return and Shift+Return, typing over a
// selection, mouse clicks and Shift+clicks, paste (now and then with a
// control character in it), undo and redo, select-all and Insert. The same
// seed gives the same edits. Window thread; the box must be shown, enabled
// and focused.

#include <QString>

#include <cstdint>
#include <random>

class QPlainTextEdit;

class kelTestEditDriver
{
public:
    explicit kelTestEditDriver(uint32_t seed) : f_random(seed) {}

    // Makes one edit on `box` and says what it was, for failure messages.
    QString step(QPlainTextEdit* box);

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(f_random); }
    QString someText();

    std::mt19937 f_random;
};
