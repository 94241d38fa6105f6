// Two quillnet windows in one process joined by the real IP components on
// 127.0.0.1: every character and editing key typed into the transmitting
// window is replayed by the receiving one, which ends with the same text
// and cursor. The components run on a manual clock, so the receiver's
// report times, at which it repeats its hole packets, come when the test
// moves the clock.

#include "apps/quillnet/Tc_form_main.h"
#include "apps/quillnet/quillnetIPLink.h"
#include "apps/quillnet/quillnetMemo.h"
#include "core/kelClock.h"
#include "core/kelUtilsState.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/qt/kelTestEditDriver.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <memory>
#include <string>

namespace {

struct ipWindow
{
    std::unique_ptr<Tc_form_main> window;
    quillnetIPLink* tx = nullptr;
};

ipWindow makeWindow(const std::string& ini, const kelString& uri, bool transmit, const kelClock& clock)
{
    kelWriteBytes(ini, kelUtf16LeFile(u"[settings]\r\nTX=" + kelString(transmit ? u"-1" : u"0") +
                                      u"\r\nURI=" + uri + u"\r\n"));
    quillnetWindowSetup setup;
    setup.iniFileName = kelString(ini.begin(), ini.end());
    setup.defaultURI = uri;
    auto tx = std::make_unique<quillnetIPLink>(quillnetIPLink::role::transmitter);
    auto rx = std::make_unique<quillnetIPLink>(quillnetIPLink::role::receiver);
    if (tx->transmitter()) tx->transmitter()->setClock(clock);
    if (rx->receiver()) rx->receiver()->setClock(clock);
    ipWindow w;
    w.tx = tx.get();
    setup.transmitter = std::move(tx);
    setup.receiver = std::move(rx);
    w.window = std::make_unique<Tc_form_main>(std::move(setup));
    w.window->show();
    return w;
}

// What the windows of one test share: a free loopback URI, a folder for
// their ini files and the manual clock their components run on. Declared
// before the windows: their components read the clock until they are gone.
struct ipLoopback
{
    kelTempDir dir;
    kelManualClock clock;
    const uint16_t port = kelTestFreeRTPPort();
    const kelString uri = kelTestURI(port);

    ipWindow open(const char* ini, bool transmit) { return makeWindow(dir.file(ini), uri, transmit, clock); }

    // Moves the clock until the receiver's hole packets have reached `tx`
    // (the receiver repeats them at its report times).
    bool punched(const ipWindow& tx)
    {
        return kelTestAdvanceUntil(
            clock, [&] { return tx.tx->transmitter()->rootDestCount() >= 1; }, 60000, 2500);
    }
};

} // namespace

class quillnetIPLinkTest final : public QObject
{
    Q_OBJECT

private slots:
    void editsCrossLoopbackAlike();
    void receiverFirstGetsWhatIsTypedAtOnceAndRandomEditsEndEqual();
    void badURIAfterAGoodOneLeavesTheWindowIdle();
    void portInUseShowsTheComponentsError();
};

void quillnetIPLinkTest::editsCrossLoopbackAlike()
{
    ipLoopback net;
    QVERIFY(net.port != 0);
    auto rx = net.open("rx.ini", false);
    auto tx = net.open("tx.ini", true);
    rx.window->c_button_start->click();
    tx.window->c_button_start->click();
    QVERIFY(tx.window->TX().active());
    QVERIFY(rx.window->RX().active());
    // Typing counts only once the receiver's hole packets reached us.
    QVERIFY(net.punched(tx));

    QWidget* box = tx.window->c_memo_text;
    const auto type = [box](Qt::Key key) { QTest::keyClick(box, key); };
    const auto typeText = [box](const QString& text) {
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, text, Qt::NoModifier);
    };
    typeText(QStringLiteral("a"));
    type(Qt::Key_Backspace);
    type(Qt::Key_Delete);
    for (const QChar c : QStringLiteral("hello"))
        typeText(QString(c));
    type(Qt::Key_Home);
    type(Qt::Key_Delete);
    type(Qt::Key_End);
    type(Qt::Key_Left);
    type(Qt::Key_Left);
    type(Qt::Key_Backspace);
    type(Qt::Key_Insert);
    typeText(QStringLiteral("x"));
    type(Qt::Key_Insert);
    typeText(QString(QChar(0x0436)));
    type(Qt::Key_Return);
    type(Qt::Key_Up);
    type(Qt::Key_Right);
    type(Qt::Key_Down);
    const QString expected = QStringLiteral("ex") + QChar(0x0436) + QStringLiteral("\no");
    QCOMPARE(tx.window->c_memo_text->toPlainText(), expected);
    const auto& sent = *tx.window->c_memo_text;
    QCOMPARE(sent.textCursor().position(), 5);

    // Every edit crossed the wire and was replayed in order: the same text,
    // the same cursor and the same insert/overwrite state.
    const auto& shown = *rx.window->c_memo_text;
    QTRY_COMPARE_WITH_TIMEOUT(shown.toPlainText(), expected, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(shown.textCursor().position(), sent.textCursor().position(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(shown.overwriteMode(), sent.overwriteMode(), 10000);

    tx.window->c_button_stop->click();
    rx.window->c_button_stop->click();
    QVERIFY(!rx.window->RX().active());
}

void quillnetIPLinkTest::receiverFirstGetsWhatIsTypedAtOnceAndRandomEditsEndEqual()
{
    ipLoopback net;
    QVERIFY(net.port != 0);
    auto rx = net.open("rx.ini", false);
    auto tx = net.open("tx.ini", true);
    // Boxes of different sizes: a page or a line up means something else
    // in each, so those moves must travel as moves the far box repeats.
    rx.window->resize(360, 400);
    tx.window->resize(520, 460);
    rx.window->c_button_start->click();
    tx.window->c_button_start->click();
    quillnetMemo* box = tx.window->c_memo_text;
    const QPlainTextEdit& shown = *rx.window->c_memo_text;
    // Typed at once, before the transmitter has heard of the receiver.
    QTest::keyClicks(box, QStringLiteral("first words"));
    QCOMPARE(tx.tx->transmitter()->rootDestCount(), 0);
    QVERIFY(net.punched(tx));
    QTRY_COMPARE_WITH_TIMEOUT(shown.toPlainText(), QStringLiteral("first words"), 10000);

    box->setFocus();
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        kelTestEditDriver driver(seed);
        QString done;
        for (int i = 0; i < 120; ++i) {
            done += driver.step(box) + u'|';
            if (i % 20 != 19) continue;
            const QByteArray trace = done.right(400).toUtf8();
            QTRY_VERIFY2_WITH_TIMEOUT(shown.document()->toRawText() == box->document()->toRawText(),
                                      trace.constData(), 10000);
            QTRY_VERIFY2_WITH_TIMEOUT(shown.textCursor().position() == box->textCursor().position(),
                                      trace.constData(), 10000);
            // An Insert key changes neither text nor cursor: its switch may
            // still be on the way when both already agree.
            QTRY_VERIFY2_WITH_TIMEOUT(shown.overwriteMode() == box->overwriteMode(), trace.constData(),
                                      10000);
            // A pasted character no key types is refused, not sent.
            QVERIFY2(!box->toPlainText().contains(QChar(1)), trace.constData());
        }
    }

    // A restarted transmitter: what is typed before the receiver punches
    // again is kept and arrives after what the receiver already shows.
    const QString before = shown.toPlainText();
    tx.window->c_button_stop->click();
    tx.window->c_button_start->click();
    QVERIFY(tx.window->TX().active());
    QTest::keyClicks(box, QStringLiteral("after restart"));
    QVERIFY(net.punched(tx));
    QTRY_VERIFY_WITH_TIMEOUT(shown.toPlainText().contains(QStringLiteral("after restart")), 10000);
    QCOMPARE(shown.toPlainText().size(), before.size() + 13);

    tx.window->c_button_stop->click();
    rx.window->c_button_stop->click();
}

void quillnetIPLinkTest::badURIAfterAGoodOneLeavesTheWindowIdle()
{
    ipLoopback net;
    QVERIFY(net.port != 0);
    const kelString& good = net.uri;
    for (const bool transmit : {true, false}) {
        auto w = net.open(transmit ? "tx.ini" : "rx.ini", transmit);
        Tc_form_main& f = *w.window;
        for (const QString& bad :
             {QStringLiteral("rtp://127.0.0.1:99999"), QStringLiteral("rtp://127.0.0.1:abc"), QString()}) {
            const QByteArray what = (bad + (transmit ? " tx" : " rx")).toUtf8();
            f.c_edit_URI->setText(QString::fromStdU16String(good));
            f.c_button_start->click();
            QVERIFY2(f.c_button_stop->isEnabled(), what.constData());
            QVERIFY2(f.c_sb_panel_status->text().isEmpty(), what.constData());
            f.c_button_stop->click();
            f.c_edit_URI->setText(bad);
            f.c_button_start->click();
            QVERIFY2(!f.TX().active() && !f.RX().active(), what.constData());
            QVERIFY2(f.c_button_start->isEnabled() && !f.c_button_stop->isEnabled(), what.constData());
            QVERIFY2(!f.c_sb_panel_status->text().isEmpty(), what.constData());
        }
    }
}

void quillnetIPLinkTest::portInUseShowsTheComponentsError()
{
    ipLoopback net;
    QVERIFY(net.port != 0);
    auto first = net.open("a.ini", true);
    auto second = net.open("b.ini", true);
    first.window->c_button_start->click();
    QVERIFY(first.window->TX().active());
    second.window->c_button_start->click();
    QVERIFY(!second.window->TX().active());
    QCOMPARE(second.window->c_sb_panel_status->text(), QStringLiteral("Socket error: 10048"));
    // An unknown scheme says so too.
    first.window->c_button_stop->click();
    first.window->c_edit_URI->setText(QStringLiteral("gopher://127.0.0.1:70"));
    first.window->c_button_start->click();
    QVERIFY(!first.window->TX().active());
    QVERIFY(!first.window->c_sb_panel_status->text().isEmpty());
    // The message stays until the next start, which clears it.
    second.window->c_button_start->click();
    QVERIFY(second.window->TX().active());
    QVERIFY(second.window->c_sb_panel_status->text().isEmpty());
    second.window->c_button_stop->click();
}

QTEST_MAIN(quillnetIPLinkTest)
#include "quillnetIPLinkTest.moc"
