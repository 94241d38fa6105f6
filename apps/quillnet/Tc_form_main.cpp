#include "apps/quillnet/Tc_form_main.h"

#include "apps/quillnet/quillnetDefaultURI.h"
#include "apps/quillnet/quillnetEditKeys.h"
#include "apps/quillnet/quillnetMemo.h"
#include "core/kelUtilsState.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>

namespace {

// Layout of the client area, in pixels: 455 x 379 with the status bar.
constexpr int kClientWidth = 455;
constexpr int kClientHeight = 379;
constexpr int kStatusHeight = 19;
constexpr int kMargin = 8;
constexpr int kRightMargin = kClientWidth - 8 - 436;                     // URI and text boxes
constexpr int kBottomMargin = kClientHeight - kStatusHeight - 114 - 237; // text box
// The smallest outer window is 300 x 370; its frame takes 8 x 54 of that,
// of which the menu bar is inside this widget.
constexpr int kMinClientWidth = 300 - 8;
constexpr int kMinClientHeight = 370 - 54;

constexpr char16_t kAboutText[] = u"Quillnet 1.0\r\nReal-time text over RTP between two machines";
constexpr char16_t kFixedPanelText[] = u"T.140";

QString qs(const char16_t* text)
{
    return QString::fromUtf16(text);
}

QString qs(const kelString& text)
{
    return QString::fromStdU16String(text);
}

} // namespace

Tc_form_main::Tc_form_main(quillnetWindowSetup setup, QWidget* parent)
    : kelQtMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                  Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                  Qt::WindowCloseButtonHint),
      f_tx(std::move(setup.transmitter)), f_rx(std::move(setup.receiver)),
      f_defaultURI(std::move(setup.defaultURI))
{
    // formCreate: the settings store.
    f_config = std::make_unique<kelIniFile>(setup.iniFileName, kSection, 1000, true);
    if (!f_tx) f_tx = std::make_unique<quillnetUnavailableLink>();
    if (!f_rx) f_rx = std::make_unique<quillnetUnavailableLink>();

    setObjectName(QStringLiteral("c_form_main"));
    setWindowTitle(qs(kCaption));
    setFont(QFont(QStringLiteral("Tahoma"), 8));

    mi_file_root = menuBar()->addMenu(tr("&File"));
    mi_file_exit = mi_file_root->addAction(tr("E&xit"));
    mi_file_exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    mi_help_root = menuBar()->addMenu(tr("H&elp"));
    mi_help_about = mi_help_root->addAction(tr("About"));

    f_client = new QWidget(this);
    setCentralWidget(f_client);
    Label1 = new QLabel(tr("&URI:"), f_client);
    c_edit_URI = new QLineEdit(f_client);
    Label1->setBuddy(c_edit_URI);
    Label2 = new QLabel(tr("&Mode:"), f_client);
    c_rb_TX = new QRadioButton(tr("Transmitter"), f_client);
    c_rb_RX = new QRadioButton(tr("&Receiver"), f_client);
    Label2->setBuddy(c_rb_TX);
    c_button_start = new QPushButton(tr("&Start"), f_client);
    c_button_stop = new QPushButton(tr("S&top"), f_client);
    c_memo_text = new quillnetMemo(f_client);
    c_rb_TX->setChecked(true);
    f_client->installEventFilter(this);

    c_sb_main = new QStatusBar(this);
    c_sb_main->setSizeGripEnabled(false);
    c_sb_main->setFixedHeight(kStatusHeight);
    c_sb_panel_status = new QLabel(c_sb_main);
    c_sb_panel_status->setMinimumWidth(100);
    c_sb_panel_fixed = new QLabel(qs(kFixedPanelText), c_sb_main);
    c_sb_panel_fixed->setFixedWidth(50);
    c_sb_main->addWidget(c_sb_panel_status);
    c_sb_main->addWidget(c_sb_panel_fixed);
    setStatusBar(c_sb_main);

    c_timer_update = new QTimer(this);
    c_timer_update->setInterval(kUpdateIntervalMs);

    // Idle until the first refresh.
    c_button_stop->setEnabled(false);
    c_memo_text->setEnabled(false);

    connect(mi_file_exit, &QAction::triggered, this, &Tc_form_main::mi_file_exitClick);
    connect(mi_help_about, &QAction::triggered, this, &Tc_form_main::mi_help_aboutClick);
    connect(c_button_start, &QPushButton::clicked, this, &Tc_form_main::c_button_startClick);
    connect(c_button_stop, &QPushButton::clicked, this, &Tc_form_main::c_button_stopClick);
    connect(c_timer_update, &QTimer::timeout, this, &Tc_form_main::c_timer_updateTimer);
    c_memo_text->onKeyDown = [this](uint16_t vk) { c_memo_textKeyDown(vk); };
    c_memo_text->onKeyPress = [this](const QString& text) { c_memo_textKeyPress(text); };
    c_memo_text->onMirror = [this](const kelString& text) { c_memo_textMirror(text); };
    f_rx->setTextHandler([this](const kelString& data) { RXText(data); });

    const int menuHeight = menuBar()->sizeHint().height();
    setMinimumSize(kMinClientWidth, kMinClientHeight + menuHeight);
    resize(kClientWidth, kClientHeight + menuHeight);
    layoutControls();
}

Tc_form_main::~Tc_form_main()
{
    // formDestroy. The receiver must be closed before the text box it posts
    // to goes away; closing waits for a text handler that is running.
    f_destroying.store(true);
    closeComponents();
    f_config.reset();
}

void Tc_form_main::formShow()
{
    loadPosition(f_config.get(), kSection);
    const bool tx = f_config->get(u"TX", true);
    c_rb_TX->setChecked(tx);
    c_rb_RX->setChecked(!tx);
    if (f_defaultURI.empty()) f_defaultURI = quillnetDefaultURI();
    c_edit_URI->setText(qs(f_config->get(u"URI", f_defaultURI)));
    c_timer_update->start();
}

void Tc_form_main::closeEvent(QCloseEvent* e)
{
    formCloseQuery();
    // Settings first, then the components, while the text box still exists.
    closeComponents();
    e->accept();
}

void Tc_form_main::formCloseQuery()
{
    saveSettings();
}

void Tc_form_main::saveSettings()
{
    c_timer_update->stop();
    kelString saved;
    if (!f_config->enter(kSection, saved)) return;
    f_config->setValue(u"TX", c_rb_TX->isChecked());
    f_config->setValue(u"URI", c_edit_URI->text().toStdU16String());
    savePosition(f_config.get(), kSection);
    f_config->leave(saved);
}

void Tc_form_main::closeComponents()
{
    f_tx->close();
    f_rx->close();
}

void Tc_form_main::mi_file_exitClick()
{
    close();
}

void Tc_form_main::mi_help_aboutClick()
{
    showMessage(kAboutText, u"About", kelMbIconInfo, this);
}

void Tc_form_main::c_button_startClick()
{
    c_button_start->setEnabled(false);
    c_memo_text->startOver(c_rb_TX->isChecked());
    c_sb_panel_status->clear();
    const kelString uri = c_edit_URI->text().toStdU16String();
    quillnetLink* opened = nullptr;
    if (c_rb_TX->isChecked()) opened = f_tx.get();
    if (c_rb_RX->isChecked()) opened = f_rx.get();
    if (opened != nullptr) {
        // A start that fails says why, until the next start.
        if (!opened->open(uri)) c_sb_panel_status->setText(qs(opened->errorText()));
    }
    updateControls();
    // Typing goes to the text box once it transmits; after a failed start
    // it must not land in the URI box.
    if (c_memo_text->isEnabled())
        c_memo_text->setFocus();
    else if (c_button_start->isEnabled())
        c_button_start->setFocus();
}

void Tc_form_main::c_button_stopClick()
{
    closeComponents();
    updateControls();
}

void Tc_form_main::c_timer_updateTimer()
{
    if (!f_destroying.load()) updateControls();
}

void Tc_form_main::updateControls()
{
    const bool active = f_tx->active() || f_rx->active();
    c_button_stop->setEnabled(active);
    c_button_start->setEnabled(!active);
    c_rb_TX->setEnabled(!active);
    c_rb_RX->setEnabled(!active);
    c_edit_URI->setEnabled(!active);
    c_memo_text->setEnabled(c_rb_TX->isChecked() && f_tx->active());
}

void Tc_form_main::c_memo_textKeyPress(const QString& text)
{
    f_tx->sendText(text.toStdU16String());
}

void Tc_form_main::c_memo_textMirror(const kelString& text)
{
    f_tx->sendText(text);
}

void Tc_form_main::c_memo_textKeyDown(uint16_t virtualKey)
{
    const kelString text = quillnetEncodeEditKey(virtualKey);
    if (!text.empty()) f_tx->sendText(text);
}

void Tc_form_main::RXText(const kelString& data)
{
    for (const quillnetReplay& edit : quillnetDecodeText(data))
        QCoreApplication::postEvent(c_memo_text, new quillnetReplayEvent(edit.keyDown, edit.value, edit.low));
}

bool Tc_form_main::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == f_client && e->type() == QEvent::Resize) layoutControls();
    return kelQtMainWindow::eventFilter(watched, e);
}

void Tc_form_main::layoutControls()
{
    const int w = f_client->width();
    const int h = f_client->height();
    Label1->move(kMargin, 8);
    Label1->adjustSize();
    c_edit_URI->setGeometry(kMargin, 24, std::max(0, w - kMargin - kRightMargin), 21);
    Label2->move(kMargin, 56);
    Label2->adjustSize();
    c_rb_TX->setGeometry(54, 55, 113, 17);
    c_rb_RX->setGeometry(174, 55, 113, 17);
    c_button_start->setGeometry(kMargin, 83, 75, 25);
    c_button_stop->setGeometry(96, 83, 75, 25);
    c_memo_text->setGeometry(kMargin, 114, std::max(0, w - kMargin - kRightMargin),
                             std::max(0, h - 114 - kBottomMargin));
}
