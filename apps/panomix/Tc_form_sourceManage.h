#pragma once
// The source window: makes and deletes the sources (live recording from a
// wave input device, a WAV file, a sine tone) and edits each source's
// speaker mapping. Shown modally by the main window, which opens, feeds and
// closes the sources through the engine's source list (panomixSources)
// that this window edits. Window thread only; the main window shows it only
// while playback is closed.

#include "apps/panomix/panomixDeviceList.h"
#include "apps/panomix/panomixSources.h"
#include "core/kelTypes.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QComboBox;
class QStatusBar;

class Tc_form_sourceManage final : public QDialog
{
public:
    static constexpr char16_t kCaption[] = u"MT 2.5 Panomix -- Audio Source Selection";
    // Asks for a WAV file to play, starting in `folder`; empty when none
    // was chosen. Tests replace the file dialog with their own.
    using fileChooser = std::function<QString(QWidget* parent, const QString& folder)>;

    // `sources` is the engine's list and must outlive the window; `mask`
    // gives the output's current speaker mask (for the " /present/" marks).
    Tc_form_sourceManage(panomixSources& sources, std::vector<panomixDeviceEntry> devices,
                         std::function<uint32_t()> mask, QWidget* parent = nullptr);

    // Shows the window modally; true when it was closed with "&Done".
    bool manageSources();
    // Makes a source of a kind (100 live, 101 WAV file, 102 sine), appends
    // it to the list and selects it; null for an unknown kind.
    kelAudioSource* addSource(intptr_t stype, const kelString& param, uint32_t mask);
    // Marks the speakers of the output's configuration as " /present/".
    void updatePresence();
    // Stores the rate, shows it and gives it to every source.
    void setSamplingRate(intptr_t rate);
    intptr_t samplingRate() const noexcept { return f_source.samplingRate(); }
    kelAudioSource* getSource(size_t index) const noexcept { return f_source.getSource(index); }
    size_t sourceCount() const noexcept { return f_source.sourceCount(); }
    // The device number of the live list's current entry.
    intptr_t selectedDeviceId() const;

    // Handlers.
    void c_button_addClick();
    void c_button_deleteClick();
    void c_button_browseClick();
    void c_lb_sourcesClick();
    void c_clb_speakersClickCheck();

    fileChooser chooseFile;

    // Controls, owned by the window.
    QLabel* c_label_rate = nullptr;
    QRadioButton* c_rb_live = nullptr;
    QComboBox* c_cb_live = nullptr;
    QRadioButton* c_rb_wave = nullptr;
    QLineEdit* c_edit_file = nullptr;
    QPushButton* c_button_browse = nullptr;
    QRadioButton* c_rb_sine = nullptr;
    QLineEdit* c_edit_freq = nullptr;
    QPushButton* c_button_add = nullptr;
    QPushButton* c_button_delete = nullptr;
    QPushButton* c_button_done = nullptr;
    QListWidget* c_lb_sources = nullptr;
    QLabel* c_label_map = nullptr;
    QListWidget* c_clb_speakers = nullptr;
    QStatusBar* c_sb_main = nullptr;

private:
    void refreshChecks();

    panomixSources& f_source;
    std::vector<panomixDeviceEntry> f_devices;
    std::function<uint32_t()> f_mask;
    bool f_refreshing = false;
};
