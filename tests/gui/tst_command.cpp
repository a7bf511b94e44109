// SPDX-License-Identifier: GPL-2.0-or-later
// Commands from the operator's click through the worker to the card and back,
// what the window does while one runs, and what the command-line tool sees.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "gui_support.h"
#include "run.h"

using guitest::child;
using guitest::SimCard;
using guitest::text;
using guitest::WorkingFolder;
namespace gl = guitest::log;

namespace {

const char busy_text[] = "Being configured,please wait..";
const char done_text[] = "Configuration has been completed!";

void click(Widget& w, const QString& name) { child<QAbstractButton>(w, name)->click(); }

void set_advanced_controls(Widget& w, int profile, int level, const char* width, const char* height,
                           const char* bitrate, const char* rate)
{
    child<QComboBox>(w, "h264profileComboBox")->setCurrentIndex(profile);
    child<QComboBox>(w, "h264LevelComboBox")->setCurrentIndex(level);
    child<QLineEdit>(w, "lineEncodedWidth")->setText(width);
    child<QLineEdit>(w, "lineEncodedHight")->setText(height);
    child<QLineEdit>(w, "lineAverageBitRate")->setText(bitrate);
    child<QLineEdit>(w, "lineEncodingFrameRate")->setText(rate);
}

QByteArray bytes(const std::vector<unsigned char>& image, int from, int count)
{
    return QByteArray(reinterpret_cast<const char*>(image.data()) + from, count);
}

// EEPROM 32 to 75 after storing high profile level 4.1, 1280*720, 5000 kbit/s, 30 fps.
const QByteArray entries_1280x720 = QByteArray::fromHex(
    "15260129" "152c0500" "152e02d0" "153230d4" "15342710" "15361388"
    "153809c4" "1104445c" "15840000" "1586003c" "15880001");

std::vector<unsigned char> manual_config(int preset)
{
    return testsupport::manual_eeprom(preset);
}

}  // namespace

// The window has finished its command when showText has cleared busy: the
// worker's end, then its queued finished signal, delivered here. A worker
// that ends has posted that signal before QThread::wait returns.
#define WAIT_FOR_COMMAND(w)                                     \
    do {                                                        \
        if (WidgetTest::busy(w)) {                              \
            QVERIFY(WidgetTest::worker(w));                     \
            QVERIFY(WidgetTest::worker(w)->wait(30000));        \
            QCoreApplication::sendPostedEvents();               \
        }                                                       \
        QVERIFY(!WidgetTest::busy(w));                          \
    } while (false)

class CommandTest : public guitest::WindowProgramTest {
    Q_OBJECT

private slots:
    void advanced_command_runs_from_click_to_card_and_back()
    {
        SimCard card("advanced");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        set_advanced_controls(w, 0, 4, "1280", "720", "5000", "30");
        click(w, "advancedButton");
        gl::clear();

        click(w, "setFormatButton");
        QCOMPARE(text(w, "statuslabel"), QString(busy_text));
        QVERIFY(WidgetTest::busy(w));
        QCOMPARE(WidgetTest::fd(w), 0);
        QVERIFY(WidgetTest::worker(w));

        WAIT_FOR_COMMAND(w);
        QCOMPARE(text(w, "statuslabel"), QString(done_text));
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        QVERIFY(WidgetTest::fd(w) > 2);
        QCOMPARE(WidgetTest::setFormatCount(w), 0);
        QVERIFY(WidgetTest::worker(w)->isFinished());
        QCOMPARE(WidgetTest::worker(w)->fd, 0);

        const std::vector<unsigned char> e = card.eeprom();
        QCOMPARE(bytes(e, 16, 2), QByteArray::fromHex("000b"));
        QCOMPARE(bytes(e, 20, 3), QByteArray::fromHex("000000"));  // auto, preset, mute
        QCOMPARE(bytes(e, 32, 44), entries_1280x720);
        QCOMPARE(gl::messages(), QStringList({"set output format to advanced: 0,41,1280,720,5000,30"}));

        child<QLineEdit>(w, "linelOutputformat")->setText("");
        click(w, "getOutputButton");
        QCOMPARE(text(w, "linelOutputformat"), QString(" Advanced mode:1280*720 30HZ"));
        QCOMPARE(text(w, "statuslabel"), QString(" "));
    }

    void auto_command_stores_the_mode_and_sets_the_card()
    {
        SimCard card("auto");
        card.set_eeprom(manual_config(3));
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "autoModeButton");
        gl::clear();
        click(w, "setFormatButton");
        WAIT_FOR_COMMAND(w);
        const std::vector<unsigned char> e = card.eeprom();
        QCOMPARE(bytes(e, 20, 3), QByteArray::fromHex("010000"));
        QVERIFY(QString::fromStdString(card.registers()).contains("0x48 0x00000001"));
        QCOMPARE(gl::messages(), QStringList({"set output format to auto mode(the same with input format)"}));
        click(w, "getOutputButton");
        QCOMPARE(text(w, "linelOutputformat"), QString("Auto mode!"));
    }

    void manual_command_uses_the_preset_chosen_last()
    {
        SimCard card("manual");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "manualButton");
        click(w, "goodButton");
        click(w, "excellentButton");
        gl::clear();
        click(w, "setFormatButton");
        WAIT_FOR_COMMAND(w);
        const std::vector<unsigned char> e = card.eeprom();
        QCOMPARE(bytes(e, 20, 2), QByteArray::fromHex("0003"));
        const QString regs = QString::fromStdString(card.registers());
        QVERIFY2(regs.contains("0x48 0x00000000") && regs.contains("0x4C 0x00000003", Qt::CaseInsensitive),
                 qPrintable(regs));
        QCOMPARE(gl::messages(), QStringList({"set output format to manual mode:", "excellent 1280*720 "}));
        click(w, "getOutputButton");
        QCOMPARE(text(w, "linelOutputformat"), QString("Manual mode:excellent 1280*720"));
    }

    // Nothing chosen yet: the command only rewrites the mute flag, with the box never clicked.
    void a_preset_without_manual_mode_runs_the_last_command()
    {
        SimCard card("nocmd");
        std::vector<unsigned char> image = SimCard::factory_eeprom();
        image[20] = 0;
        image[22] = 1;
        card.set_eeprom(image);
        WorkingFolder cwd("00Capture\n");
        Widget w;
        QCOMPARE(WidgetTest::argMsg(w).cmd, 0);
        click(w, "goodButton");
        gl::clear();
        click(w, "setFormatButton");
        WAIT_FOR_COMMAND(w);
        image[22] = 0;
        QCOMPARE(card.eeprom(), image);
        QCOMPARE(gl::messages(), QStringList());
    }

    void reset_command_stores_mute_first_then_resets()
    {
        SimCard card("reset");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "muteCheckBox");
        click(w, "hardwareRestButton");
        gl::clear();
        click(w, "setFormatButton");
        WAIT_FOR_COMMAND(w);
        QCOMPARE(card.eeprom()[22], (unsigned char)1);
        QCOMPARE(gl::messages(),
                 QStringList({"software Reset, please wait several seconds...", "software Reset OK!"}));
        QCOMPARE(text(w, "statuslabel"), QString(done_text));
    }

    void program_name_is_stored_as_latin1_and_an_overlong_one_keeps_the_old()
    {
        SimCard card("name");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        const QString name19 = QString::fromUtf8("Caf\xc3\xa9 nineteen chars");  // é is one Latin-1 byte
        QCOMPARE(name19.size(), 19);
        child<QLineEdit>(w, "lineProgamName")->setText(name19);
        click(w, "setButton");
        QCOMPARE(text(w, "statuslabel"), QString(busy_text));
        QCOMPARE(WidgetTest::argMsg(w).cmd, 4);
        WAIT_FOR_COMMAND(w);
        std::vector<unsigned char> e = card.eeprom();
        QCOMPARE(int(e[18]), 0x60);
        QCOMPARE(int(e[19]), 19);
        QCOMPARE(bytes(e, 96, 20), name19.toLatin1() + QByteArray(1, '\0'));
        QCOMPARE(QByteArray(WidgetTest::argMsg(w).progName), name19.toLatin1());

        child<QLineEdit>(w, "lineProgamName")->setText(name19 + "!");
        click(w, "setButton");
        QCOMPARE(text(w, "statuslabel"), QString("Program name over 19 characters"));
        QVERIFY(!WidgetTest::busy(w));
        QCOMPARE(QByteArray(WidgetTest::argMsg(w).progName), name19.toLatin1());
        QCOMPARE(card.eeprom(), e);

        // cmd stays 4: SetFormat repeats the name command.
        child<QLineEdit>(w, "lineProgamName")->setText("");
        click(w, "setFormatButton");
        WAIT_FOR_COMMAND(w);
        QCOMPARE(int(card.eeprom()[19]), 19);

        click(w, "setButton");  // an empty name
        WAIT_FOR_COMMAND(w);
        e = card.eeprom();
        QCOMPARE(int(e[18]), 0x60);
        QCOMPARE(int(e[19]), 0);
    }

    void set_format_counts_no_click_made_without_a_device()
    {
        SimCard card("count");
        WorkingFolder cwd;  // no detection file: nothing opened at start
        Widget w;
        click(w, "setFormatButton");
        click(w, "setFormatButton");
        QCOMPARE(WidgetTest::setFormatCount(w), 0);
        QCOMPARE(WidgetTest::worker(w), static_cast<hdmi_thread*>(nullptr));

        click(w, "checkAFButton");  // an empty detection buffer lets 0 0 through
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        click(w, "autoModeButton");
        click(w, "setFormatButton");
        QVERIFY(WidgetTest::busy(w));
        QCOMPARE(WidgetTest::setFormatCount(w), 1);
        WAIT_FOR_COMMAND(w);
        QCOMPARE(WidgetTest::setFormatCount(w), 0);
        QCOMPARE(card.eeprom()[20], (unsigned char)1);
    }

    void a_second_quick_click_is_counted_but_starts_nothing()
    {
        SimCard card("twice");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "autoModeButton");
        gl::clear();
        click(w, "setFormatButton");
        hdmi_thread* worker = WidgetTest::worker(w);
        click(w, "setFormatButton");
        QCOMPARE(WidgetTest::setFormatCount(w), 2);
        QCOMPARE(WidgetTest::worker(w), worker);
        WAIT_FOR_COMMAND(w);
        QCOMPARE(WidgetTest::setFormatCount(w), 0);
        QCOMPARE(gl::messages(), QStringList({"set output format to auto mode(the same with input format)"}));
        // The count starts again from 0: the next click runs a command.
        click(w, "setFormatButton");
        QVERIFY(WidgetTest::busy(w));
        WAIT_FOR_COMMAND(w);
    }

    void each_new_command_releases_the_finished_worker()
    {
        SimCard card("release");
        WorkingFolder cwd("00Capture\n");
        Widget w;
        click(w, "setFormatButton");
        WAIT_FOR_COMMAND(w);
        QPointer<hdmi_thread> first = WidgetTest::worker(w);
        QVERIFY(first);
        click(w, "setFormatButton");
        QVERIFY(first.isNull());
        QVERIFY(WidgetTest::worker(w));
        WAIT_FOR_COMMAND(w);
    }

    // The worker is held inside its command while the test works the window.
    void while_a_command_runs_the_window_serves_events_but_starts_nothing()
    {
        SimCard card("running", {"CARDSIM_NODES=0:0,1:1"});
        WorkingFolder cwd("00Capture\n");
        Widget w;
        struct ReleaseOnExit {
            ~ReleaseOnExit() { gl::release(); }  // a failed check must not leave the worker held
        } release_on_exit;
        set_advanced_controls(w, 1, 0, "1920", "1080", "8000", "60");
        click(w, "advancedButton");
        gl::hold_next_worker_message();
        click(w, "setFormatButton");
        hdmi_thread* worker = WidgetTest::worker(w);
        QVERIFY(gl::wait_until_worker_held(30000));
        QVERIFY(worker->isRunning());

        bool timer_fired = false;
        QTimer::singleShot(0, &w, [&] { timer_fired = true; });
        QCoreApplication::processEvents();
        QVERIFY(timer_fired);

        const QString input = text(w, "lineInputFormat");
        click(w, "setFormatButton");
        click(w, "getInputButton");
        click(w, "getOutputButton");
        click(w, "checkAFButton");
        click(w, "autoModeButton");
        click(w, "manualButton");
        click(w, "fairButton");
        click(w, "muteCheckBox");
        click(w, "hardwareRestButton");
        child<QLineEdit>(w, "lineProgamName")->setText("x");
        click(w, "setButton");
        QCOMPARE(WidgetTest::worker(w), worker);
        QCOMPARE(text(w, "statuslabel"), QString(busy_text));
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        QCOMPARE(text(w, "lineInputFormat"), input);
        QCOMPARE(WidgetTest::fd(w), 0);
        const argmsg& m = WidgetTest::argMsg(w);
        QCOMPARE(m.cmd, 3);
        QCOMPARE(m.manualNum, 5);  // presets record even now
        QCOMPARE(m.muteNum, false);
        QVERIFY(WidgetTest::busy(w));

        // Typed while the command runs: the window takes this pair afterwards, unchecked.
        child<QLineEdit>(w, "lineAdapter")->setText("1");
        child<QLineEdit>(w, "lineFrontend")->setText("1");
        gl::release();
        WAIT_FOR_COMMAND(w);
        QCOMPARE(text(w, "statuslabel"), QString(done_text));
        QCOMPARE(text(w, "showlabel"), QString("OK"));
        QCOMPARE(WidgetTest::devName(w), QString("/dev/dvb/adapter1/frontend1"));
        const std::vector<unsigned char> e = card.eeprom();
        QCOMPARE(bytes(e, 32, 4), QByteArray::fromHex("1526021e"));  // Main profile, level 3
        QCOMPARE(bytes(e, 36, 4), QByteArray::fromHex("152c0780"));
    }

    void closing_the_window_waits_for_the_running_command()
    {
        SimCard card("close");
        WorkingFolder cwd("00Capture\n");
        auto* w = new Widget;
        set_advanced_controls(*w, 0, 4, "1280", "720", "5000", "30");
        click(*w, "advancedButton");
        click(*w, "setFormatButton");
        QPointer<hdmi_thread> worker = WidgetTest::worker(*w);
        delete w;  // no event was processed: the command is still under way
        QVERIFY(worker.isNull());
        QCOMPARE(bytes(card.eeprom(), 32, 44), entries_1280x720);
    }

    // ---- the command-line tool reads what the window stored, and the other way round ----

    void ravelins_reads_back_what_the_window_stored()
    {
#if defined(CARDSIM_EXE) && defined(RAVELINS_EXE)
        SimCard card("toravelins");
        {
            WorkingFolder cwd("00Capture\n");
            Widget w;
            set_advanced_controls(w, 0, 4, "1280", "720", "5000", "30");
            click(w, "advancedButton");
            click(w, "setFormatButton");
            WAIT_FOR_COMMAND(w);
        }  // the window gives the node back
        const testsupport::Result r =
            testsupport::run({CARDSIM_EXE, "--state", card.dir(), "--", RAVELINS_EXE, "-c"});
        QCOMPARE(QString::fromStdString(r.out), QString("the latest setting is Advanced mode: 1280 * 720 30 \n"));
        QCOMPARE(r.status, 0);
#else
        QSKIP("cardsim or ravelins not built");
#endif
    }

    void the_window_restores_what_ravelins_stored_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("mode");
        QTest::newRow("manual 4") << QStringList{"-M", "4"} << "Manual mode:good 1120*640" << "manualButton";
        QTest::newRow("advanced") << QStringList{"-p", "1", "-l", "42", "-H", "1920", "-V", "1080", "-B",
                                                 "8000", "-F", "60"}
                                  << " Advanced mode:1920*1080 60HZ" << "advancedButton";
        QTest::newRow("auto") << QStringList{"-M", "2", "-A"} << "Auto mode!" << "autoModeButton";
    }
    void the_window_restores_what_ravelins_stored()
    {
#if defined(CARDSIM_EXE) && defined(RAVELINS_EXE)
        QFETCH(QStringList, options);
        QFETCH(QString, shown);
        QFETCH(QString, mode);
        SimCard card("fromravelins");
        card.set_eeprom(manual_config(1));
        std::vector<std::string> argv = {CARDSIM_EXE, "--state", card.dir(), "--", RAVELINS_EXE};
        for (const QString& o : options)
            argv.push_back(o.toStdString());
        const testsupport::Result r = testsupport::run(argv);
        QCOMPARE(r.status, 0);

        WorkingFolder cwd("00Capture\n");
        Widget w;
        QCOMPARE(text(w, "linelOutputformat"), shown);
        QVERIFY(child<QRadioButton>(w, mode)->isChecked());
#else
        QSKIP("cardsim or ravelins not built");
#endif
    }
};

QTEST_MAIN(CommandTest)
#include "tst_command.moc"
