#include "tests/support/qt/kelTestEditDriver.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QTest>

#include <array>

namespace {

const std::array<QString, 9> kTyped = {
    QStringLiteral("a"),    QStringLiteral("b"),    QStringLiteral("z"),
    QStringLiteral(" "),    QString(QChar(0x0436)), QString::fromUtf16(u"\U0001F600"),
    QString(QChar(0x0301)), QStringLiteral("\t"),   QStringLiteral("q")};

constexpr std::array<Qt::Key, 8> kMoves = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up,     Qt::Key_Down,
                                           Qt::Key_Home, Qt::Key_End,   Qt::Key_PageUp, Qt::Key_PageDown};

void typeText(QPlainTextEdit* box, const QString& text)
{
    QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, text, Qt::NoModifier);
}

} // namespace

QString kelTestEditDriver::someText()
{
    QString text;
    for (int n = 1 + pick(6); n > 0; --n) {
        const int what = pick(10);
        if (what == 0)
            text += u'\n';
        else if (what == 1 && pick(4) == 0)
            text += QChar(1); // no key types it: the paste must not send it
        else
            text += kTyped[static_cast<size_t>(pick(static_cast<int>(kTyped.size())))];
    }
    return text;
}

QString kelTestEditDriver::step(QPlainTextEdit* box)
{
    switch (pick(14)) {
    case 0:
    case 1:
    case 2: {
        const QString text = kTyped[static_cast<size_t>(pick(static_cast<int>(kTyped.size())))];
        typeText(box, text);
        return QStringLiteral("type ") + text;
    }
    case 3:
        QTest::keyClick(box, pick(2) ? Qt::Key_Backspace : Qt::Key_Delete);
        return QStringLiteral("backspace or delete");
    case 4:
    case 5: {
        const Qt::Key key = kMoves[static_cast<size_t>(pick(static_cast<int>(kMoves.size())))];
        const std::array<Qt::KeyboardModifiers, 4> mods = {Qt::NoModifier, Qt::ControlModifier,
                                                           Qt::ShiftModifier, Qt::NoModifier};
        QTest::keyClick(box, key, mods[static_cast<size_t>(pick(4))]);
        return QStringLiteral("move %1").arg(key);
    }
    case 6:
        QTest::keyClick(box, Qt::Key_Return, pick(3) == 0 ? Qt::ShiftModifier : Qt::NoModifier);
        return QStringLiteral("return");
    case 7: {
        const QRect r = box->viewport()->rect();
        const QPoint at(pick(r.width()), pick(r.height()));
        QTest::mouseClick(box->viewport(), Qt::LeftButton, pick(3) == 0 ? Qt::ShiftModifier : Qt::NoModifier,
                          at);
        return QStringLiteral("click");
    }
    case 8:
        QTest::keyClick(box, Qt::Key_Home, Qt::ShiftModifier);
        typeText(box, QStringLiteral("s"));
        return QStringLiteral("type over a selection");
    case 9: {
        const QString text = someText();
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        return QStringLiteral("paste ") + text;
    }
    case 10:
        QTest::keyClick(box, pick(2) ? Qt::Key_Backspace : Qt::Key_Delete, Qt::ControlModifier);
        return QStringLiteral("delete a word");
    case 11:
        QTest::keyClick(box, Qt::Key_Z,
                        pick(2) ? Qt::ControlModifier : Qt::ControlModifier | Qt::ShiftModifier);
        return QStringLiteral("undo or redo");
    case 12:
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        if (pick(2)) typeText(box, QStringLiteral("w"));
        return QStringLiteral("select all");
    default:
        QTest::keyClick(box, Qt::Key_Insert);
        return QStringLiteral("insert");
    }
}
