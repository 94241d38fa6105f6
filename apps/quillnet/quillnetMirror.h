#pragma once
// quillnetMirror: the sending box's picture of the receiving box. Every
// text sent is applied to a hidden box that replays it as the receiving
// window will, so the sender knows what the far box holds. After an edit
// the encoding does not carry as such (a mouse click, a word move, a
// deleted selection, a paste, an undo), follow() works out the characters
// and editing keys that take the far box to the same text, cursor and
// insert/overwrite mode, checking each step on the picture. It moves the
// cursor with Left, Right, Home and End only, which mean the same in a box
// of any size. Window thread only.

#include "core/kelTypes.h"

#include <memory>

class QPlainTextEdit;
class quillnetReplayBox;

class quillnetMirror
{
public:
    quillnetMirror();
    ~quillnetMirror();
    quillnetMirror(const quillnetMirror&) = delete;
    quillnetMirror& operator=(const quillnetMirror&) = delete;

    // The far box starts empty, in insert mode.
    void reset();
    // `text` was sent: the far box applies it.
    void sent(const kelString& text);
    // The text to send so that the far box matches `box`, already applied
    // to the picture; empty when they agree. `exact` is false when the
    // encoding cannot carry the difference (a character no box takes from
    // a key): the picture then holds what the far box will hold, and
    // restore() puts `box` back to it.
    kelString follow(const QPlainTextEdit& box, bool& exact);
    // Makes `box` hold the picture's text, cursor and mode.
    void restore(QPlainTextEdit& box) const;

    // The picture, for tests.
    const QPlainTextEdit& picture() const;

private:
    class builder;

    std::unique_ptr<quillnetReplayBox> f_shadow;
};
