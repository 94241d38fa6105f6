#include "apps/quillnet/quillnetReplayBox.h"

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

quillnetReplayBox::quillnetReplayBox(QWidget* parent) : QPlainTextEdit(parent)
{
    // Unwrapped, so Home and End mean the ends of a line whatever the
    // width of either window.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setTabChangesFocus(false);
}

void quillnetReplayBox::applyKey(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Insert && e->modifiers() == Qt::NoModifier) {
        setOverwriteMode(!overwriteMode());
        e->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(e);
}

void quillnetReplayBox::replay(const quillnetReplay& edit)
{
    if (edit.keyDown) {
        const int key = quillnetQtKeyOfVirtualKey(edit.value);
        if (key == 0) return;
        QKeyEvent key_event(QEvent::KeyPress, key, Qt::NoModifier);
        applyKey(&key_event);
        return;
    }
    QString text(QChar(edit.value));
    if (edit.low != 0) text += QChar(edit.low);
    QKeyEvent key_event(QEvent::KeyPress, qtKeyOfCharacter(edit.value), Qt::NoModifier, text);
    applyKey(&key_event);
}

void quillnetReplayBox::replayText(std::u16string_view text)
{
    for (const quillnetReplay& edit : quillnetDecodeText(text))
        replay(edit);
}
