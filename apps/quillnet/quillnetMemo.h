#pragma once
// The window's text box. Typing into it raises two hooks before the box
// edits itself, as a key-down and a key-press handler would: onKeyDown with
// the key's virtual-key code (0 for keys without one, and for Up, Down,
// Page Up and Page Down, whose moves depend on the size of the box), then
// onKeyPress with the characters the key typed. Whatever else changes the
// box (the rest of a key's effect, mouse, paste, undo, drag and drop) is
// mirrored: onMirror gets the characters and editing keys that make the
// far box match this one, and an edit the encoding cannot carry is
// refused, the box going back to what the far box holds.
//
// Received edits arrive as posted quillnetReplayEvents and are applied on
// the window thread even while the box is disabled (the receiving side
// keeps it disabled so the user cannot type into it); they raise no hook.

#include "apps/quillnet/quillnetMirror.h"
#include "apps/quillnet/quillnetReplayBox.h"
#include "core/kelTypes.h"

#include <QEvent>
#include <QString>

#include <cstdint>
#include <functional>

class QKeyEvent;

// A received character (like a posted character message) or editing key
// (like a posted key-down message) for a quillnetMemo.
class quillnetReplayEvent final : public QEvent
{
public:
    quillnetReplayEvent(bool keyDown, char16_t value, char16_t low = 0);

    static QEvent::Type eventType();
    bool keyDown() const noexcept { return f_keyDown; }
    // The character, or the editing key's virtual-key code.
    char16_t value() const noexcept { return f_value; }
    // The second half of a character outside the BMP, else 0.
    char16_t low() const noexcept { return f_low; }

private:
    bool f_keyDown;
    char16_t f_value;
    char16_t f_low;
};

class quillnetMemo final : public quillnetReplayBox
{
public:
    explicit quillnetMemo(QWidget* parent = nullptr);

    // Window thread; set once by the owning window.
    std::function<void(uint16_t virtualKey)> onKeyDown;
    std::function<void(const QString& text)> onKeyPress;
    std::function<void(const kelString& text)> onMirror;

    // Empties the box, back in insert mode, and takes the far box to be
    // empty too: a new session starts. `mirror` for the sending box; the
    // receiving box mirrors nothing.
    void startOver(bool mirror);
    // Mirrors what changed since the last call; done after every event,
    // and queued after every change made from outside an event.
    void followEdits();

protected:
    bool event(QEvent* e) override;
    bool viewportEvent(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void queueFollow();

    quillnetMirror f_mirror;
    bool f_mirroring = false;
    bool f_following = false;
    bool f_queued = false;
};
