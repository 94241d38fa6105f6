#pragma once
// The quillnet main window: a URI, a mode (transmitter or receiver), Start
// and Stop, and a text box. As transmitter every typed character and
// editing key goes out through `TX` at once; as receiver the text that `RX`
// raises is replayed into the text box as posted key events, so both boxes
// end up edited alike.
//
// Everything here runs on the window thread except RXText, which the
// receiver raises on its own thread and which only posts events.

#include "apps/quillnet/quillnetLink.h"
#include "apps/kelQtMainWindow.h"
#include "core/kelIniFile.h"
#include "core/kelTypes.h"

#include <atomic>
#include <memory>

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTimer;
class quillnetMemo;

// What a window is built from. The program passes empty names and its own
// links; tests pass their own file, links and default URI.
struct quillnetWindowSetup
{
    // The settings file; empty for the executable's path with ".ini".
    kelString iniFileName;
    // The URI offered when the settings have none; empty for the machine's
    // own (quillnetDefaultURI).
    kelString defaultURI;
    std::unique_ptr<quillnetLink> transmitter;
    std::unique_ptr<quillnetLink> receiver;
};

class Tc_form_main final : public kelQtMainWindow
{
public:
    static constexpr char16_t kCaption[] = u"MT 2.5 - Quillnet sample";
    static constexpr char16_t kSection[] = u"settings";
    static constexpr int kUpdateIntervalMs = 200;

    explicit Tc_form_main(quillnetWindowSetup setup, QWidget* parent = nullptr);
    ~Tc_form_main() override;
    Tc_form_main(const Tc_form_main&) = delete;
    Tc_form_main& operator=(const Tc_form_main&) = delete;

    // Handlers.
    void mi_file_exitClick();
    void mi_help_aboutClick();
    void c_button_startClick();
    void c_button_stopClick();
    void c_memo_textKeyDown(uint16_t virtualKey);
    void c_memo_textKeyPress(const QString& text);
    // Any other change of the text box, in the characters and editing keys
    // that make the receiving box match it.
    void c_memo_textMirror(const kelString& text);
    void c_timer_updateTimer();
    // The receiver's text handler; any thread. Posts one event per
    // character and per editing key to the text box, which applies them on
    // the window thread in the order posted.
    void RXText(const kelString& data);

    // Refreshes the enabled state of the controls from the components.
    void updateControls();
    // Stops the timer and writes the mode, the URI and the window position.
    void saveSettings();

    quillnetLink& TX() noexcept { return *f_tx; }
    quillnetLink& RX() noexcept { return *f_rx; }
    kelIniFile& config() noexcept { return *f_config; }

    // Controls, owned by the window.
    QStatusBar* c_sb_main = nullptr;
    QLabel* c_sb_panel_status = nullptr; // first panel: empty unless Start has something to say
    QLabel* c_sb_panel_fixed = nullptr;  // second panel: fixed text
    QTimer* c_timer_update = nullptr;
    QMenu* mi_file_root = nullptr;
    QAction* mi_file_exit = nullptr;
    QMenu* mi_help_root = nullptr;
    QAction* mi_help_about = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* c_edit_URI = nullptr;
    QPushButton* c_button_start = nullptr;
    QPushButton* c_button_stop = nullptr;
    QRadioButton* c_rb_TX = nullptr;
    QRadioButton* c_rb_RX = nullptr;
    QLabel* Label2 = nullptr;
    quillnetMemo* c_memo_text = nullptr;

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void formShow() override;
    void formCloseQuery();
    void closeComponents();
    void layoutControls();

    std::unique_ptr<kelIniFile> f_config;
    std::unique_ptr<quillnetLink> f_tx;
    std::unique_ptr<quillnetLink> f_rx;
    kelString f_defaultURI;
    QWidget* f_client = nullptr;
    std::atomic<bool> f_destroying{false};
};
