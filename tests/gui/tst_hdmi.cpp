// SPDX-License-Identifier: GPL-2.0-or-later
// The card object and the worker thread on their own, against the simulated card.
#include <QSignalSpy>
#include <QtTest>
#include <cstring>

#include "cardsim_api.h"
#include "gui_support.h"
#include "run.h"

using guitest::SimCard;
namespace gl = guitest::log;

namespace {

const unsigned long long ms = 1000000ull;

QByteArray bytes(const std::vector<unsigned char>& image, int from, int count)
{
    return QByteArray(reinterpret_cast<const char*>(image.data()) + from, count);
}

// Index of the first trace line that contains what, or -1.
int trace_line(const QStringList& lines, const QString& what)
{
    for (int i = 0; i < lines.size(); ++i)
        if (lines[i].contains(what))
            return i;
    return -1;
}

argmsg record(int cmd, bool mute, int adapter = 0, int frontend = 0)
{
    argmsg m{};
    m.cmd = cmd;
    m.muteNum = mute;
    m.adapter = adapter;
    m.frontend = frontend;
    return m;
}

// Runs one command on a worker until it ends. QThread::wait returns only
// after the finished signal, which may come before a wait could start.
bool run_worker(hdmi_thread& t)
{
    QSignalSpy finished(&t, &QThread::finished);
    t.start();
    return t.wait(30000) && finished.count() == 1;
}

}  // namespace

class HdmiTest : public guitest::WindowProgramTest {
    Q_OBJECT

private slots:
    // ---- hdmi ----

    void open_names_the_node_and_hands_the_descriptor_to_the_card()
    {
        SimCard card("open");
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        QVERIFY(fd > 2);
        QCOMPARE(h.hdmi_fd, fd);
        QCOMPARE(h.card.i_frontend, fd);
        QCOMPARE(QString(h.dev_name), QString("/dev/dvb/adapter0/frontend0"));
        QCOMPARE(h.hdmi_close(fd), 0);
        QCOMPARE(h.hdmi_fd, fd);  // left as it was

        QCOMPARE(h.hdmi_open(3, 12), -1);
        QCOMPARE(h.hdmi_fd, -1);
        QCOMPARE(h.card.i_frontend, -1);
        QCOMPARE(QString(h.dev_name), QString("/dev/dvb/adapter3/frontend12"));
        QCOMPARE(gl::messages(), QStringList());
    }

    void capture_format_arrives_rounded()
    {
        SimCard card("capture", {"CARDSIM_SIGNAL=1920x1080@59i"});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        unsigned short out[4] = {1, 1, 1, 1};
        h.hdmi_getCaptureformat(out);
        QCOMPARE((QList<int>{out[0], out[1], out[2], out[3]}), (QList<int>{1920, 1080, 60, 0}));
        QCOMPARE(gl::messages(), QStringList({"input format:\nVRow= 1920, VColumn= 1080, VFreq= 60, VScan= 0"}));
        h.hdmi_close(fd);
    }

    void software_reset_reads_the_status_before_sleeping()
    {
        SimCard card("swreset", {"CARDSIM_BUSY_TIME=0"});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        const unsigned long long t0 = cardsim_now_ns();
        QCOMPARE(h.hdmi_softWareRST(), 0);
        QCOMPARE(cardsim_now_ns() - t0, 15 * ms);  // the reset pulse only
        QCOMPARE(h.rst_count, 0);
        QCOMPARE(gl::messages(), QStringList({"software Reset, please wait several seconds...", "software Reset OK!"}));
        h.hdmi_close(fd);
    }

    void software_reset_counts_busy_rounds()
    {
        SimCard card("swbusy", {"CARDSIM_BUSY_TIME=5"});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        h.hdmi_softWareRST();
        QCOMPARE(h.rst_count, 3);  // busy at 0, 2 and 4 seconds after the pulse
        QCOMPARE(gl::messages().size(), 2);
        h.hdmi_close(fd);
    }

    void mcu_reset_sleeps_once_before_the_first_look()
    {
        SimCard card("mcureset", {"CARDSIM_BUSY_TIME=0"});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        const unsigned long long t0 = cardsim_now_ns();
        QCOMPARE(h.hdmi_mcuRST(), 0);
        const unsigned long long took = cardsim_now_ns() - t0;
        QVERIFY2(took >= 2000 * ms && took < 2100 * ms, qPrintable(QString::number(took)));
        QCOMPARE(h.rst_count, 0);
        QCOMPARE(gl::messages(), QStringList({"MCU Reset, please wait several seconds...", "MCU Reset OK!"}));
        h.hdmi_close(fd);
    }

    void resets_give_up_silently_after_100_rounds()
    {
        SimCard card("forever", {"CARDSIM_FAULTS=busy=forever"});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        unsigned long long t0 = cardsim_now_ns();
        h.hdmi_softWareRST();
        QCOMPARE(h.rst_count, 100);
        QCOMPARE(cardsim_now_ns() - t0, 200015 * ms);
        QCOMPARE(gl::messages(), QStringList({"software Reset, please wait several seconds..."}));

        gl::clear();
        t0 = cardsim_now_ns();
        h.hdmi_mcuRST();
        QCOMPARE(h.rst_count, 100);
        QVERIFY(cardsim_now_ns() - t0 >= 200000 * ms);
        QCOMPARE(gl::messages(), QStringList({"MCU Reset, please wait several seconds..."}));
        h.hdmi_close(fd);
    }

    void output_modes_store_their_bytes_before_setting_the_card()
    {
        const std::string trace = testsupport::make_temp_dir("trace") + "/trace";
        SimCard card("modes", {"CARDSIM_TRACE=" + trace});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        auto trace_lines = [&] { return QString::fromStdString(testsupport::read_file(trace)).split('\n'); };
        // EEPROM 20 and 21 (command words 0x30, count 1, 0, address) go out before register 0x48.
        auto check_order = [&](int from, const char* reg_write) {
            const QStringList lines = trace_lines().mid(from);
            const int w20 = trace_line(lines, "WINDOW_WRITE 0x00 0x14000130");
            const int w21 = trace_line(lines, "WINDOW_WRITE 0x00 0x15000130");
            const int reg = trace_line(lines, reg_write);
            return w20 >= 0 && w20 < w21 && w21 < reg;
        };

        int from = trace_lines().size() - 1;
        h.hdmi_manualMode(258);  // only the low byte counts
        QVERIFY(check_order(from, "REG_WRITE 0x48 0x00000000"));
        std::vector<unsigned char> e = card.eeprom();
        QCOMPARE(bytes(e, 20, 2), QByteArray::fromHex("0002"));
        QVERIFY(QString::fromStdString(card.registers()).contains("0x4C 0x00000002", Qt::CaseInsensitive));
        QCOMPARE(gl::messages(), QStringList({"set output format to manual mode:", "ultra 1440*1080 "}));

        gl::clear();
        from = trace_lines().size() - 1;
        h.hdmi_autoMode();
        QVERIFY(check_order(from, "REG_WRITE 0x48 0x00000001"));
        e = card.eeprom();
        QCOMPARE(bytes(e, 20, 2), QByteArray::fromHex("0100"));
        QCOMPARE(gl::messages(), QStringList({"set output format to auto mode(the same with input format)"}));

        gl::clear();
        h.hdmi_advancedMode(advice_number{1, 30, 720, 576, 101, 25});
        e = card.eeprom();
        QCOMPARE(bytes(e, 16, 6), QByteArray::fromHex("000b60000000"));
        QCOMPARE(bytes(e, 32, 4), QByteArray::fromHex("1526021e"));
        // 101 kbit/s: 252, 202, 101, 50 and 353, fractions dropped.
        QCOMPARE(bytes(e, 44, 20), QByteArray::fromHex("153200fc" "153400ca" "15360065" "15380032" "11040161"));
        QCOMPARE(gl::messages(), QStringList({"set output format to advanced: 1,30,720,576,101,25"}));
        h.hdmi_close(fd);
    }

    void output_modes_send_only_their_byte_in_the_data_word()
    {
        const std::string trace = testsupport::make_temp_dir("trace") + "/trace";
        SimCard card("paraword", {"CARDSIM_TRACE=" + trace, "CARDSIM_BUSY_TIME=0"});
        hdmi h;
        memset(&h, 0xAA, sizeof h);  // an object whose memory was never cleared
        const int fd = h.hdmi_open(0, 0);
        h.hdmi_manualMode(258);
        h.hdmi_autoMode();
        h.hdmi_advancedMode(advice_number{0, 30, 1, 1, 1, 1});
        QStringList words;
        for (const QString& line : QString::fromStdString(testsupport::read_file(trace)).split('\n'))
            if (line.contains("WINDOW_WRITE 0x04 "))
                words << line.section(' ', 3);
        // 20 and 21 for each mode: manual 0, 2; automatic 1, 0; advanced 0, 0.
        QCOMPARE(words.mid(0, 6), QStringList({"0x00000000", "0x00000002", "0x00000001", "0x00000000",
                                               "0x00000000", "0x00000000"}));
        h.hdmi_close(fd);
    }

    void mute_waits_for_the_card_after_storing()
    {
        SimCard card("mute", {"CARDSIM_BUSY_TIME=0"});
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        const unsigned long long t0 = cardsim_now_ns();
        QCOMPARE(h.hdmi_setMute(1), 0);
        QVERIFY(cardsim_now_ns() - t0 >= 2000 * ms);
        QCOMPARE(int(card.eeprom()[22]), 1);
        unsigned char name[] = "abc";
        QCOMPARE(h.hdmi_setPorgname(name), 0);
        QCOMPARE(bytes(card.eeprom(), 18, 2), QByteArray::fromHex("6003"));
        QCOMPARE(bytes(card.eeprom(), 96, 4), QByteArray("abc") + QByteArray(1, '\0'));
        h.hdmi_close(fd);
    }

    // ---- hdmi_thread ----

    void get_widget_arg_copies_the_record_and_at_most_19_name_bytes()
    {
        argmsg in{};
        in.cmd = 3;
        in.manualNum = 6;
        in.advice = advice_number{1, 42, 1920, 1080, 8000, 60};
        in.muteNum = true;
        in.frontend = 2;
        in.adapter = 1;
        memcpy(in.progName, "nineteen characters", 20);
        hdmi_thread t;
        QCOMPARE(t.fd, 0);
        QCOMPARE(t.msg.cmd, 0);
        t.getWidgetArg(in);
        QCOMPARE(memcmp(&t.msg.advice, &in.advice, sizeof in.advice), 0);
        QCOMPARE((QList<int>{t.msg.cmd, t.msg.manualNum, t.msg.muteNum, t.msg.frontend, t.msg.adapter}),
                 (QList<int>{3, 6, 1, 2, 1}));
        QCOMPARE(QByteArray(t.msg.progName, 20), QByteArray("nineteen characters") + QByteArray(1, '\0'));

        in.progName[0] = '\0';
        t.getWidgetArg(in);
        QCOMPARE(t.msg.progName[0], '\0');

        memset(in.progName, 'z', sizeof in.progName);  // no terminator at all
        t.getWidgetArg(in);
        QCOMPARE(QByteArray(t.msg.progName, 20), QByteArray(19, 'z') + QByteArray(1, '\0'));
    }

    void argmsg_keeps_its_field_order()
    {
        QVERIFY(offsetof(argmsg, cmd) < offsetof(argmsg, progName));
        QVERIFY(offsetof(argmsg, progName) < offsetof(argmsg, manualNum));
        QVERIFY(offsetof(argmsg, manualNum) < offsetof(argmsg, advice));
        QVERIFY(offsetof(argmsg, advice) < offsetof(argmsg, muteNum));
        QVERIFY(offsetof(argmsg, muteNum) < offsetof(argmsg, frontend));
        QVERIFY(offsetof(argmsg, frontend) < offsetof(argmsg, adapter));
        QCOMPARE(sizeof(argmsg::muteNum), size_t(1));
    }

    void unknown_commands_only_store_the_mute_flag_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::newRow("0") << 0;
        QTest::newRow("6") << 6;
        QTest::newRow("-1") << -1;
    }
    void unknown_commands_only_store_the_mute_flag()
    {
        QFETCH(int, cmd);
        SimCard card("unknown");
        std::vector<unsigned char> image = SimCard::factory_eeprom();
        card.set_eeprom(image);
        hdmi_thread t;
        t.getWidgetArg(record(cmd, true));
        QVERIFY(run_worker(t));
        image[22] = 1;
        QCOMPARE(card.eeprom(), image);
        QCOMPARE(t.fd, 0);
        QCOMPARE(gl::messages(), QStringList());
    }

    void a_missing_node_is_skipped_and_the_worker_still_finishes()
    {
        SimCard card("missing");
        const std::vector<unsigned char> image = SimCard::factory_eeprom();
        card.set_eeprom(image);
        hdmi_thread t;
        t.getWidgetArg(record(1, true, 4, 0));
        QVERIFY(run_worker(t));
        QCOMPARE(t.fd, 0);
        QCOMPARE(card.eeprom(), image);
        QCOMPARE(gl::messages(), QStringList());
    }

    void the_worker_closes_its_node_when_done()
    {
        SimCard card("closes");
        hdmi_thread t;
        argmsg m = record(4, false);
        memcpy(m.progName, "news", 5);
        t.getWidgetArg(m);
        QVERIFY(run_worker(t));
        QCOMPARE(bytes(card.eeprom(), 96, 4), QByteArray("news"));
        // A second read-write open would fail with EBUSY if the worker still held it.
        hdmi h{};
        const int fd = h.hdmi_open(0, 0);
        QVERIFY(fd > 2);
        h.hdmi_close(fd);
    }

    void run_is_the_whole_command_on_the_calling_thread()
    {
        SimCard card("direct", {"CARDSIM_BUSY_TIME=0"});
        hdmi_thread t;
        QSignalSpy finished(&t, &QThread::finished);
        t.getWidgetArg(record(2, true));
        t.msg.manualNum = 6;
        t.run();
        QCOMPARE(t.fd, 0);
        QCOMPARE(finished.count(), 0);  // only a started thread signals its end
        QCOMPARE(bytes(card.eeprom(), 20, 3), QByteArray::fromHex("000601"));
        QCOMPARE(gl::messages(), QStringList({"set output format to manual mode:", "poor 800*480 "}));
    }

    void deleting_a_running_worker_waits_for_its_command()
    {
        SimCard card("delete");
        auto* t = new hdmi_thread;
        t->getWidgetArg(record(5, false));
        t->start();
        delete t;  // blocks until the reset has run
        QCOMPARE(gl::messages(), QStringList({"software Reset, please wait several seconds...", "software Reset OK!"}));
    }
};

QTEST_MAIN(HdmiTest)
#include "tst_hdmi.moc"
