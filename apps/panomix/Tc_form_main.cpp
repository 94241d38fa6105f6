#include "apps/panomix/Tc_form_main.h"

#include "apps/panomix/Tc_form_sourceManage.h"
#include "apps/panomix/panomixSettings.h"
#include "core/kelUtilsState.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

#include <utility>

namespace {

constexpr char16_t kFixedPanelText[] = u"Panomix 1.0";

QString qs(const kelString& text)
{
    return QString::fromStdU16String(text);
}

const char* const kSpeakerBoxNames[kelSpeakerCount] = {
    "scb_FL", "scb_FR", "scb_FC", "scb_LF",  "scb_BL",  "scb_BR",  "scb_FLC", "scb_FRC", "scb_BC",
    "scb_SL", "scb_SR", "scb_TC", "scb_TFL", "scb_TFC", "scb_TFR", "scb_TBL", "scb_TBC", "scb_TBR"};

} // namespace

Tc_form_main::Tc_form_main(panomixWindowSetup setup, QWidget* parent) : kelQtMainWindow(parent)
{
    // formCreate: the settings store, the engine and its output, the
    // source window.
    f_config = std::make_unique<kelIniFile>(setup.iniFileName, kSection, 1000, true);
    f_engine = std::make_unique<panomixEngine>(std::move(setup.output), std::move(setup.makeSource));
    std::vector<panomixDeviceEntry> devices;
    if (setup.inputDevices) devices = setup.inputDevices();
    f_sources = new Tc_form_sourceManage(
        f_engine->sources(), std::move(devices), [this] { return f_engine->output().pcm_channelMask(); },
        this);

    setObjectName(QStringLiteral("c_form_main"));
    setWindowTitle(QString::fromUtf16(kCaption));

    ac_manageSources = new QAction(tr("&Manage Sources and mapping..."), this);
    ac_open = new QAction(tr("&Open"), this);
    ac_close = new QAction(tr("&Close"), this);
    ac_close->setEnabled(false);

    mi_file_root = menuBar()->addMenu(tr("File"));
    mi_file_exit = mi_file_root->addAction(tr("E&xit"));
    mi_file_exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    mi_sources_root = menuBar()->addMenu(tr("Sources"));
    mi_sources_root->addAction(ac_manageSources);
    mi_playback_root = menuBar()->addMenu(tr("Playback"));
    mi_playback_root->addAction(ac_open);
    mi_playback_root->addAction(ac_close);
    mi_help_root = menuBar()->addMenu(tr("Help"));
    mi_help_about = mi_help_root->addAction(tr("&About"));
    mi_help_about->setShortcut(QKeySequence(Qt::Key_F1));

    setCentralWidget(buildClient());

    c_sb_main = new QStatusBar(this);
    c_sb_main->setSizeGripEnabled(false);
    c_sb_panel_status = new QLabel(c_sb_main);
    c_sb_panel_status->setFixedWidth(90);
    c_sb_panel_fixed = new QLabel(QString::fromUtf16(kFixedPanelText), c_sb_main);
    c_sb_main->addWidget(c_sb_panel_status);
    c_sb_main->addWidget(c_sb_panel_fixed, 1);
    setStatusBar(c_sb_main);

    c_timer_update = new QTimer(this);
    c_timer_update->setInterval(kTimerIntervalMs);

    connect(mi_file_exit, &QAction::triggered, this, &Tc_form_main::mi_file_exitClick);
    connect(mi_help_about, &QAction::triggered, this, &Tc_form_main::mi_help_aboutClick);
    connect(ac_manageSources, &QAction::triggered, this, &Tc_form_main::ac_manageSourcesExecute);
    connect(ac_open, &QAction::triggered, this, &Tc_form_main::ac_openExecute);
    connect(ac_close, &QAction::triggered, this, &Tc_form_main::ac_closeExecute);
    connect(c_button_manage, &QPushButton::clicked, ac_manageSources, &QAction::trigger);
    connect(c_button_open, &QPushButton::clicked, ac_open, &QAction::trigger);
    connect(c_button_close, &QPushButton::clicked, ac_close, &QAction::trigger);
    // The buttons follow their actions' enabled state.
    auto follow = [](QAction* action, QPushButton* button) {
        QObject::connect(action, &QAction::changed, button,
                         [action, button] { button->setEnabled(action->isEnabled()); });
        button->setEnabled(action->isEnabled());
    };
    follow(ac_manageSources, c_button_manage);
    follow(ac_open, c_button_open);
    follow(ac_close, c_button_close);
    connect(c_cb_config, &QComboBox::currentIndexChanged, this, [this] { c_cb_configChange(); });
    connect(c_cb_rate, &QComboBox::currentTextChanged, this, [this] { c_cb_rateChange(); });
    for (QCheckBox* box : scb)
        connect(box, &QCheckBox::clicked, this, [this] { scb_click(); });
    connect(c_rb_speakers, &QRadioButton::clicked, this, &Tc_form_main::c_rb_viewClick);
    connect(c_rb_sources, &QRadioButton::clicked, this, &Tc_form_main::c_rb_viewClick);
    connect(c_cb_autoExpand, &QCheckBox::clicked, this, &Tc_form_main::c_cb_autoExpandClick);
    connect(c_tv_mapping, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (f_autoExpand && item != nullptr) item->setExpanded(true);
    });
    connect(c_timer_update, &QTimer::timeout, this, &Tc_form_main::c_timer_updateTimer);
    resize(560, 520);
}

QWidget* Tc_form_main::buildClient()
{
    auto* client = new QWidget(this);
    c_button_manage = new QPushButton(ac_manageSources->text(), client);
    c_label_rate = new QLabel(tr("Sampling &Rate:"), client);
    c_cb_rate = new QComboBox(client);
    c_cb_rate->setEditable(true);
    for (uint32_t rate : panomixSamplingRates)
        c_cb_rate->addItem(QString::number(rate));
    c_cb_rate->setEditText(QStringLiteral("44100"));
    c_label_rate->setBuddy(c_cb_rate);
    c_label_config = new QLabel(tr("Surro&und Configuration:"), client);
    c_cb_config = new QComboBox(client);
    for (const panomixConfiguration& config : panomixConfigurations)
        c_cb_config->addItem(QString::fromUtf16(config.text));
    c_label_config->setBuddy(c_cb_config);
    c_label_channels = new QLabel(QStringLiteral("Ch"), client);
    c_label_startFrom = new QLabel(tr("Start from:"), client);
    c_rb_speakers = new QRadioButton(tr("Speakers"), client);
    c_rb_sources = new QRadioButton(tr("Sources"), client);
    c_rb_speakers->setChecked(true);
    c_cb_autoExpand = new QCheckBox(tr("Auto Expand"), client);
    c_tv_mapping = new QTreeWidget(client);
    c_tv_mapping->setHeaderHidden(true);
    c_tv_mapping->setEditTriggers(QAbstractItemView::NoEditTriggers);
    c_label_mixed = new QLabel(tr("Mixed: "), client);
    c_button_open = new QPushButton(ac_open->text(), client);
    c_button_close = new QPushButton(ac_close->text(), client);
    c_panel_speakers = new QWidget(client);
    auto* speakers = new QGridLayout(c_panel_speakers);
    speakers->setContentsMargins(0, 0, 0, 0);
    for (size_t i = 0; i < kelSpeakerCount; ++i) {
        scb[i] = new QCheckBox(QString::fromUtf16(kelSpeakers[i].r_caption), c_panel_speakers);
        scb[i]->setObjectName(QString::fromLatin1(kSpeakerBoxNames[i]));
        speakers->addWidget(scb[i], int(i / 3), int(i % 3));
    }

    auto* form = new QGridLayout;
    form->addWidget(c_label_rate, 0, 0);
    form->addWidget(c_cb_rate, 0, 1);
    form->addWidget(c_label_config, 1, 0);
    form->addWidget(c_cb_config, 1, 1);
    form->addWidget(c_label_channels, 2, 1);
    auto* view = new QHBoxLayout;
    view->addWidget(c_label_startFrom);
    view->addWidget(c_rb_speakers);
    view->addWidget(c_rb_sources);
    view->addWidget(c_cb_autoExpand);
    view->addStretch();
    auto* playback = new QHBoxLayout;
    playback->addWidget(c_label_mixed, 1);
    playback->addWidget(c_button_open);
    playback->addWidget(c_button_close);
    auto* layout = new QVBoxLayout(client);
    layout->addWidget(c_button_manage);
    layout->addLayout(form);
    layout->addLayout(view);
    layout->addWidget(c_tv_mapping, 1);
    layout->addLayout(playback);
    layout->addWidget(c_panel_speakers);
    return client;
}

Tc_form_main::~Tc_form_main()
{
    // The feed loop must be stopped before the sources and the window go.
    f_destroying.store(true);
    c_timer_update->stop();
    f_engine->close();
}

void Tc_form_main::formShow()
{
    loadPosition(f_config.get(), kSection);
    c_timer_update->start();
    const panomixSettings s = panomixSettings::load(*f_config);
    f_engine->setCustomMask(s.configMask);
    f_configuring = true;
    applyConfiguration(s.configIndex);
    f_configuring = false;
    c_cb_rate->setEditText(QString::number(s.samplingRate));
    c_cb_rateChange();
    f_sources->c_edit_file->setText(qs(s.riffFile));
    f_autoExpand = s.autoExpand;
    c_cb_autoExpand->setChecked(s.autoExpand);
    c_rb_speakers->setChecked(s.viewFromSpeakers);
    c_rb_sources->setChecked(!s.viewFromSpeakers);
    for (const panomixSourceSetting& source : s.sources)
        f_sources->addSource(source.stype, source.param, source.mask);
    rebuildTree();
    f_sources->updatePresence();
}

void Tc_form_main::applyConfiguration(intptr_t index)
{
    showMask(f_engine->applyConfiguration(index).mask);
}

void Tc_form_main::showMask(uint32_t mask)
{
    const bool configuring = f_configuring;
    f_configuring = true;
    const panomixShownMask shown = f_engine->showMask(mask);
    for (size_t i = 0; i < kelSpeakerCount; ++i)
        scb[i]->setChecked(shown.present[i]);
    rebuildTree();
    c_cb_config->setCurrentIndex(int(shown.configIndex));
    updateChannelLabel(false);
    f_configuring = configuring;
}

void Tc_form_main::updateChannelLabel(bool updateSources)
{
    c_label_channels->setText(qs(f_engine->channelLabel()));
    if (updateSources) f_sources->setSamplingRate(intptr_t(f_engine->output().pcm_samplesPerSec()));
}

void Tc_form_main::c_cb_configChange()
{
    if (f_configuring) return;
    f_configuring = true;
    applyConfiguration(c_cb_config->currentIndex());
    f_configuring = false;
    f_sources->updatePresence();
}

void Tc_form_main::c_cb_rateChange()
{
    f_engine->output().set_pcm_samplesPerSec(samplingRateOf(c_cb_rate->currentText().toStdU16String()));
    updateChannelLabel(true);
}

void Tc_form_main::scb_click()
{
    if (f_configuring) return;
    f_configuring = true;
    uint32_t mask = 0;
    for (size_t i = 0; i < kelSpeakerCount; ++i)
        if (scb[i]->isChecked()) mask |= kelSpeakers[i].r_mask;
    f_engine->setCustomMask(mask);
    showMask(mask);
    f_configuring = false;
    f_sources->updatePresence();
}

void Tc_form_main::c_rb_viewClick()
{
    rebuildTree();
}

void Tc_form_main::c_cb_autoExpandClick()
{
    f_autoExpand = c_cb_autoExpand->isChecked();
}

void Tc_form_main::rebuildTree()
{
    c_tv_mapping->setUpdatesEnabled(false);
    c_tv_mapping->clear();
    const panomixSources& sources = f_engine->sources();
    if (c_rb_speakers->isChecked()) {
        for (size_t i = 0; i < kelSpeakerCount; ++i) {
            if (!scb[i]->isChecked()) continue;
            auto* root = new QTreeWidgetItem(c_tv_mapping, {QString::fromUtf16(kelSpeakers[i].r_name)});
            for (size_t s = 0; s < sources.sourceCount(); ++s)
                if (sources.getSource(s)->mapping() & kelSpeakers[i].r_mask)
                    new QTreeWidgetItem(root, {qs(sources.getSource(s)->name())});
        }
    } else {
        for (size_t s = 0; s < sources.sourceCount(); ++s) {
            const kelAudioSource* source = sources.getSource(s);
            auto* root = new QTreeWidgetItem(c_tv_mapping, {qs(source->name())});
            for (size_t i = 0; i < kelSpeakerCount; ++i)
                if (mappedTo(source->mapping(), intptr_t(i)))
                    new QTreeWidgetItem(root, {QString::fromUtf16(kelSpeakers[i].r_name)});
        }
    }
    if (c_cb_autoExpand->isChecked()) c_tv_mapping->expandAll();
    c_tv_mapping->setUpdatesEnabled(true);
}

void Tc_form_main::ac_manageSourcesExecute()
{
    f_sources->updatePresence();
    f_sources->manageSources();
    rebuildTree();
}

void Tc_form_main::ac_openExecute()
{
    const uint32_t rate = samplingRateOf(c_cb_rate->currentText().toStdU16String());
    f_engine->output().set_pcm_samplesPerSec(rate);
    c_cb_rate->setEditText(QString::number(f_engine->output().pcm_samplesPerSec()));
    if (!f_engine->open(c_cb_rate->currentText().toStdU16String())) return;
    setPlayingControls(true);
}

void Tc_form_main::ac_closeExecute()
{
    f_engine->close();
    setPlayingControls(false);
}

void Tc_form_main::setPlayingControls(bool playing)
{
    ac_manageSources->setEnabled(!playing);
    ac_open->setEnabled(!playing);
    ac_close->setEnabled(playing);
    c_panel_speakers->setEnabled(!playing);
    c_cb_rate->setEnabled(!playing);
    c_cb_config->setEnabled(!playing);
}

void Tc_form_main::c_timer_updateTimer()
{
    if (f_destroying.load()) return;
    c_label_mixed->setText(qs(mixedLabelText(f_engine->totalMixed())));
}

void Tc_form_main::mi_file_exitClick()
{
    close();
}

void Tc_form_main::mi_help_aboutClick()
{
    showMessage(kAboutText, u"About", kelMbIconInfo, this);
}

void Tc_form_main::closeEvent(QCloseEvent* e)
{
    if (!f_closed) {
        f_closed = true;
        saveSettings();
    }
    e->accept();
}

void Tc_form_main::saveSettings()
{
    c_timer_update->stop();
    if (ac_close->isEnabled()) ac_closeExecute();
    panomixSettings s;
    s.configIndex = c_cb_config->currentIndex();
    s.configMask = f_engine->customMask();
    s.samplingRate = intptr_t(f_engine->output().pcm_samplesPerSec());
    s.riffFile = f_sources->c_edit_file->text().toStdU16String();
    s.autoExpand = c_cb_autoExpand->isChecked();
    s.viewFromSpeakers = c_rb_speakers->isChecked();
    s.sources = panomixSettings::of(f_engine->sources());
    kelString saved;
    if (!f_config->enter(kSection, saved)) return;
    s.save(*f_config);
    savePosition(f_config.get(), kSection);
    f_config->leave(saved);
}
