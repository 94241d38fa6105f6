#pragma once
// The window's text box. Typing into it raises two hooks before the box
// edits itself, as a key-down and a key-press handler would: onKeyDown with
// the key's virtual-key code (0 for keys without one), then onKeyPress with
// the characters the key typed. Received edits arrive as posted
// quillnetReplayEvents and are applied on the window thread even while the
// box is disabled (the receiving side keeps it disabled so the user cannot
// type into it); they raise neither hook.

#include <QEvent>
#include <QPlainTextEdit>
#include <QString>

#include <cstdint>
#include <functional>

class QKeyEvent;

// A received character (like a posted character message) or editing key
// (like a posted key-down message) for a quillnetMemo.
class quillnetReplayEvent final : public QEvent
{
public:
    quillnetReplayEvent(bool keyDown, char16_t value);

    static QEvent::Type eventType();
    bool keyDown() const noexcept { return f_keyDown; }
    // The character, or the editing key's virtual-key code.
    char16_t value() const noexcept { return f_value; }

private:
    bool f_keyDown;
    char16_t f_value;
};

// The toolkit key of an editing key's virtual-key code and back; 0 for
// keys outside the table.
int quillnetQtKeyOfVirtualKey(uint16_t virtualKey) noexcept;
uint16_t quillnetVirtualKeyOfQtKey(int qtKey) noexcept;

class quillnetMemo final : public QPlainTextEdit
{
public:
    explicit quillnetMemo(QWidget* parent = nullptr);

    // Window thread; set once by the owning window.
    std::function<void(uint16_t virtualKey)> onKeyDown;
    std::function<void(const QString& text)> onKeyPress;

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    // The box's own editing, shared by typed and received keys. Insert
    // switches between inserting and overwriting.
    void applyKey(QKeyEvent* e);
    void replay(const quillnetReplayEvent& e);
};
