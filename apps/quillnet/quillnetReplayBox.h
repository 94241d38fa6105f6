#pragma once
// The text box both ends share: a plain, unwrapped text box that applies
// received edits (typed characters and editing keys) exactly as its own key
// handling would. The receiving window's box replays what arrives through
// it; the sending box keeps a hidden one as its picture of the receiving
// box. Window thread only.

#include "apps/quillnet/quillnetEditKeys.h"

#include <QEvent>
#include <QPlainTextEdit>

#include <string_view>

class QKeyEvent;

// The toolkit key of an editing key's virtual-key code and back; 0 for
// keys outside the table.
int quillnetQtKeyOfVirtualKey(uint16_t virtualKey) noexcept;
uint16_t quillnetVirtualKeyOfQtKey(int qtKey) noexcept;

class quillnetReplayBox : public QPlainTextEdit
{
public:
    explicit quillnetReplayBox(QWidget* parent = nullptr);

    // Applies one received edit, like a posted character or key-down
    // message; works while the box is disabled or hidden.
    void replay(const quillnetReplay& edit);
    // Applies every edit of a text as sent on the wire.
    void replayText(std::u16string_view text);

protected:
    // The box's own editing, shared by typed and received keys. Insert
    // switches between inserting and overwriting.
    void applyKey(QKeyEvent* e);
};
