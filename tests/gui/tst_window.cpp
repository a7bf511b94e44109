// SPDX-License-Identifier: GPL-2.0-or-later
// The window at start-up and under the operator's hand, while no command runs:
// card detection, restored controls, the display buttons and the choice handlers.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "gui_support.h"

using guitest::child;
using guitest::SimCard;
using guitest::text;
using guitest::WorkingFolder;
namespace gl = guitest::log;

Q_DECLARE_METATYPE(std::vector<unsigned char>)

namespace {

const QStringList preset_names = {"superButton", "ultraButton", "excellentButton", "goodButton",
                                  "fairButton", "poorButton", "mobileButton"};
const QStringList advanced_names = {"h264profileComboBox", "h264LevelComboBox", "lineEncodedWidth",
                                    "lineEncodedHight", "lineAverageBitRate", "lineEncodingFrameRate"};
const QStringList mode_names = {"autoModeButton", "manualButton", "advancedButton"};

// Stored advanced configuration of 1280*720, 5000 kbit/s, high profile level 4.1,
// with the given doubled frame rate in entry 9.
std::vector<unsigned char> advanced_config(int twice_rate)
{
    const int values[11] = {297, 1280, 720, 12500, 10000, 5000, 2500, 17500, 0, twice_rate, 1};
    return guitest::advanced_eeprom(values);
}

std::vector<unsigned char> manual_config(int preset)
{
    return testsupport::manual_eeprom(preset);
}

std::vector<unsigned char> no_config()
{
    return testsupport::manual_eeprom(0);
}

QStringList checked(Widget& w, const QStringList& names)
{
    QStringList out;
    for (const QString& n : names)
        if (child<QAbstractButton>(w, n)->isChecked())
            out << n;
    return out;
}

// Names whose widgets are enabled.
QStringList enabled(Widget& w, const QStringList& names)
{
    QStringList out;
    for (const QString& n : names)
        if (child(w, n)->isEnabled())
            out << n;
    return out;
}

void click(Widget& w, const QString& name) { child<QAbstractButton>(w, name)->click(); }

}  // namespace

class WindowTest : public guitest::WindowProgramTest {
    Q_OBJECT

private slots:
    // ---- start-up ----

    void startup_judges_the_detection_file_by_bytes_2_to_9_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("capture");
        QTest::addColumn<QString>("show");

        const QString no = "Fail:Not an HDMI capture card";
        QTest::newRow("missing") << false << QByteArray() << false << no;
        QTest::newRow("empty") << true << QByteArray() << false << no;
        QTest::newRow("00Capture") << true << QByteArray("00Capture\n") << true << "OK";
        QTest::newRow("01Capture: digits not read") << true << QByteArray("01Capture\n") << true << "OK";
        QTest::newRow("no line feed") << true << QByteArray("00Capture") << false << no;
        QTest::newRow("second record only") << true << QByteArray("00Other\n00Capture\n") << false << no;
        QTest::newRow("long file") << true << QByteArray("00Capture\n") + QByteArray(300, 'x') << true << "OK";
    }
    void startup_judges_the_detection_file_by_bytes_2_to_9()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);
        QFETCH(bool, capture);
        QFETCH(QString, show);

        SimCard card("start");
        std::unique_ptr<WorkingFolder> cwd(exists ? new WorkingFolder(content.toStdString())
                                                  : new WorkingFolder());
        Widget w;
        QCOMPARE(WidgetTest::captureFlag(w), capture);
        QCOMPARE(text(w, "showlabel"), show);
        QCOMPARE(text(w, "statuslabel"), QString(" "));
        QCOMPARE(WidgetTest::fd(w) > 2, capture);
        // The head of the file, at most 127 bytes, always followed by zero bytes.
        QByteArray head = content.left(127);
        QCOMPARE(WidgetTest::hwBuf(w), head + QByteArray(128 - head.size(), '\0'));
        if (capture) {
            QCOMPARE(text(w, "lineInputFormat"), QString("1920*1080 60HZ P"));
            QCOMPARE(text(w, "linelOutputformat"), QString("Auto mode!"));
        } else {
            QCOMPARE(WidgetTest::fd(w), 0);
            QCOMPARE(text(w, "lineInputFormat"), QString());
            QCOMPARE(checked(w, mode_names), QStringList());
        }
        QCOMPARE(gl::messages().contains("fail to fopen"), !exists);
    }

    void startup_restores_the_stored_configuration_data()
    {
        QTest::addColumn<std::vector<unsigned char>>("eeprom");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("modes");
        QTest::addColumn<QStringList>("presets");
        QTest::addColumn<bool>("presetsEnabled");
        QTest::addColumn<bool>("advancedEnabled");
        QTest::addColumn<int>("cmd");
        QTest::addColumn<int>("manualNum");

        QTest::newRow("auto") << SimCard::factory_eeprom() << "Auto mode!" << QStringList{"autoModeButton"}
                              << QStringList() << false << false << 1 << 0;
        const char* texts[] = {" Manual mode:super 1920*1080", "Manual mode:ultra 1440*1080 ",
                               "Manual mode:excellent 1280*720", "Manual mode:good 1120*640",
                               "Manual mode:fair 960*540", "Manual mode:poor 800*480",
                               "Manual mode:mobile 480*272"};
        for (int p = 1; p <= 7; ++p)
            QTest::addRow("manual %d", p) << manual_config(p) << texts[p - 1] << QStringList{"manualButton"}
                                          << QStringList{preset_names[p - 1]} << true << false << 2 << p;
        QTest::newRow("manual 9") << manual_config(9) << "" << QStringList{"manualButton"} << QStringList()
                                  << true << false << 2 << 0;
        QTest::newRow("advanced") << advanced_config(60) << " Advanced mode:1280*720 30HZ"
                                  << QStringList{"advancedButton"} << QStringList() << false << true << 3 << 0;
        QTest::newRow("advanced, odd rate") << advanced_config(61) << " Advanced mode:1280*720 30HZ"
                                            << QStringList{"advancedButton"} << QStringList() << false
                                            << true << 3 << 0;
        QTest::newRow("none") << no_config() << "" << QStringList() << QStringList() << true << true << 0 << 0;
    }
    void startup_restores_the_stored_configuration()
    {
        QFETCH(std::vector<unsigned char>, eeprom);
        QFETCH(QString, output);
        QFETCH(QStringList, modes);
        QFETCH(QStringList, presets);
        QFETCH(bool, presetsEnabled);
        QFETCH(bool, advancedEnabled);
        QFETCH(int, cmd);
        QFETCH(int, manualNum);

        SimCard card("config");
        card.set_eeprom(eeprom);
        WorkingFolder cwd("00Capture\n");
        Widget w;
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        QCOMPARE(text(w, "linelOutputformat"), output);
        QCOMPARE(checked(w, mode_names), modes);
        QCOMPARE(checked(w, preset_names), presets);
        QCOMPARE(enabled(w, preset_names), presetsEnabled ? preset_names : QStringList());
        QCOMPARE(enabled(w, advanced_names), advancedEnabled ? advanced_names : QStringList());
        const argmsg& m = WidgetTest::argMsg(w);
        QCOMPARE(m.cmd, cmd);
        QCOMPARE(m.manualNum, manualNum);
        QCOMPARE(m.muteNum, false);
        if (cmd == 3) {
            // Taken from the controls as the form shows them, not from the card.
            const advice_number a = m.advice;
            QCOMPARE((QList<int>{a.profileNum, a.levelNum, a.H_Num, a.V_Num, a.bitrateNum, a.frameNum}),
                     (QList<int>{0, 30, 1280, 720, 5000, 30}));
        }
    }

    void startup_logs_what_the_card_reports()
    {
        SimCard card("startlog");
        card.set_eeprom(advanced_config(59));
        WorkingFolder cwd("00Capture\n");
        Widget w;
        QCOMPARE(gl::messages(), QStringList({"input format:\nVRow= 1920, VColumn= 1080, VFreq= 60, VScan= 1",
                                              "the latest setting is Advanced mode: 1280 * 720 29 "}));
        QCOMPARE(text(w, "linelOutputformat"), QString(" Advanced mode:1280*720 29HZ"));
    }

    void startup_reports_a_frontend_that_does_not_open()
    {
        SimCard card("nonode", {"CARDSIM_NODES=1:0"});
        WorkingFolder cwd("00Capture\n");
        Widget w;
        QCOMPARE(text(w, "showlabel"), QString("Fail:adapter and fronted are erro"));
        QVERIFY(WidgetTest::fd(w) < 0);
        QCOMPARE(text(w, "lineInputFormat"), QString());
        QCOMPARE(checked(w, mode_names), QStringList());
        QCOMPARE(WidgetTest::argMsg(w).cmd, 0);
        QCOMPARE(gl::messages(), QStringList());
    }

    // ---- is_capture and the "Set" beside adapter and frontend ----

    void is_capture_takes_the_first_matching_pair_anywhere_data()
    {
        QTest::addColumn<QByteArray>("log2");
        QTest::addColumn<QString>("adapter");
        QTest::addColumn<QString>("frontend");
        QTest::addColumn<bool>("capture");

        const QByteArray two("00Capture\n10Other\n");
        QTest::newRow("1 0 marked other") << two << "1" << "0" << false;
        QTest::newRow("0 0 marked capture") << two << "0" << "0" << true;
        QTest::newRow("2 0 not mentioned") << two << "2" << "0" << true;
        QTest::newRow("10 0 matches no digit") << two << "10" << "0" << true;
        QTest::newRow("letters read as 0 0") << two << "x" << "y" << true;
        QTest::newRow("19 matches the letter C") << QByteArray("00Capture\n") << "19" << "49" << false;
        QTest::newRow("empty file") << QByteArray() << "3" << "4" << true;
        QTest::newRow("pair too close to the end") << QByteArray(125, 'x') + "00" << "0" << "0" << false;
        QTest::newRow("pair inside a word") << QByteArray("00Capture\n7x23Other\n") << "2" << "3" << false;
    }
    void is_capture_takes_the_first_matching_pair_anywhere()
    {
        QFETCH(QByteArray, log2);
        QFETCH(QString, adapter);
        QFETCH(QString, frontend);
        QFETCH(bool, capture);

        SimCard card("iscap");
        WorkingFolder cwd(log2.toStdString());
        Widget w;
        child<QLineEdit>(w, "lineAdapter")->setText(adapter);
        child<QLineEdit>(w, "lineFrontend")->setText(frontend);
        QCOMPARE(WidgetTest::is_capture(w), capture);
    }

    void set_beside_the_numbers_releases_then_opens_the_typed_frontend()
    {
        SimCard card("checkaf", {"CARDSIM_NODES=0:0,1:1"});
        WorkingFolder cwd("00Capture\n10Other\n11Capture\n");
        Widget w;
        const int first = WidgetTest::fd(w);
        QVERIFY(first > 2);
        auto* adapter = child<QLineEdit>(w, "lineAdapter");
        auto* frontend = child<QLineEdit>(w, "lineFrontend");
        child<QLabel>(w, "statuslabel")->setText("old");

        adapter->setText("1");
        frontend->setText("0");
        click(w, "checkAFButton");
        QCOMPARE(text(w, "showlabel"), QString("Fail:Not an HDMI capture card"));
        QCOMPARE(text(w, "statuslabel"), QString(" "));
        QCOMPARE(WidgetTest::fd(w), 0);

        frontend->setText("1");
        click(w, "checkAFButton");
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        QVERIFY(WidgetTest::fd(w) > 2);

        // Not in the file, so taken as a capture frontend, but there is no such node.
        adapter->setText("2");
        click(w, "checkAFButton");
        QCOMPARE(text(w, "showlabel"), QString("Fail:adapter and fronted are erro"));
        QVERIFY(WidgetTest::fd(w) < 0);

        // The released descriptors were closed: adapter 0 opens again.
        adapter->setText("0");
        frontend->setText("0");
        click(w, "checkAFButton");
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        QCOMPARE(WidgetTest::fd(w), first);
    }

    // ---- GetInput and GetOutput ----

    void get_input_shows_size_rate_and_scan_data()
    {
        QTest::addColumn<QString>("signal");
        QTest::addColumn<QString>("shown");
        QTest::newRow("progressive 60") << "1920x1080@60p" << "1920*1080 60HZ P";
        QTest::newRow("interlaced 50") << "1920x1080@50i" << "1920*1080 50HZ I";
        QTest::newRow("59 rounds to 60") << "1280x720@59p" << "1280*720 60HZ P";
        QTest::newRow("49 rounds to 50") << "720x576@49i" << "720*576 50HZ I";
        QTest::newRow("23 reads as 24") << "1920x1080@23p" << "1920*1080 24HZ P";
        QTest::newRow("30 stays") << "640x480@30p" << "640*480 30HZ P";
    }
    void get_input_shows_size_rate_and_scan()
    {
        QFETCH(QString, signal);
        QFETCH(QString, shown);
        SimCard card("input", {"CARDSIM_SIGNAL=" + signal.toStdString()});
        WorkingFolder cwd("00Capture\n");
        Widget w;
        QCOMPARE(text(w, "lineInputFormat"), shown);
        child<QLineEdit>(w, "lineInputFormat")->setText("stale");
        child<QLabel>(w, "statuslabel")->setText("old");
        click(w, "getInputButton");
        QCOMPARE(text(w, "lineInputFormat"), shown);
        QCOMPARE(text(w, "statuslabel"), QString(" "));
    }

    void get_output_shows_the_latest_stored_setting_data()
    {
        QTest::addColumn<std::vector<unsigned char>>("eeprom");
        QTest::addColumn<QString>("shown");
        QTest::newRow("auto") << SimCard::factory_eeprom() << "Auto mode!";
        QTest::newRow("auto wins over a preset") << [] {
            auto e = SimCard::factory_eeprom();
            e[21] = 3;
            return e;
        }() << "Auto mode!";
        QTest::newRow("manual 2") << manual_config(2) << "Manual mode:ultra 1440*1080 ";
        QTest::newRow("manual 7") << manual_config(7) << "Manual mode:mobile 480*272";
        QTest::newRow("manual 8 leaves the text") << manual_config(8) << "previous";
        QTest::newRow("advanced") << advanced_config(60) << " Advanced mode:1280*720 30HZ";
        QTest::newRow("advanced 59") << advanced_config(59) << " Advanced mode:1280*720 29HZ";
        QTest::newRow("count 10 leaves the text") << [] {
            auto e = advanced_config(60);
            e[17] = 10;
            return e;
        }() << "previous";
    }
    void get_output_shows_the_latest_stored_setting()
    {
        QFETCH(std::vector<unsigned char>, eeprom);
        QFETCH(QString, shown);
        SimCard card("output");
        card.set_eeprom(eeprom);
        WorkingFolder cwd("00Capture\n");
        Widget w;
        child<QLineEdit>(w, "linelOutputformat")->setText("previous");
        child<QLabel>(w, "statuslabel")->setText("old");
        click(w, "getOutputButton");
        QCOMPARE(text(w, "linelOutputformat"), shown);
        QCOMPARE(text(w, "statuslabel"), QString(" "));
    }

    void display_buttons_without_a_device_only_blank_the_status()
    {
        SimCard card("nodev");
        WorkingFolder cwd;  // no detection file, no device
        Widget w;
        for (const char* button : {"getInputButton", "getOutputButton"}) {
            child<QLineEdit>(w, "lineInputFormat")->setText("in");
            child<QLineEdit>(w, "linelOutputformat")->setText("out");
            child<QLabel>(w, "statuslabel")->setText("old");
            click(w, button);
            QCOMPARE(text(w, "statuslabel"), QString(" "));
            QCOMPARE(text(w, "lineInputFormat"), QString("in"));
            QCOMPARE(text(w, "linelOutputformat"), QString("out"));
        }
        QCOMPARE(gl::messages(), QStringList({"fail to fopen"}));
    }

    // ---- choice handlers ----

    void mode_buttons_switch_their_controls_and_record_the_command()
    {
        SimCard card("modes");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        child<QLabel>(w, "statuslabel")->setText("old");

        click(w, "manualButton");
        QCOMPARE(WidgetTest::argMsg(w).cmd, 2);
        QCOMPARE(enabled(w, preset_names), preset_names);
        QCOMPARE(enabled(w, advanced_names), QStringList());
        QCOMPARE(text(w, "statuslabel"), QString(" "));

        child<QComboBox>(w, "h264profileComboBox")->setCurrentIndex(0);
        click(w, "advancedButton");
        QCOMPARE(WidgetTest::argMsg(w).cmd, 3);
        QCOMPARE(enabled(w, preset_names), QStringList());
        QCOMPARE(enabled(w, advanced_names), advanced_names);

        // The advanced values are read when the mode is chosen, unchecked.
        child<QComboBox>(w, "h264profileComboBox")->setCurrentIndex(1);
        child<QComboBox>(w, "h264LevelComboBox")->setCurrentIndex(5);
        child<QLineEdit>(w, "lineEncodedWidth")->setText("");
        child<QLineEdit>(w, "lineEncodedHight")->setText("abc");
        child<QLineEdit>(w, "lineAverageBitRate")->setText("99999");
        child<QLineEdit>(w, "lineEncodingFrameRate")->setText("-5");
        click(w, "advancedButton");
        const advice_number a = WidgetTest::argMsg(w).advice;
        QCOMPARE((QList<int>{a.profileNum, a.levelNum, a.H_Num, a.V_Num, a.bitrateNum, a.frameNum}),
                 (QList<int>{1, 42, 0, 0, 99999, -5}));

        click(w, "autoModeButton");
        QCOMPARE(WidgetTest::argMsg(w).cmd, 1);
        QCOMPARE(enabled(w, preset_names), QStringList());
        QCOMPARE(enabled(w, advanced_names), QStringList());

        click(w, "hardwareRestButton");
        QCOMPARE(WidgetTest::argMsg(w).cmd, 5);
    }

    void level_box_maps_each_index_to_its_level_code()
    {
        SimCard card("levels");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        const int codes[6] = {30, 31, 32, 40, 41, 42};
        for (int i = 0; i < 6; ++i) {
            child<QComboBox>(w, "h264LevelComboBox")->setCurrentIndex(i);
            click(w, "advancedButton");
            QCOMPARE(WidgetTest::argMsg(w).advice.levelNum, codes[i]);
            QCOMPARE(WidgetTest::argMsg(w).advice.profileNum, 0);
        }
    }

    void presets_record_their_number_without_changing_the_command()
    {
        SimCard card("presets");
        card.set_eeprom(manual_config(1));
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "autoModeButton");
        click(w, "manualButton");  // enables the presets again
        QCOMPARE(WidgetTest::argMsg(w).cmd, 2);
        click(w, "hardwareRestButton");
        for (int p = 1; p <= 7; ++p) {
            click(w, preset_names[p - 1]);
            QCOMPARE(WidgetTest::argMsg(w).manualNum, p);
            QCOMPARE(WidgetTest::argMsg(w).cmd, 5);
        }
    }

    void mute_box_records_its_state_only_with_a_device()
    {
        SimCard card("mute");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "muteCheckBox");
        QCOMPARE(WidgetTest::argMsg(w).muteNum, true);
        click(w, "muteCheckBox");
        QCOMPARE(WidgetTest::argMsg(w).muteNum, false);

        child<QLineEdit>(w, "lineAdapter")->setText("5");
        click(w, "checkAFButton");  // no such node: the window holds no device
        click(w, "muteCheckBox");
        QVERIFY(child<QCheckBox>(w, "muteCheckBox")->isChecked());
        QCOMPARE(WidgetTest::argMsg(w).muteNum, false);
    }

    void choices_without_a_device_record_nothing_but_presets()
    {
        SimCard card("nodevice");
        WorkingFolder cwd;
        Widget w;
        click(w, "manualButton");
        click(w, "goodButton");
        click(w, "advancedButton");
        click(w, "hardwareRestButton");
        click(w, "setButton");
        QCOMPARE(WidgetTest::argMsg(w).cmd, 0);
        QCOMPARE(WidgetTest::argMsg(w).manualNum, 4);
        QCOMPARE(WidgetTest::argMsg(w).advice.H_Num, 0);
        QCOMPARE(WidgetTest::worker(w), static_cast<hdmi_thread*>(nullptr));
        // The controls still follow the mode.
        QCOMPARE(enabled(w, advanced_names), advanced_names);
        QCOMPARE(enabled(w, preset_names), QStringList());
    }

    void a_program_name_over_19_characters_is_refused()
    {
        SimCard card("longname");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        child<QLineEdit>(w, "lineProgamName")->setText("twenty characters!!!");
        click(w, "setButton");
        QCOMPARE(text(w, "statuslabel"), QString("Program name over 19 characters"));
        // The operator reads it whole in the status line.
        auto* status = child<QLabel>(w, "statuslabel");
        QVERIFY(status->fontMetrics().horizontalAdvance(status->text()) <= status->width());
        QCOMPARE(WidgetTest::argMsg(w).cmd, 1);
        QCOMPARE(QByteArray(WidgetTest::argMsg(w).progName), QByteArray());
        QCOMPARE(WidgetTest::worker(w), static_cast<hdmi_thread*>(nullptr));
        QCOMPARE(WidgetTest::busy(w), false);
        QVERIFY(WidgetTest::fd(w) > 2);
        // Non-Latin-1 characters count as one character each.
        child<QLineEdit>(w, "lineProgamName")->setText(QString(20, QChar(0x263A)));
        click(w, "setButton");
        QCOMPARE(text(w, "statuslabel"), QString("Program name over 19 characters"));
        QCOMPARE(WidgetTest::worker(w), static_cast<hdmi_thread*>(nullptr));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
