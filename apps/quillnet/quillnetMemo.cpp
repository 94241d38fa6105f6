#include "apps/quillnet/quillnetMemo.h"

#include "apps/quillnet/quillnetEditKeys.h"

#include <QKeyEvent>

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<uint16_t, int>, 10> kQtKeys = {{
    {quillnetVkDelete, Qt::Key_Delete},
    {quillnetVkLeft, Qt::Key_Left},
    {quillnetVkRight, Qt::Key_Right},
    {quillnetVkDown, Qt::Key_Down},
    {quillnetVkUp, Qt::Key_Up},
    {quillnetVkInsert, Qt::Key_Insert},
    {quillnetVkEnd, Qt::Key_End},
    {quillnetVkHome, Qt::Key_Home},
    {quillnetVkPageUp, Qt::Key_PageUp},
    {quillnetVkPageDown, Qt::Key_PageDown},
}};

// The key that types a received character, as the sending box saw it.
int qtKeyOfCharacter(char16_t c) noexcept
{
    switch (c) {
    case 8:
        return Qt::Key_Backspace;
    case 9:
        return Qt::Key_Tab;
    case 13:
        return Qt::Key_Return;
    case 27:
        return Qt::Key_Escape;
    default:
        return Qt::Key_unknown;
    }
}

} // namespace

quillnetReplayEvent::quillnetReplayEvent(bool keyDown, char16_t value)
    : QEvent(eventType()), f_keyDown(keyDown), f_value(value)
{}

QEvent::Type quillnetReplayEvent::eventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

int quillnetQtKeyOfVirtualKey(uint16_t virtualKey) noexcept
{
    for (const auto& [vk, key] : kQtKeys)
        if (vk == virtualKey) return key;
    return 0;
}

uint16_t quillnetVirtualKeyOfQtKey(int qtKey) noexcept
{
    for (const auto& [vk, key] : kQtKeys)
        if (key == qtKey) return vk;
    return 0;
}

quillnetMemo::quillnetMemo(QWidget* parent) : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setTabChangesFocus(false);
}

bool quillnetMemo::event(QEvent* e)
{
    // Handled before the base class, which drops input while disabled.
    if (e->type() == quillnetReplayEvent::eventType()) {
        replay(*static_cast<quillnetReplayEvent*>(e));
        return true;
    }
    return QPlainTextEdit::event(e);
}

void quillnetMemo::keyPressEvent(QKeyEvent* e)
{
    const uint16_t vk = quillnetVirtualKeyOfQtKey(e->key());
    if (onKeyDown) onKeyDown(vk);
    if (vk == 0 && onKeyPress) {
        // 127 opens an editing key on the wire; a typed one (some layouts
        // give it for Ctrl+Backspace) would swallow the next character.
        QString text = e->text();
        text.remove(QChar(quillnetEscapeChar));
        if (!text.isEmpty()) onKeyPress(text);
    }
    applyKey(e);
}

void quillnetMemo::applyKey(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Insert && e->modifiers() == Qt::NoModifier) {
        setOverwriteMode(!overwriteMode());
        e->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(e);
}

void quillnetMemo::replay(const quillnetReplayEvent& e)
{
    if (e.keyDown()) {
        const int key = quillnetQtKeyOfVirtualKey(e.value());
        if (key == 0) return;
        QKeyEvent key_event(QEvent::KeyPress, key, Qt::NoModifier);
        applyKey(&key_event);
        return;
    }
    const QString text(QChar(e.value()));
    QKeyEvent key_event(QEvent::KeyPress, qtKeyOfCharacter(e.value()), Qt::NoModifier, text);
    applyKey(&key_event);
}
