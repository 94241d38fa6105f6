#include "apps/panomix/Tc_form_sourceManage.h"

#include "apps/panomix/panomixSpeakers.h"
#include "core/kelParseInt.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

QString qs(const kelString& text)
{
    return QString::fromStdU16String(text);
}

QString defaultChooser(QWidget* parent, const QString& folder)
{
    QFileDialog dialog(parent, QStringLiteral("Select a WAV file as audio source"), folder,
                       QStringLiteral("WAV files (*.wav);;All files (*.*)"));
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front();
}

} // namespace

Tc_form_sourceManage::Tc_form_sourceManage(panomixSources& sources, std::vector<panomixDeviceEntry> devices,
                                           std::function<uint32_t()> mask, QWidget* parent)
    : QDialog(parent), chooseFile(defaultChooser), f_source(sources), f_devices(std::move(devices)),
      f_mask(std::move(mask))
{
    setObjectName(QStringLiteral("c_form_sourceManage"));
    setWindowTitle(QString::fromUtf16(kCaption));

    c_label_rate = new QLabel(this);
    c_rb_live = new QRadioButton(tr("&Live Recording:"), this);
    c_cb_live = new QComboBox(this);
    c_rb_wave = new QRadioButton(tr("&WAVE File"), this);
    c_edit_file = new QLineEdit(QStringLiteral("test.wav"), this);
    c_button_browse = new QPushButton(QStringLiteral("..."), this);
    c_button_browse->setFixedWidth(28);
    c_rb_sine = new QRadioButton(tr("&Sine with Frequency"), this);
    c_edit_freq = new QLineEdit(QStringLiteral("4400"), this);
    c_button_add = new QPushButton(tr("&Add to List"), this);
    c_button_delete = new QPushButton(tr("D&elete Source"), this);
    c_button_done = new QPushButton(tr("&Done"), this);
    c_button_done->setDefault(true);
    c_lb_sources = new QListWidget(this);
    c_label_map = new QLabel(tr("&Map the above source to the following speaker(s) (when present):"), this);
    c_clb_speakers = new QListWidget(this);
    c_label_map->setBuddy(c_clb_speakers);
    c_sb_main = new QStatusBar(this);
    c_sb_main->setSizeGripEnabled(false);
    c_rb_live->setChecked(true);

    for (const panomixDeviceEntry& device : f_devices)
        c_cb_live->addItem(qs(device.name));
    if (c_cb_live->count() > 0) c_cb_live->setCurrentIndex(0);
    for (const kelSpeakerNameMask& speaker : kelSpeakers) {
        auto* item = new QListWidgetItem(QString::fromUtf16(speaker.r_name), c_clb_speakers);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
    }

    auto* kinds = new QGridLayout;
    kinds->addWidget(c_rb_live, 0, 0);
    kinds->addWidget(c_cb_live, 0, 1, 1, 2);
    kinds->addWidget(c_rb_wave, 1, 0);
    kinds->addWidget(c_edit_file, 1, 1);
    kinds->addWidget(c_button_browse, 1, 2);
    kinds->addWidget(c_rb_sine, 2, 0);
    kinds->addWidget(c_edit_freq, 2, 1, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(c_button_add);
    buttons->addWidget(c_button_delete);
    buttons->addStretch();
    buttons->addWidget(c_button_done);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(c_label_rate);
    layout->addLayout(kinds);
    layout->addLayout(buttons);
    layout->addWidget(c_lb_sources, 1);
    layout->addWidget(c_label_map);
    layout->addWidget(c_clb_speakers, 2);
    layout->addWidget(c_sb_main);
    resize(460, 560);

    connect(c_button_add, &QPushButton::clicked, this, &Tc_form_sourceManage::c_button_addClick);
    connect(c_button_delete, &QPushButton::clicked, this, &Tc_form_sourceManage::c_button_deleteClick);
    connect(c_button_browse, &QPushButton::clicked, this, &Tc_form_sourceManage::c_button_browseClick);
    connect(c_button_done, &QPushButton::clicked, this, &QDialog::accept);
    connect(c_lb_sources, &QListWidget::currentRowChanged, this, [this] { c_lb_sourcesClick(); });
    connect(c_clb_speakers, &QListWidget::itemChanged, this, [this] { c_clb_speakersClickCheck(); });
    connect(c_cb_live, &QComboBox::activated, this, [this] { c_rb_live->setChecked(true); });
    connect(c_edit_freq, &QLineEdit::textEdited, this, [this] { c_rb_sine->setChecked(true); });

    setSamplingRate(f_source.samplingRate());
}

bool Tc_form_sourceManage::manageSources()
{
    return exec() == QDialog::Accepted;
}

intptr_t Tc_form_sourceManage::selectedDeviceId() const
{
    const int row = c_cb_live->currentIndex();
    if (row < 0 || size_t(row) >= f_devices.size()) return -1;
    return f_devices[size_t(row)].deviceId;
}

kelAudioSource* Tc_form_sourceManage::addSource(intptr_t stype, const kelString& param, uint32_t mask)
{
    kelAudioSource* source = f_source.addSource(stype, param, mask);
    if (source == nullptr) return nullptr;
    c_lb_sources->addItem(qs(source->name()));
    c_lb_sources->setCurrentRow(c_lb_sources->count() - 1);
    refreshChecks();
    return source;
}

void Tc_form_sourceManage::c_button_addClick()
{
    if (c_rb_live->isChecked())
        addSource(kelASTypeLive, formatInteger(selectedDeviceId()), 0);
    else if (c_rb_wave->isChecked())
        addSource(kelASTypeWAV, c_edit_file->text().toStdU16String(), 0);
    else if (c_rb_sine->isChecked())
        addSource(kelASTypeSine, c_edit_freq->text().toStdU16String(), 0);
}

void Tc_form_sourceManage::c_button_deleteClick()
{
    const int p = c_lb_sources->currentRow();
    if (p < 0 || !f_source.deleteSource(size_t(p))) return;
    delete c_lb_sources->takeItem(p);
    const int last = c_lb_sources->count() - 1;
    c_lb_sources->setCurrentRow(std::min(std::max(p - 1, 0), last));
    refreshChecks();
}

void Tc_form_sourceManage::c_button_browseClick()
{
    const QString folder = QFileInfo(c_edit_file->text()).absolutePath();
    const QString chosen = chooseFile ? chooseFile(this, folder) : QString();
    if (chosen.isEmpty()) return;
    c_edit_file->setText(chosen);
    c_rb_wave->setChecked(true);
}

void Tc_form_sourceManage::c_lb_sourcesClick()
{
    refreshChecks();
}

void Tc_form_sourceManage::refreshChecks()
{
    const int row = c_lb_sources->currentRow();
    const kelAudioSource* source = row >= 0 ? f_source.getSource(size_t(row)) : nullptr;
    const uint32_t mapping = source != nullptr ? source->mapping() : 0;
    f_refreshing = true;
    for (size_t i = 0; i < kelSpeakerCount; ++i) {
        const bool on = source != nullptr && (mapping & kelSpeakers[i].r_mask) != 0;
        c_clb_speakers->item(int(i))->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    f_refreshing = false;
}

void Tc_form_sourceManage::c_clb_speakersClickCheck()
{
    if (f_refreshing) return;
    const int row = c_lb_sources->currentRow();
    kelAudioSource* source = row >= 0 ? f_source.getSource(size_t(row)) : nullptr;
    if (source == nullptr) return;
    uint32_t mask = 0;
    for (size_t i = 0; i < kelSpeakerCount; ++i)
        if (c_clb_speakers->item(int(i))->checkState() == Qt::Checked) mask |= kelSpeakers[i].r_mask;
    source->setMapping(mask);
}

void Tc_form_sourceManage::updatePresence()
{
    const uint32_t mask = f_mask ? f_mask() : 0;
    f_refreshing = true;
    for (size_t i = 0; i < kelSpeakerCount; ++i) {
        QString text = QString::fromUtf16(kelSpeakers[i].r_name);
        if (mappedTo(mask, intptr_t(i))) text += QStringLiteral(" /present/");
        c_clb_speakers->item(int(i))->setText(text);
    }
    f_refreshing = false;
}

void Tc_form_sourceManage::setSamplingRate(intptr_t rate)
{
    f_source.setSamplingRate(rate);
    c_label_rate->setText(QStringLiteral("Sampling Rate: ") + QString::number(rate) + QStringLiteral(" Hz"));
}
