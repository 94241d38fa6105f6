#include "apps/quillnet/quillnetMemo.h"

#include "apps/quillnet/quillnetEditKeys.h"

#include <QKeyEvent>
#include <QTimer>

quillnetReplayEvent::quillnetReplayEvent(bool keyDown, char16_t value, char16_t low)
    : QEvent(eventType()), f_keyDown(keyDown), f_value(value), f_low(low)
{}

QEvent::Type quillnetReplayEvent::eventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

quillnetMemo::quillnetMemo(QWidget* parent) : quillnetReplayBox(parent)
{
    connect(this, &QPlainTextEdit::textChanged, this, &quillnetMemo::queueFollow);
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, &quillnetMemo::queueFollow);
}

void quillnetMemo::startOver(bool mirror)
{
    f_mirroring = mirror;
    f_following = true;
    clear();
    setOverwriteMode(false);
    f_mirror.reset();
    f_following = false;
}

void quillnetMemo::queueFollow()
{
    if (f_queued || f_following || !f_mirroring) return;
    f_queued = true;
    QTimer::singleShot(0, this, [this] {
        f_queued = false;
        followEdits();
    });
}

void quillnetMemo::followEdits()
{
    if (f_following || !f_mirroring) return;
    f_following = true;
    bool exact = true;
    const kelString text = f_mirror.follow(*this, exact);
    if (!text.empty() && onMirror) onMirror(text);
    if (!exact) f_mirror.restore(*this);
    f_following = false;
}

bool quillnetMemo::event(QEvent* e)
{
    // Handled before the base class, which drops input while disabled.
    if (e->type() == quillnetReplayEvent::eventType()) {
        const auto* r = static_cast<quillnetReplayEvent*>(e);
        replay({r->keyDown(), r->value(), r->low()});
        return true;
    }
    const bool result = quillnetReplayBox::event(e);
    followEdits();
    return result;
}

bool quillnetMemo::viewportEvent(QEvent* e)
{
    // Mouse clicks, drags and drops reach the box through its viewport.
    // Painting edits nothing, and the box must not change while it paints.
    const bool result = quillnetReplayBox::viewportEvent(e);
    if (e->type() != QEvent::Paint) followEdits();
    return result;
}

void quillnetMemo::keyPressEvent(QKeyEvent* e)
{
    followEdits();
    uint16_t vk = quillnetVirtualKeyOfQtKey(e->key());
    // Their moves depend on the box's size and font: the mirror sends the
    // move they made instead.
    if (vk == quillnetVkUp || vk == quillnetVkDown || vk == quillnetVkPageUp || vk == quillnetVkPageDown)
        vk = 0;
    const bool editKey = quillnetVirtualKeyOfQtKey(e->key()) != 0;
    if (onKeyDown) onKeyDown(vk);
    if (vk != 0 && onKeyDown) f_mirror.sent(quillnetEncodeEditKey(vk));
    if (!editKey && onKeyPress) {
        // 127 opens an editing key on the wire; a typed one (some layouts
        // give it for Ctrl+Backspace) would swallow the next character.
        QString text = e->text();
        text.remove(QChar(quillnetEscapeChar));
        if (!text.isEmpty()) {
            onKeyPress(text);
            f_mirror.sent(text.toStdU16String());
        }
    }
    applyKey(e);
    followEdits();
}
