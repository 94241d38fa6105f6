// The quillnet window under the offscreen platform: two windows in one
// process joined by the fake link hub, one transmitting, one receiving.

#include "apps/quillnet/Tc_form_main.h"
#include "apps/quillnet/quillnetApplication.h"
#include "apps/quillnet/quillnetDefaultURI.h"
#include "apps/quillnet/quillnetEditKeys.h"
#include "apps/quillnet/quillnetMemo.h"
#include "core/kelUtilsState.h"
#include "tests/apps/quillnet/quillnetFakeLink.h"
#include "tests/support/kelTestFiles.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

namespace {

const kelString kURI = u"rtp://127.0.0.1:5006";

// A settings file in section "settings" holding `lines` (CR LF after each).
void presetIni(const std::string& path, const std::u16string& lines)
{
    kelWriteBytes(path, kelUtf16LeFile(u"[settings]\r\n" + lines));
}

struct windowUnderTest
{
    std::unique_ptr<Tc_form_main> window;
    fakeLink* tx = nullptr;
    fakeLink* rx = nullptr;
};

windowUnderTest makeWindow(fakeHub& hub, const std::string& ini)
{
    quillnetWindowSetup setup;
    setup.iniFileName = kelString(ini.begin(), ini.end());
    setup.defaultURI = kURI;
    auto tx = hub.make(true);
    auto rx = hub.make(false);
    windowUnderTest w;
    w.tx = tx.get();
    w.rx = rx.get();
    setup.transmitter = std::move(tx);
    setup.receiver = std::move(rx);
    w.window = std::make_unique<Tc_form_main>(std::move(setup));
    w.window->show();
    return w;
}

void type(QWidget* w, Qt::Key key)
{
    QTest::keyClick(w, key);
}

void typeText(QWidget* w, const QString& text)
{
    QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, text, Qt::NoModifier);
}

// Records the replay events a text box receives, in order.
class replayRecorder final : public QObject
{
public:
    std::vector<quillnetReplay> seen;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == quillnetReplayEvent::eventType()) {
            const auto* r = static_cast<quillnetReplayEvent*>(e);
            seen.push_back({r->keyDown(), r->value()});
        }
        return false;
    }
};

} // namespace

class quillnetWindowTest final : public QObject
{
    Q_OBJECT

private slots:
    void decodesEditingKeysAndSkipsBrokenPairs();
    void defaultURIPicksFirstPrivateAddress();
    void typingEditsBothBoxesAlike();
    void receivedTextPostsEditsInOrderFromAnyThread();
    void startOpensOnlyTheChosenComponent();
    void enabledStatesFollowTheComponents();
    void withoutComponentsStartSaysSo();
    void settingsSurviveARestart();
    void closingStopsTheReceiverBeforeTheWindowGoes();
    void aboutShowsTwoLines();
    void characterOutsideTheBMPIsReplayedWhole();
    void positionComesBackExactlyAndMaximisedSavesNormalBounds();
    void aboutBoxCaptionIsExactlyAbout();
};

void quillnetWindowTest::decodesEditingKeysAndSkipsBrokenPairs()
{
    QCOMPARE(quillnetEncodeEditKey(13), kelString());
    QCOMPARE(quillnetEncodeEditKey(46), (kelString{127, 10}));

    using r = quillnetReplay;
    QCOMPARE(quillnetDecodeText(kelString{127, 11, 127, 12}), (std::vector<r>{{true, 37}, {true, 39}}));
    // A trailing 127 posts nothing; 127 and an unknown code skip both.
    QCOMPARE(quillnetDecodeText(kelString{u'a', u'b', 127}), (std::vector<r>{{false, u'a'}, {false, u'b'}}));
    QCOMPARE(quillnetDecodeText(kelString{127, u'q', u'z'}), (std::vector<r>{{false, u'z'}}));
    QCOMPARE(quillnetDecodeText(kelString{127, 20, 127, 9}), (std::vector<r>{}));
    // The text ends at its first NUL.
    QCOMPARE(quillnetDecodeText(kelString{u'x', 0, u'y'}), (std::vector<r>{{false, u'x'}}));
    QCOMPARE(quillnetDecodeText(kelString{8, 0x0436}), (std::vector<r>{{false, 8}, {false, 0x0436}}));
}

void quillnetWindowTest::defaultURIPicksFirstPrivateAddress()
{
    const auto ip = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return a << 24 | b << 16 | c << 8 | d;
    };
    // The edges of the 172.16/12 range are the easy ones to get wrong.
    QVERIFY(quillnetIsPrivateIPv4(ip(172, 16, 0, 0)));
    QVERIFY(quillnetIsPrivateIPv4(ip(172, 31, 255, 255)));
    QVERIFY(!quillnetIsPrivateIPv4(ip(172, 15, 255, 255)));
    QVERIFY(!quillnetIsPrivateIPv4(ip(172, 32, 0, 0)));

    QCOMPARE(quillnetDefaultURIFor({ip(127, 0, 0, 1), ip(8, 8, 4, 4), ip(192, 168, 1, 20), ip(10, 1, 2, 3)}),
             kelString(u"rtp://192.168.1.20:5006"));
    QCOMPARE(quillnetDefaultURIFor({ip(127, 0, 0, 1), ip(100, 64, 0, 1)}), kURI);
    QCOMPARE(quillnetDefaultURIFor({}), kURI);
}

void quillnetWindowTest::typingEditsBothBoxesAlike()
{
    kelTempDir dir;
    fakeHub hub;
    presetIni(dir.file("tx.ini"), u"TX=-1\r\nURI=" + kURI + u"\r\n");
    presetIni(dir.file("rx.ini"), u"TX=0\r\nURI=" + kURI + u"\r\n");
    auto a = makeWindow(hub, dir.file("tx.ini"));
    auto b = makeWindow(hub, dir.file("rx.ini"));
    b.window->c_button_start->click();
    a.window->c_button_start->click();
    QVERIFY(a.tx->active() && b.rx->active());
    QVERIFY(a.window->c_memo_text->isEnabled());
    QVERIFY(!b.window->c_memo_text->isEnabled());

    QWidget* box = a.window->c_memo_text;
    type(box, Qt::Key_A);
    type(box, Qt::Key_Backspace);
    type(box, Qt::Key_Delete);
    QCOMPARE(a.tx->sent, (std::vector<kelString>{u"a", u"\b", kelString{127, 10}}));

    typeText(box, QStringLiteral("hello"));
    type(box, Qt::Key_Home);
    type(box, Qt::Key_Delete);
    type(box, Qt::Key_End);
    type(box, Qt::Key_Left);
    type(box, Qt::Key_Left);
    type(box, Qt::Key_Backspace);
    type(box, Qt::Key_Insert);
    typeText(box, QStringLiteral("x"));
    type(box, Qt::Key_Insert);
    typeText(box, QString(QChar(0x0436)));
    type(box, Qt::Key_Return);
    type(box, Qt::Key_Up);
    type(box, Qt::Key_Right);
    type(box, Qt::Key_Down);
    const QString expected = QStringLiteral("ex") + QChar(0x0436) + QStringLiteral("\no");
    QCOMPARE(a.window->c_memo_text->toPlainText(), expected);

    QTRY_VERIFY_WITH_TIMEOUT(hub.idle(), 10000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(b.window->c_memo_text->toPlainText(), expected);
    QCOMPARE(b.window->c_memo_text->textCursor().position(), a.window->c_memo_text->textCursor().position());
    QCOMPARE(a.window->c_memo_text->textCursor().position(), 5);

    type(box, Qt::Key_PageUp);
    type(box, Qt::Key_PageDown);
    QTRY_VERIFY_WITH_TIMEOUT(hub.idle(), 10000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(b.window->c_memo_text->textCursor().position(), a.window->c_memo_text->textCursor().position());
    QCOMPARE(b.window->c_memo_text->overwriteMode(), a.window->c_memo_text->overwriteMode());

    // A key that types the character 127 sends no 127 of its own: on the
    // wire it would open an editing key and swallow the next character.
    // The word it deletes goes as Backspaces.
    const size_t before = a.tx->sent.size();
    QTest::sendKeyEvent(QTest::Click, box, Qt::Key_Backspace, QString(QChar(127)), Qt::ControlModifier);
    for (size_t i = before; i < a.tx->sent.size(); ++i)
        QVERIFY(a.tx->sent[i].find(kelString{127}) == kelString::npos ||
                quillnetCodeOfVirtualKey(quillnetVirtualKeyOfCode(a.tx->sent[i].back())) != 0);
    QTRY_VERIFY_WITH_TIMEOUT(hub.idle(), 10000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(b.window->c_memo_text->toPlainText(), a.window->c_memo_text->toPlainText());
}

void quillnetWindowTest::receivedTextPostsEditsInOrderFromAnyThread()
{
    kelTempDir dir;
    fakeHub hub;
    presetIni(dir.file("rx.ini"), u"TX=0\r\nURI=" + kURI + u"\r\n");
    auto b = makeWindow(hub, dir.file("rx.ini"));
    replayRecorder recorder;
    b.window->c_memo_text->installEventFilter(&recorder);

    std::thread network([&] {
        b.window->RXText(u"ab");
        b.window->RXText(kelString{127, 11, 127, 12});
        b.window->RXText(kelString{u'c', 127});
    });
    network.join();
    QCoreApplication::sendPostedEvents();
    using r = quillnetReplay;
    QCOMPARE(recorder.seen,
             (std::vector<r>{{false, u'a'}, {false, u'b'}, {true, 37}, {true, 39}, {false, u'c'}}));
    // The box is disabled and still applied every edit: "ab", left, right, "c".
    QVERIFY(!b.window->c_memo_text->isEnabled());
    QCOMPARE(b.window->c_memo_text->toPlainText(), QStringLiteral("abc"));
    QCOMPARE(b.window->c_memo_text->textCursor().position(), 3);
}

void quillnetWindowTest::startOpensOnlyTheChosenComponent()
{
    kelTempDir dir;
    fakeHub hub;
    presetIni(dir.file("rx.ini"), u"TX=0\r\nURI=rtp://127.0.0.1:5010\r\n");
    auto b = makeWindow(hub, dir.file("rx.ini"));
    QVERIFY(b.window->c_rb_RX->isChecked());
    QTest::mouseClick(b.window->c_button_start, Qt::LeftButton);
    QCOMPARE(b.rx->opens, 1);
    QCOMPARE(b.rx->openedURI, kelString(u"rtp://127.0.0.1:5010"));
    QCOMPARE(b.tx->opens, 0);
    QVERIFY(!b.tx->active());
    b.window->c_memo_textKeyPress(QStringLiteral("a"));
    QVERIFY(b.tx->sent.empty());

    QTest::mouseClick(b.window->c_button_stop, Qt::LeftButton);
    QVERIFY(!b.rx->active());
}

void quillnetWindowTest::enabledStatesFollowTheComponents()
{
    kelTempDir dir;
    fakeHub hub;
    presetIni(dir.file("tx.ini"), u"TX=-1\r\nURI=" + kURI + u"\r\n");
    auto a = makeWindow(hub, dir.file("tx.ini"));
    Tc_form_main& w = *a.window;
    QVERIFY(w.c_timer_update->isActive());
    QCOMPARE(w.c_timer_update->interval(), 200);

    const auto idle = [&] {
        return w.c_button_start->isEnabled() && w.c_rb_TX->isEnabled() && w.c_rb_RX->isEnabled() &&
               w.c_edit_URI->isEnabled() && !w.c_button_stop->isEnabled() && !w.c_memo_text->isEnabled();
    };
    QVERIFY(idle());

    w.c_button_startClick();
    typeText(w.c_memo_text, QStringLiteral("q"));
    QVERIFY(w.c_button_stop->isEnabled() && w.c_memo_text->isEnabled());
    QVERIFY(!w.c_button_start->isEnabled() && !w.c_rb_TX->isEnabled() && !w.c_rb_RX->isEnabled() &&
            !w.c_edit_URI->isEnabled());

    // The component closing by itself shows up at the next tick.
    a.tx->close();
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 5000);

    // Start clears the box; a failed open leaves the window idle and says
    // why in the first panel, until the next start.
    a.tx->failOpen = true;
    w.c_button_startClick();
    QVERIFY(w.c_memo_text->toPlainText().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 5000);
    QCOMPARE(w.c_sb_panel_status->text(), QStringLiteral("Socket error: 10048"));
    a.tx->failOpen = false;
    w.c_button_startClick();
    QVERIFY(w.c_sb_panel_status->text().isEmpty());
    w.c_button_stopClick();

    // As receiver the box stays disabled while receiving.
    w.c_rb_RX->setChecked(true);
    w.c_button_startClick();
    QVERIFY(a.rx->active() && w.c_button_stop->isEnabled() && !w.c_memo_text->isEnabled());
    w.c_button_stopClick();
    QVERIFY(idle());

    w.close();
    QVERIFY(!w.c_timer_update->isActive());
}

void quillnetWindowTest::withoutComponentsStartSaysSo()
{
    kelTempDir dir;
    presetIni(dir.file("q.ini"), u"TX=-1\r\nURI=" + kURI + u"\r\n");
    quillnetWindowSetup setup;
    const std::string ini = dir.file("q.ini");
    setup.iniFileName = kelString(ini.begin(), ini.end());
    Tc_form_main w(std::move(setup));
    w.show();
    QVERIFY(w.c_sb_panel_status->text().isEmpty());
    w.c_button_startClick();
    QCOMPARE(w.c_sb_panel_status->text(), QStringLiteral("IP components are not available"));
    QVERIFY(w.c_button_start->isEnabled());
    QVERIFY(!w.c_memo_text->isEnabled());
}

void quillnetWindowTest::settingsSurviveARestart()
{
    kelTempDir dir;
    fakeHub hub;
    const std::string ini = dir.file("quillnet.ini");
    {
        // A first start with no settings offers the default URI and
        // transmitter mode.
        auto a = makeWindow(hub, ini);
        QCOMPARE(a.window->c_edit_URI->text().toStdU16String(), kURI);
        QVERIFY(a.window->c_rb_TX->isChecked());
        a.window->c_rb_RX->setChecked(true);
        a.window->c_edit_URI->setText(QStringLiteral("rtp://127.0.0.1:5020"));
        a.window->move(40, 50);
        a.window->resize(500, 420);
        a.window->close();
    }
    const std::string bytes = kelReadBytes(ini);
    QVERIFY(bytes.rfind("\xFF\xFE", 0) == 0);
    QVERIFY(bytes.find(kelUtf16LeFile(u"TX=0\r\n").substr(2)) != std::string::npos);
    QVERIFY(bytes.find(kelUtf16LeFile(u"URI=rtp://127.0.0.1:5020\r\n").substr(2)) != std::string::npos);
    QVERIFY(bytes.find(kelUtf16LeFile(u"c_form_main.width=500\r\n").substr(2)) != std::string::npos);

    auto b = makeWindow(hub, ini);
    QVERIFY(b.window->c_rb_RX->isChecked());
    QVERIFY(!b.window->c_rb_TX->isChecked());
    QCOMPARE(b.window->c_edit_URI->text(), QStringLiteral("rtp://127.0.0.1:5020"));
    QCOMPARE(b.window->size(), QSize(500, 420));
    QCOMPARE(b.window->pos(), QPoint(40, 50));
}

void quillnetWindowTest::closingStopsTheReceiverBeforeTheWindowGoes()
{
    kelTempDir dir;
    fakeHub hub;
    presetIni(dir.file("rx.ini"), u"TX=0\r\nURI=" + kURI + u"\r\n");
    auto b = makeWindow(hub, dir.file("rx.ini"));
    b.window->c_button_startClick();

    // A network thread that keeps one short line in flight at a time.
    std::atomic<bool> stop{false};
    const auto feed = [&] {
        for (int i = 0; i < 2000 && !stop.load(); ++i) {
            hub.post(kURI, u"x\r");
            hub.waitIdle(1000);
        }
    };
    std::thread network(feed);
    QTRY_VERIFY_WITH_TIMEOUT(!b.window->c_memo_text->toPlainText().isEmpty(), 10000);

    // Closing saves and closes the receiver: nothing reaches the box after.
    b.window->close();
    QVERIFY(!b.rx->active());
    stop.store(true);
    network.join();
    QCoreApplication::sendPostedEvents();
    const QString atClose = b.window->c_memo_text->toPlainText();
    hub.post(kURI, u"late");
    QTRY_VERIFY_WITH_TIMEOUT(hub.idle(), 10000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(b.window->c_memo_text->toPlainText(), atClose);

    // Destroyed without closing, while texts arrive: the window still
    // closes its components before its text box goes.
    auto c = makeWindow(hub, dir.file("rx.ini"));
    c.window->c_button_startClick();
    stop.store(false);
    network = std::thread(feed);
    QTRY_VERIFY_WITH_TIMEOUT(!c.window->c_memo_text->toPlainText().isEmpty(), 10000);
    c.window.reset();
    stop.store(true);
    network.join();
    QCOMPARE(hub.destroyedOpen(), 0);
}

void quillnetWindowTest::aboutShowsTwoLines()
{
    kelTempDir dir;
    fakeHub hub;
    auto a = makeWindow(hub, dir.file("q.ini"));
    kelString text, caption;
    setMessageHook([&](const kelString& t, const kelString& c, uint32_t, void*) {
        text = t;
        caption = c;
        return 1;
    });
    a.window->mi_help_about->trigger();
    setMessageHook(nullptr);
    QCOMPARE(caption, kelString(u"About"));
    const size_t br = text.find(u"\r\n");
    QVERIFY(br != kelString::npos);
    QCOMPARE(text.substr(0, br), kelString(u"Quillnet 1.0"));
    QVERIFY(text.size() > br + 2);
    QCOMPARE(QString::fromStdU16String(text).count(QStringLiteral("\r\n")), 1);
}

void quillnetWindowTest::characterOutsideTheBMPIsReplayedWhole()
{
    using r = quillnetReplay;
    QCOMPARE(quillnetDecodeText(u"a\U0001F600b"),
             (std::vector<r>{{false, u'a'}, {false, 0xD83D, 0xDE00}, {false, u'b'}}));
    // Half a character cannot be shown and is dropped alone.
    QCOMPARE(quillnetDecodeText(kelString{0xD83D, u'x', 0xDE00}), (std::vector<r>{{false, u'x'}}));

    kelTempDir dir;
    fakeHub hub;
    presetIni(dir.file("rx.ini"), u"TX=0\r\nURI=" + kURI + u"\r\n");
    auto b = makeWindow(hub, dir.file("rx.ini"));
    b.window->RXText(u"a\U0001F600b");
    QCoreApplication::sendPostedEvents();
    QCOMPARE(b.window->c_memo_text->toPlainText(), QString::fromUtf16(u"a\U0001F600b"));
}

void quillnetWindowTest::positionComesBackExactlyAndMaximisedSavesNormalBounds()
{
    kelTempDir dir;
    fakeHub hub;
    const std::string ini = dir.file("quillnet.ini");
    {
        auto a = makeWindow(hub, ini);
        a.window->move(60, 70);
        a.window->resize(480, 440);
        QTRY_COMPARE(a.window->pos(), QPoint(60, 70));
        a.window->close();
    }
    // Restarts keep the window where it was, each time.
    for (int restart = 0; restart < 3; ++restart) {
        auto a = makeWindow(hub, ini);
        QTRY_COMPARE(a.window->pos(), QPoint(60, 70));
        QCOMPARE(a.window->size(), QSize(480, 440));
        QCOMPARE(a.window->frameGeometry().topLeft(), QPoint(60, 70));
        a.window->close();
    }
    {
        // Maximised by the window system, as a window manager does.
        auto a = makeWindow(hub, ini);
        QTRY_COMPARE(a.window->pos(), QPoint(60, 70));
        a.window->windowHandle()->setWindowStates(Qt::WindowMaximized);
        QTRY_VERIFY(a.window->isMaximized());
        QTRY_VERIFY(a.window->size() != QSize(480, 440));
        a.window->close();
    }
    const std::string bytes = kelReadBytes(ini);
    for (const char16_t* line :
         {u"c_form_main.left=60\r\n", u"c_form_main.top=70\r\n", u"c_form_main.width=480\r\n",
          u"c_form_main.height=440\r\n", u"c_form_main.windowState=2\r\n"})
        QVERIFY2(bytes.find(kelUtf16LeFile(line).substr(2)) != std::string::npos,
                 QString::fromUtf16(line).toUtf8().constData());

    // Restarted maximised; un-maximising gives the normal bounds back.
    auto a = makeWindow(hub, ini);
    QTRY_VERIFY(a.window->isMaximized());
    a.window->showNormal();
    QTRY_COMPARE(a.window->size(), QSize(480, 440));
    QTRY_COMPARE(a.window->pos(), QPoint(60, 70));
}

void quillnetWindowTest::aboutBoxCaptionIsExactlyAbout()
{
    kelTempDir dir;
    fakeHub hub;
    quillnetSetupApplication();
    // The X11 platform appends an application display name to every title
    // that does not end with it; none is set.
    QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    auto a = makeWindow(hub, dir.file("q.ini"));
    QString caption;
    QString windowTitle;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        QVERIFY(box != nullptr);
        caption = box->windowTitle();
        if (box->windowHandle() != nullptr) windowTitle = box->windowHandle()->title();
        box->close();
    });
    a.window->mi_help_about->trigger();
    setMessageHook(nullptr);
    QCOMPARE(caption, QStringLiteral("About"));
    QCOMPARE(windowTitle, QStringLiteral("About"));
}

QTEST_MAIN(quillnetWindowTest)
#include "quillnetWindowTest.moc"
