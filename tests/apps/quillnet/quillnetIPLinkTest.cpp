// Two quillnet windows in one process joined by the real IP components on
// 127.0.0.1: what is typed into the transmitting window appears in the
// receiving one.

#include "apps/quillnet/Tc_form_main.h"
#include "apps/quillnet/quillnetIPLink.h"
#include "apps/quillnet/quillnetMemo.h"
#include "core/kelUtilsState.h"
#include "tests/streaming/kelIPTestNet.h"
#include "tests/support/kelTestFiles.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>

namespace {

struct ipWindow
{
    std::unique_ptr<Tc_form_main> window;
    quillnetIPLink* tx = nullptr;
};

ipWindow makeWindow(const std::string& ini, const kelString& uri, bool transmit)
{
    kelWriteBytes(ini, kelUtf16LeFile(u"[settings]\r\nTX=" + kelString(transmit ? u"-1" : u"0") + u"\r\nURI=" + uri +
                                      u"\r\n"));
    quillnetWindowSetup setup;
    setup.iniFileName = kelString(ini.begin(), ini.end());
    setup.defaultURI = uri;
    auto tx = std::make_unique<quillnetIPLink>(quillnetIPLink::role::transmitter);
    ipWindow w;
    w.tx = tx.get();
    setup.transmitter = std::move(tx);
    setup.receiver = std::make_unique<quillnetIPLink>(quillnetIPLink::role::receiver);
    w.window = std::make_unique<Tc_form_main>(std::move(setup));
    w.window->show();
    return w;
}

} // namespace

class quillnetIPLinkTest final : public QObject
{
    Q_OBJECT

private slots:
    void typedTextCrossesLoopback();
};

void quillnetIPLinkTest::typedTextCrossesLoopback()
{
    const uint16_t port = kelTestFreeRTPPort();
    QVERIFY(port != 0);
    const kelString uri = kelTestURI(port);
    kelTempDir dir;
    auto rx = makeWindow(dir.file("rx.ini"), uri, false);
    auto tx = makeWindow(dir.file("tx.ini"), uri, true);
    rx.window->c_button_start->click();
    tx.window->c_button_start->click();
    QVERIFY(tx.window->TX().active());
    QVERIFY(rx.window->RX().active());
    // Typing counts only once the receiver's hole packets reached us.
    QTRY_VERIFY_WITH_TIMEOUT(tx.tx->transmitter()->rootDestCount() >= 1, 30000);

    QWidget* box = tx.window->c_memo_text;
    QTest::keyClick(box, Qt::Key_A);
    QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(QChar(0x0436)), Qt::NoModifier);
    const QString expected = QStringLiteral("a") + QChar(0x0436);
    QCOMPARE(tx.window->c_memo_text->toPlainText(), expected);
    QTRY_COMPARE_WITH_TIMEOUT(rx.window->c_memo_text->toPlainText(), expected, 10000);

    tx.window->c_button_stop->click();
    rx.window->c_button_stop->click();
    QVERIFY(!rx.window->RX().active());
}

QTEST_MAIN(quillnetIPLinkTest)
#include "quillnetIPLinkTest.moc"
