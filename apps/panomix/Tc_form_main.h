#pragma once
// The panomix main window: the sampling rate and the surround
// configuration of the output, the mapping of sources to speakers as a
// tree, Open and Close, and the settings kept between runs. The mixing
// itself is the engine's (panomixEngine): its feed loop runs on the
// output's completion thread, and this window only reads its sample count
// once a second.
//
// Everything here runs on the window thread.

#include "apps/kelQtMainWindow.h"
#include "apps/panomix/panomixDeviceList.h"
#include "apps/panomix/panomixEngine.h"
#include "core/kelIniFile.h"
#include "core/kelTypes.h"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class Tc_form_sourceManage;

// What a window is built from. The program passes an empty file name and
// the wave output; tests pass their own file, a fake output and devices.
struct panomixWindowSetup
{
    // The settings file; empty for the executable's path with ".ini".
    kelString iniFileName;
    std::unique_ptr<panomixOutput> output;
    panomixSources::factory makeSource = panomixMakeSource;
    // The input devices the source window offers.
    std::function<std::vector<panomixDeviceEntry>()> inputDevices = panomixInputDevices;
};

class Tc_form_main final : public kelQtMainWindow
{
public:
    static constexpr char16_t kCaption[] = u"MT 2.5 - Panomix";
    static constexpr char16_t kSection[] = u"settings";
    static constexpr int kTimerIntervalMs = 1000;
    // The program has no web page of its own: "&About" shows this text.
    static constexpr char16_t kAboutText[] =
        u"Panomix 1.0\r\nMixes live, file and tone sources into one multichannel stream";

    explicit Tc_form_main(panomixWindowSetup setup, QWidget* parent = nullptr);
    ~Tc_form_main() override;
    Tc_form_main(const Tc_form_main&) = delete;
    Tc_form_main& operator=(const Tc_form_main&) = delete;

    // Handlers.
    void mi_file_exitClick();
    void mi_help_aboutClick();
    void ac_manageSourcesExecute();
    void ac_openExecute();
    void ac_closeExecute();
    void c_cb_configChange();
    void c_cb_rateChange();
    void scb_click();
    void c_rb_viewClick();
    void c_cb_autoExpandClick();
    void c_timer_updateTimer();

    // Applies configuration item `index` (0-9) and shows its mask.
    void applyConfiguration(intptr_t index);
    // The speakers' check boxes, the tree, the list item and the channel
    // label for `mask`.
    void showMask(uint32_t mask);
    // The channel label; with `updateSources` the sources take the rate.
    void updateChannelLabel(bool updateSources);
    void rebuildTree();
    // Stops the timer, closes playback and writes every setting.
    void saveSettings();

    panomixEngine& engine() noexcept { return *f_engine; }
    kelIniFile& config() noexcept { return *f_config; }
    Tc_form_sourceManage& sourceWindow() noexcept { return *f_sources; }
    bool configuring() const noexcept { return f_configuring; }

    // Controls, owned by the window.
    QMenu* mi_file_root = nullptr;
    QAction* mi_file_exit = nullptr;
    QMenu* mi_sources_root = nullptr;
    QMenu* mi_playback_root = nullptr;
    QMenu* mi_help_root = nullptr;
    QAction* mi_help_about = nullptr;
    QAction* ac_manageSources = nullptr;
    QAction* ac_open = nullptr;
    QAction* ac_close = nullptr;
    QPushButton* c_button_manage = nullptr;
    QLabel* c_label_rate = nullptr;
    QComboBox* c_cb_rate = nullptr;
    QLabel* c_label_config = nullptr;
    QComboBox* c_cb_config = nullptr;
    QLabel* c_label_channels = nullptr;
    QLabel* c_label_startFrom = nullptr;
    QRadioButton* c_rb_speakers = nullptr;
    QRadioButton* c_rb_sources = nullptr;
    QCheckBox* c_cb_autoExpand = nullptr;
    QTreeWidget* c_tv_mapping = nullptr;
    QLabel* c_label_mixed = nullptr;
    QPushButton* c_button_open = nullptr;
    QPushButton* c_button_close = nullptr;
    QWidget* c_panel_speakers = nullptr;
    // The speaker table's check boxes, in table order (scb_FL ... scb_TBR).
    std::array<QCheckBox*, kelSpeakerCount> scb{};
    QStatusBar* c_sb_main = nullptr;
    QLabel* c_sb_panel_status = nullptr;
    QLabel* c_sb_panel_fixed = nullptr;
    QTimer* c_timer_update = nullptr;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void formShow() override;
    void setPlayingControls(bool playing);
    QWidget* buildClient();

    std::unique_ptr<kelIniFile> f_config;
    std::unique_ptr<panomixEngine> f_engine;
    Tc_form_sourceManage* f_sources = nullptr;
    bool f_configuring = false;
    bool f_autoExpand = true;
    bool f_closed = false;
    std::atomic<bool> f_destroying{false};
};
