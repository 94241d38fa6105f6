#include "apps/quillnet/quillnetMirror.h"

#include "apps/quillnet/quillnetEditKeys.h"
#include "apps/quillnet/quillnetReplayBox.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace {

// The box's text with its line breaks as U+2029, so that a line break and
// a line separator (Shift+Return) differ, as do a space and a no-break
// space.
QString rawText(const QPlainTextEdit& box)
{
    return box.document()->toRawText();
}

int cursorOf(const QPlainTextEdit& box)
{
    return box.textCursor().position();
}

} // namespace

// One follow(): sends keys to the picture, collecting their wire text.
class quillnetMirror::builder
{
public:
    explicit builder(quillnetReplayBox& shadow) : f_shadow(shadow) {}

    kelString wire;

    int pos() const { return cursorOf(f_shadow); }

    void key(uint16_t vk)
    {
        wire += quillnetEncodeEditKey(vk);
        f_shadow.replay({true, vk});
    }

    void type(char16_t c, char16_t low = 0)
    {
        // A line break is typed with Return.
        if (c == QChar::ParagraphSeparator) c = u'\r';
        wire += c;
        if (low != 0) wire += low;
        f_shadow.replay({false, c, low});
    }

    // Moves the cursor to `target` one key at a time, choosing per line
    // between walking and jumping to an end. False when a step goes
    // nowhere or steps over `target` (no cursor can stand there).
    bool moveTo(int target)
    {
        const QTextDocument* doc = f_shadow.document();
        for (int guard = doc->characterCount() + 2 * doc->blockCount() + 8; guard > 0; --guard) {
            const int at = pos();
            if (at == target) return true;
            const QTextBlock here = doc->findBlock(at);
            const QTextBlock there = doc->findBlock(target);
            const int start = here.position();
            const int end = here.position() + here.length() - 1;
            uint16_t vk = 0;
            if (there.blockNumber() > here.blockNumber())
                vk = at == end ? quillnetVkRight : quillnetVkEnd;
            else if (there.blockNumber() < here.blockNumber())
                vk = at == start ? quillnetVkLeft : quillnetVkHome;
            else if (target == start)
                vk = quillnetVkHome;
            else if (target == end)
                vk = quillnetVkEnd;
            else if (target > at)
                vk = end - target + 1 < target - at ? quillnetVkEnd : quillnetVkRight;
            else
                vk = target - start + 1 < at - target ? quillnetVkHome : quillnetVkLeft;
            key(vk);
            const int now = pos();
            if (now == at) return false;
            const bool sameBlock = there.blockNumber() == here.blockNumber();
            if (sameBlock && vk != quillnetVkHome && vk != quillnetVkEnd && (at < target) != (now < target) &&
                now != target)
                return false;
        }
        return false;
    }

private:
    quillnetReplayBox& f_shadow;
};

quillnetMirror::quillnetMirror() : f_shadow(std::make_unique<quillnetReplayBox>()) {}

quillnetMirror::~quillnetMirror() = default;

void quillnetMirror::reset()
{
    f_shadow->clear();
    f_shadow->setOverwriteMode(false);
}

void quillnetMirror::sent(const kelString& text)
{
    f_shadow->replayText(text);
}

const QPlainTextEdit& quillnetMirror::picture() const
{
    return *f_shadow;
}

kelString quillnetMirror::follow(const QPlainTextEdit& box, bool& exact)
{
    const QString target = rawText(box);
    const int targetCursor = cursorOf(box);
    const bool targetOverwrite = box.overwriteMode();
    builder b(*f_shadow);

    const QString have = rawText(*f_shadow);
    if (have != target) {
        // The changed stretch: what lies between the common start and end.
        const int shortest = static_cast<int>(std::min(have.size(), target.size()));
        int prefix = 0;
        while (prefix < shortest && have[prefix] == target[prefix])
            ++prefix;
        int suffix = 0;
        while (suffix < shortest - prefix &&
               have[have.size() - 1 - suffix] == target[target.size() - 1 - suffix])
            ++suffix;
        // Never between the halves of a character.
        if (prefix > 0 && have[prefix - 1].isHighSurrogate()) --prefix;
        if (suffix > 0 && have[have.size() - suffix].isLowSurrogate()) --suffix;
        const int changedEnd = static_cast<int>(have.size()) - suffix;

        // Stand at or after the end of the stretch (inside a combined
        // character the cursor stops after it), then delete back to its
        // start: Backspace takes one character at a time.
        (void)b.moveTo(changedEnd);
        for (int step = 0; b.pos() < changedEnd && step < 8; ++step) {
            const int at = b.pos();
            b.key(quillnetVkRight);
            if (b.pos() == at) break;
        }
        const int keptFrom = b.pos();
        while (b.pos() > prefix) {
            const int at = b.pos();
            b.type(u'\b');
            if (b.pos() >= at) break;
        }
        if (b.pos() == prefix && keptFrom >= changedEnd) {
            if (f_shadow->overwriteMode()) b.key(quillnetVkInsert);
            const int insertEnd =
                static_cast<int>(target.size()) - (static_cast<int>(have.size()) - keptFrom);
            for (int i = prefix; i < insertEnd; ++i) {
                const QChar c = target[i];
                if (c.isHighSurrogate() && i + 1 < insertEnd && target[i + 1].isLowSurrogate()) {
                    b.type(c.unicode(), target[i + 1].unicode());
                    ++i;
                } else {
                    b.type(c.unicode());
                }
            }
        }
    }
    if (f_shadow->overwriteMode() != targetOverwrite) b.key(quillnetVkInsert);
    (void)b.moveTo(targetCursor);
    exact = rawText(*f_shadow) == target && b.pos() == targetCursor &&
            f_shadow->overwriteMode() == targetOverwrite;
    return b.wire;
}

void quillnetMirror::restore(QPlainTextEdit& box) const
{
    const QString text = rawText(*f_shadow);
    if (rawText(box) != text) {
        QString plain = text;
        plain.replace(QChar::ParagraphSeparator, u'\n');
        box.setPlainText(plain);
    }
    QTextCursor cursor = box.textCursor();
    cursor.setPosition(cursorOf(*f_shadow));
    box.setTextCursor(cursor);
    box.setOverwriteMode(f_shadow->overwriteMode());
}
