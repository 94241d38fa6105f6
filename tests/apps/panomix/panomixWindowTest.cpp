// The panomix windows under the offscreen platform, over a fake output:
// the controls' states, the configuration and speaker boxes, the tree, the
// source window and the settings round trip.

#include "apps/panomix/Tc_form_main.h"
#include "apps/panomix/Tc_form_sourceManage.h"
#include "apps/panomix/panomixQtApplication.h"
#include "tests/apps/panomix/panomixFakeOutput.h"
#include "core/kelUtilsState.h"
#include "tests/support/kelTestFiles.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <memory>
#include <vector>

namespace {

struct windowUnderTest
{
    std::unique_ptr<Tc_form_main> window;
    panomixFakeOutput* out = nullptr;
};

windowUnderTest makeWindow(const std::string& ini, bool show = true)
{
    panomixWindowSetup setup;
    setup.iniFileName = kelString(ini.begin(), ini.end());
    auto out = std::make_unique<panomixFakeOutput>();
    windowUnderTest w;
    w.out = out.get();
    setup.output = std::move(out);
    setup.inputDevices = [] {
        return std::vector<panomixDeviceEntry>{{-1, u"Wave Mapper"}, {0, u"Virtual wave device"}};
    };
    w.window = std::make_unique<Tc_form_main>(std::move(setup));
    if (show) w.window->show();
    return w;
}

QString qs(const char16_t* text)
{
    return QString::fromUtf16(text);
}

QStringList treeText(QTreeWidget* tree)
{
    QStringList lines;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* root = tree->topLevelItem(i);
        lines << root->text(0);
        for (int k = 0; k < root->childCount(); ++k)
            lines << QStringLiteral("  ") + root->child(k)->text(0);
    }
    return lines;
}

uint32_t checkedMask(Tc_form_main& w)
{
    uint32_t mask = 0;
    for (size_t i = 0; i < kelSpeakerCount; ++i)
        if (w.scb[i]->isChecked()) mask |= kelSpeakers[i].r_mask;
    return mask;
}

} // namespace

class panomixWindowTest : public QObject
{
    Q_OBJECT

private:
    kelTempDir f_dir;
    std::string ini(const char* name) { return f_dir.file(name); }

private slots:
    void firstStartShowsMonoAt44100()
    {
        windowUnderTest t = makeWindow(ini("first.ini"));
        Tc_form_main& w = *t.window;
        QCOMPARE(w.c_cb_config->count(), 10);
        QCOMPARE(w.c_cb_config->currentText(), qs(u"Mono (Front Center)"));
        QCOMPARE(w.c_cb_rate->currentText(), QStringLiteral("44100"));
        QCOMPARE(w.c_label_channels->text(), qs(u"1 channel; 88 200 bytes/sec"));
        QCOMPARE(checkedMask(w), 0x4u);
        QVERIFY(w.ac_open->isEnabled() && w.c_button_open->isEnabled());
        QVERIFY(!w.ac_close->isEnabled() && !w.c_button_close->isEnabled());
        QVERIFY(w.c_rb_speakers->isChecked());
        QVERIFY(w.c_cb_autoExpand->isChecked());
        QVERIFY(w.c_timer_update->isActive());
        QCOMPARE(w.sourceWindow().c_label_rate->text(), qs(u"Sampling Rate: 44100 Hz"));
    }

    void aboutShowsTheProgramsOwnText()
    {
        windowUnderTest t = makeWindow(ini("about.ini"));
        Tc_form_main& w = *t.window;
        std::vector<kelString> shown;
        uint32_t flags = 0;
        void* owner = nullptr;
        setMessageHook([&](const kelString& text, const kelString& caption, uint32_t f, void* o) {
            shown.push_back(caption + u"|" + text);
            flags = f;
            owner = o;
            return 1;
        });
        w.mi_help_about->trigger();
        setMessageHook(nullptr);
        QCOMPARE(shown.size(), size_t(1));
        QCOMPARE(
            QString::fromStdU16String(shown[0]),
            QStringLiteral("About|Panomix 1.0\r\nMixes live, file and tone sources into one multichannel "
                           "stream"));
        QCOMPARE(flags, kelMbIconInfo);
        QCOMPARE(owner, static_cast<void*>(&w));
    }

    void configurationsAndSpeakerBoxes()
    {
        windowUnderTest t = makeWindow(ini("config.ini"));
        Tc_form_main& w = *t.window;
        w.c_cb_config->setCurrentIndex(6);
        QCOMPARE(checkedMask(w), 0x60Fu);
        QCOMPARE(t.out->pcm_numChannels(), 6u);
        QCOMPARE(w.c_label_channels->text(), qs(u"6 channels; 529 200 bytes/sec"));
        QVERIFY(w.sourceWindow().c_clb_speakers->item(9)->text().endsWith(QStringLiteral(" /present/")));
        QVERIFY(!w.sourceWindow().c_clb_speakers->item(4)->text().contains(QStringLiteral("present")));

        w.c_cb_config->setCurrentIndex(0);
        QCOMPARE(checkedMask(w), 0x3FFFFu);
        QCOMPARE(t.out->pcm_numChannels(), 18u);
        QCOMPARE(t.out->pcm_channelMask(), 0u);

        // Front Left and Back Center by hand: the custom item with 2 channels.
        w.c_cb_config->setCurrentIndex(2);
        w.scb[1]->click(); // Front Right off
        w.scb[8]->click(); // Back Center on
        QCOMPARE(w.c_cb_config->currentIndex(), 9);
        QCOMPARE(t.out->pcm_channelMask(), 0x101u);
        QCOMPARE(w.c_label_channels->text(), qs(u"2 channels; 176 400 bytes/sec"));
        QCOMPARE(w.engine().customMask(), 0x101u);
        // Unchecking the last box is "Direct Out" with every box checked.
        w.scb[0]->click();
        w.scb[8]->click();
        QCOMPARE(w.c_cb_config->currentIndex(), 0);
        QCOMPARE(checkedMask(w), 0x3FFFFu);
        // The rate list's text: a number, else 44100.
        w.c_cb_config->setCurrentIndex(2);
        w.c_cb_rate->setEditText(QStringLiteral("8000"));
        QCOMPARE(w.c_label_channels->text(), qs(u"2 channels; 32 000 bytes/sec"));
        QCOMPARE(w.sourceWindow().c_label_rate->text(), qs(u"Sampling Rate: 8000 Hz"));
        w.c_cb_rate->setEditText(QStringLiteral("0"));
        QCOMPARE(w.c_label_channels->text(), qs(u"2 channels; 176 400 bytes/sec"));
    }

    void treeInBothViews()
    {
        windowUnderTest t = makeWindow(ini("tree.ini"));
        Tc_form_main& w = *t.window;
        w.c_cb_config->setCurrentIndex(2);
        w.sourceWindow().addSource(kelASTypeSine, u"440", 0x1);
        w.sourceWindow().addSource(kelASTypeSine, u"880", 0);
        w.rebuildTree();
        QCOMPARE(treeText(w.c_tv_mapping), (QStringList{"Front Left", "  Sine, freq=440 Hz", "Front Right"}));
        QVERIFY(w.c_tv_mapping->topLevelItem(0)->isExpanded());
        w.c_rb_sources->click();
        const QStringList lines = treeText(w.c_tv_mapping);
        QCOMPARE(lines.size(), 2 + 1 + 18);
        QCOMPARE(lines[0], QStringLiteral("Sine, freq=440 Hz"));
        QCOMPARE(lines[1], QStringLiteral("  Front Left"));
        QCOMPARE(lines[2], QStringLiteral("Sine, freq=880 Hz"));
        QCOMPARE(lines.last(), QStringLiteral("  Top Back Right"));
        w.c_cb_autoExpand->click();
        w.c_rb_speakers->click();
        QVERIFY(!w.c_tv_mapping->topLevelItem(0)->isExpanded());
    }

    void openFeedsAndCloseStops()
    {
        windowUnderTest t = makeWindow(ini("play.ini"));
        Tc_form_main& w = *t.window;
        w.c_cb_config->setCurrentIndex(2);
        w.sourceWindow().addSource(kelASTypeSine, u"440", 0x3);
        w.c_cb_rate->setEditText(QStringLiteral("-5"));
        w.c_button_open->click();
        QCOMPARE(w.c_cb_rate->currentText(), QStringLiteral("44100"));
        QVERIFY(w.ac_close->isEnabled() && !w.ac_open->isEnabled() && !w.ac_manageSources->isEnabled());
        QVERIFY(!w.c_panel_speakers->isEnabled() && !w.c_cb_rate->isEnabled() && !w.c_cb_config->isEnabled());
        QVERIFY(w.engine().playing());
        for (int i = 0; i < 3; ++i)
            QVERIFY(t.out->complete());
        w.c_timer_updateTimer();
        QCOMPARE(w.c_label_mixed->text(), qs(u"Mixed: 5 292 samples"));
        w.c_button_close->click();
        QVERIFY(!w.ac_close->isEnabled() && w.ac_open->isEnabled() && w.ac_manageSources->isEnabled());
        QVERIFY(w.c_panel_speakers->isEnabled() && w.c_cb_rate->isEnabled() && w.c_cb_config->isEnabled());
        QVERIFY(!w.engine().sources().getSource(0)->active());

        // An output that does not open leaves the window stopped.
        t.out->refuseOpen = true;
        w.ac_open->trigger();
        QVERIFY(w.ac_open->isEnabled() && !w.ac_close->isEnabled());
        QVERIFY(!w.engine().playing());
    }

    void sourceWindowAddsDeletesAndMaps()
    {
        windowUnderTest t = makeWindow(ini("sources.ini"));
        Tc_form_sourceManage& s = t.window->sourceWindow();
        QCOMPARE(s.c_cb_live->count(), 2);
        QCOMPARE(s.c_cb_live->itemText(0), qs(u"Wave Mapper"));
        QVERIFY(s.c_rb_live->isChecked());
        QCOMPARE(s.c_edit_freq->text(), QStringLiteral("4400"));
        QCOMPARE(s.c_clb_speakers->count(), 18);
        QVERIFY(s.c_button_done->isDefault());
        // Editing the frequency picks the sine kind.
        s.c_edit_freq->clear();
        QTest::keyClicks(s.c_edit_freq, QStringLiteral("500"));
        QVERIFY(s.c_rb_sine->isChecked());
        s.c_button_add->click();
        s.c_edit_freq->setText(QStringLiteral("600"));
        s.c_button_add->click();
        s.c_edit_freq->setText(QStringLiteral("700"));
        s.c_button_add->click();
        QCOMPARE(s.sourceCount(), size_t(3));
        QCOMPARE(s.c_lb_sources->currentRow(), 2);
        QCOMPARE(s.c_lb_sources->item(0)->text(), QStringLiteral("Sine, freq=500 Hz"));

        // Checking speakers maps the selected source; selecting shows it.
        s.c_clb_speakers->item(0)->setCheckState(Qt::Checked);
        s.c_clb_speakers->item(9)->setCheckState(Qt::Checked);
        QCOMPARE(s.getSource(2)->mapping(), 0x201u);
        s.c_lb_sources->setCurrentRow(0);
        QCOMPARE(s.c_clb_speakers->item(0)->checkState(), Qt::Unchecked);
        s.c_lb_sources->setCurrentRow(2);
        QCOMPARE(s.c_clb_speakers->item(9)->checkState(), Qt::Checked);

        // Deleting the first of three selects the new first; deleting the
        // second then selects the first.
        s.c_lb_sources->setCurrentRow(0);
        s.c_button_delete->click();
        QCOMPARE(s.sourceCount(), size_t(2));
        QCOMPARE(s.c_lb_sources->currentRow(), 0);
        QCOMPARE(s.c_lb_sources->item(0)->text(), QStringLiteral("Sine, freq=600 Hz"));
        s.c_lb_sources->setCurrentRow(1);
        s.c_button_delete->click();
        QCOMPARE(s.c_lb_sources->currentRow(), 0);
        QCOMPARE(s.c_lb_sources->item(0)->text(), QStringLiteral("Sine, freq=600 Hz"));

        // "..." puts the chosen file into the edit and picks the WAV kind.
        s.chooseFile = [](QWidget*, const QString& folder) { return folder + QStringLiteral("/tone.wav"); };
        s.c_edit_file->setText(QStringLiteral("/tmp/x/test.wav"));
        s.c_button_browse->click();
        QCOMPARE(s.c_edit_file->text(), QStringLiteral("/tmp/x/tone.wav"));
        QVERIFY(s.c_rb_wave->isChecked());
        // The mapper is the live list's first entry.
        s.c_rb_live->setChecked(true);
        QCOMPARE(s.selectedDeviceId(), intptr_t(-1));
    }

    void settingsRoundTrip()
    {
        const std::string path = ini("round.ini");
        {
            windowUnderTest t = makeWindow(path);
            Tc_form_main& w = *t.window;
            w.c_cb_config->setCurrentIndex(2);
            w.scb[1]->click();
            w.scb[8]->click();
            w.c_cb_rate->setEditText(QStringLiteral("48000"));
            w.sourceWindow().addSource(kelASTypeSine, u"440", 0x1);
            w.sourceWindow().addSource(kelASTypeSine, u"880", 0x100);
            w.sourceWindow().c_edit_file->setText(QStringLiteral("/tmp/some file.wav"));
            w.c_cb_autoExpand->click();
            w.c_rb_sources->click();
            w.close();
        }
        kelIniFile check(kelString(path.begin(), path.end()), u"settings", 1000, true);
        QCOMPARE(check.get(u"wave.config.index", intptr_t(0)), intptr_t(9));
        QCOMPARE(check.get(u"wave.config.mask", intptr_t(0)), intptr_t(0x101));
        QCOMPARE(check.get(u"source.count", intptr_t(0)), intptr_t(2));
        QVERIFY(check.get(u"gui.autoExpand", kelString()) == u"0");

        windowUnderTest t = makeWindow(path);
        Tc_form_main& w = *t.window;
        QCOMPARE(w.c_cb_config->currentIndex(), 9);
        QCOMPARE(checkedMask(w), 0x101u);
        QCOMPARE(w.c_cb_rate->currentText(), QStringLiteral("48000"));
        QCOMPARE(t.out->pcm_samplesPerSec(), 48000u);
        QCOMPARE(w.sourceWindow().c_edit_file->text(), QStringLiteral("/tmp/some file.wav"));
        QVERIFY(!w.c_cb_autoExpand->isChecked());
        QVERIFY(w.c_rb_sources->isChecked());
        QCOMPARE(w.sourceWindow().sourceCount(), size_t(2));
        QCOMPARE(w.sourceWindow().c_lb_sources->item(1)->text(), QStringLiteral("Sine, freq=880 Hz"));
        QCOMPARE(w.sourceWindow().getSource(1)->mapping(), 0x100u);
        QCOMPARE(w.sourceWindow().getSource(0)->rate(), uintptr_t(48000));
        QCOMPARE(w.c_tv_mapping->topLevelItemCount(), 2);
    }

    void closingWhilePlayingStopsFirst()
    {
        windowUnderTest t = makeWindow(ini("closing.ini"));
        Tc_form_main& w = *t.window;
        w.sourceWindow().addSource(kelASTypeSine, u"440", 0x4);
        w.ac_open->trigger();
        QVERIFY(w.engine().playing());
        w.close();
        QVERIFY(!w.engine().playing());
        QVERIFY(!t.out->active());
        QVERIFY(!w.c_timer_update->isActive());
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    panomixSetupApplication();
    panomixWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "panomixWindowTest.moc"
