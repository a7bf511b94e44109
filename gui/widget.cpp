// SPDX-License-Identifier: GPL-2.0-or-later
#include "widget.h"

#include <QButtonGroup>
#include <cstring>
#include <iterator>

#include "ui_widget.h"
#include "zeb_card.h"

namespace {

// h264LevelComboBox index to the H.264 level times ten.
constexpr const auto& level_codes = zeb_encoder::levels;

const char* const manual_texts[8] = {
    nullptr,
    " Manual mode:super 1920*1080",
    "Manual mode:ultra 1440*1080 ",
    "Manual mode:excellent 1280*720",
    "Manual mode:good 1120*640",
    "Manual mode:fair 960*540",
    "Manual mode:poor 800*480",
    "Manual mode:mobile 480*272",
};

const char busy_text[] = "Being configured,please wait..";
const char done_text[] = "Configuration has been completed!";
const char open_failed_text[] = "Fail:adapter and fronted are erro";
const char not_capture_text[] = "Fail:Not an HDMI capture card";
const char name_too_long_text[] = "Program name over 19 characters";

QString input_format_text(const unsigned short* in)
{
    return QString("%1*%2 %3HZ ").arg(in[0]).arg(in[1]).arg(in[2]) + (in[3] ? "P" : "I");
}

QString advanced_format_text(const int* regs)
{
    const advice_number a = zeb_encoder::decode(regs);
    return QString(" Advanced mode:%1*%2 %3HZ").arg(a.H_Num).arg(a.V_Num).arg(a.frameNum);
}

}  // namespace

Widget::Widget(QWidget* parent)
    : QWidget(parent),
      ui(new Ui::Widget),
      hdmiThread(nullptr),
      hdmiDev(),
      argMsg(),
      fd(0),
      setFormatCount(0),
      hwFile(nullptr),
      hwBuf(),
      captureFlag(false),
      busy(false)
{
    ui->setupUi(this);
    // Qt looks for a radio button's exclusive partners among all descendants of
    // its parent, so a checked preset (a grandchild) would stop the mode buttons
    // from unchecking each other. An explicit group keeps the modes exclusive.
    auto* modes = new QButtonGroup(this);
    modes->addButton(ui->autoModeButton);
    modes->addButton(ui->manualButton);
    modes->addButton(ui->advancedButton);
    setFixedSize(width(), height());
    ui->statuslabel->setText(" ");

    getHardwareInfor();
    if (captureFlag) {
        fd = hdmiDev.hdmi_open(0, 0);
        ui->showlabel->setText(fd < 0 ? open_failed_text : "OK");
        init_UI();
    } else {
        ui->showlabel->setText(not_capture_text);
    }
}

Widget::~Widget()
{
    if (fd > 2)
        hdmiDev.hdmi_close(fd);
    // Waits for a command that is still under way.
    delete hdmiThread;
    delete ui;
}

void Widget::blank_status()
{
    if (!busy)
        ui->statuslabel->setText(" ");
}

void Widget::enable_presets(bool on)
{
    for (QWidget* w : {static_cast<QWidget*>(ui->superButton), static_cast<QWidget*>(ui->ultraButton),
                       static_cast<QWidget*>(ui->excellentButton), static_cast<QWidget*>(ui->goodButton),
                       static_cast<QWidget*>(ui->fairButton), static_cast<QWidget*>(ui->poorButton),
                       static_cast<QWidget*>(ui->mobileButton)})
        w->setEnabled(on);
}

void Widget::enable_advanced(bool on)
{
    for (QWidget* w : {static_cast<QWidget*>(ui->h264profileComboBox), static_cast<QWidget*>(ui->h264LevelComboBox),
                       static_cast<QWidget*>(ui->lineEncodedWidth), static_cast<QWidget*>(ui->lineEncodedHight),
                       static_cast<QWidget*>(ui->lineAverageBitRate),
                       static_cast<QWidget*>(ui->lineEncodingFrameRate)})
        w->setEnabled(on);
}

void Widget::read_advanced_controls()
{
    argMsg.advice.profileNum = ui->h264profileComboBox->currentIndex();
    // currentIndex is -1 only for an empty box; the form always fills it.
    int level = ui->h264LevelComboBox->currentIndex();
    argMsg.advice.levelNum = (level >= 0 && level < int(std::size(level_codes))) ? level_codes[level] : 0;
    argMsg.advice.H_Num = ui->lineEncodedWidth->text().toInt();
    argMsg.advice.V_Num = ui->lineEncodedHight->text().toInt();
    argMsg.advice.bitrateNum = ui->lineAverageBitRate->text().toInt();
    argMsg.advice.frameNum = ui->lineEncodingFrameRate->text().toInt();
}

// ---- start-up ----

void Widget::getHardwareInfor()
{
    hwFile = fopen("log2", "r");
    memset(hwBuf, 0, sizeof hwBuf);
    if (hwFile == nullptr) {
        qDebug("fail to fopen");
        captureFlag = false;
        return;
    }
    size_t got = fread(hwBuf, 1, sizeof hwBuf - 1, hwFile);
    (void)got;  // a short file leaves zero bytes behind its text
    // The first record is taken to be adapter 0, frontend 0: its digits are not read.
    captureFlag = memcmp(hwBuf + 2, "Capture\n", 8) == 0;
    fclose(hwFile);
    hwFile = nullptr;
}

bool Widget::is_capture()
{
    const size_t n = strlen(hwBuf);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(hwBuf) + i;
        if (p[0] - '0' != ui->lineAdapter->text().toInt())
            continue;
        if (p[1] - '0' != ui->lineFrontend->text().toInt())
            continue;
        return i + 2 + 8 <= sizeof hwBuf && memcmp(hwBuf + i + 2, "Capture\n", 8) == 0;
    }
    // A pair that the file does not mention counts as a capture frontend.
    return true;
}

void Widget::init_UI()
{
    if (fd <= 2)
        return;

    unsigned short in[4] = {0, 0, 0, 0};
    hdmiDev.hdmi_getCaptureformat(in);
    ui->lineInputFormat->setText(input_format_text(in));

    int regs[zeb_eeprom::encoder_entries] = {};
    unsigned char mode[4] = {};
    hdmiDev.hdmi_getOutputformat(regs, mode);

    if (mode[0] == 1) {
        ui->linelOutputformat->setText("Auto mode!");
        ui->autoModeButton->setChecked(true);
        enable_presets(false);
        enable_advanced(false);
        argMsg.cmd = cmd_auto;
    }
    if (mode[1] != 0) {
        ui->manualButton->setChecked(true);
        enable_advanced(false);
        enable_presets(true);
        argMsg.cmd = cmd_manual;
        QRadioButton* presets[8] = {nullptr, ui->superButton, ui->ultraButton, ui->excellentButton,
                                    ui->goodButton, ui->fairButton, ui->poorButton, ui->mobileButton};
        if (mode[1] >= 1 && mode[1] <= 7) {
            ui->linelOutputformat->setText(manual_texts[mode[1]]);
            presets[mode[1]]->setChecked(true);
            argMsg.manualNum = mode[1];
        }
    }
    if (mode[2] == zeb_eeprom::encoder_entries) {
        ui->linelOutputformat->setText(advanced_format_text(regs));
        ui->advancedButton->setChecked(true);
        enable_presets(false);
        enable_advanced(true);
        argMsg.cmd = cmd_advanced;
        read_advanced_controls();
    }
}

// ---- status and format display ----

void Widget::on_checkAFButton_clicked()
{
    if (busy)
        return;
    ui->statuslabel->setText(" ");
    if (fd > 2) {
        hdmiDev.hdmi_close(fd);
        fd = 0;
    }
    if (!is_capture()) {
        ui->showlabel->setText(not_capture_text);
        return;
    }
    fd = hdmiDev.hdmi_open(ui->lineAdapter->text().toInt(), ui->lineFrontend->text().toInt());
    ui->showlabel->setText(fd < 0 ? open_failed_text : "OK");
}

void Widget::on_getInputButton_clicked()
{
    blank_status();
    if (fd <= 2)
        return;
    unsigned short in[4] = {0, 0, 0, 0};
    hdmiDev.hdmi_getCaptureformat(in);
    ui->lineInputFormat->setText(input_format_text(in));
}

void Widget::on_getOutputButton_clicked()
{
    blank_status();
    if (fd <= 2)
        return;
    int regs[zeb_eeprom::encoder_entries] = {};
    unsigned char mode[4] = {};
    hdmiDev.hdmi_getOutputformat(regs, mode);
    show_output_format(regs, mode);
}

void Widget::show_output_format(const int* regs, const unsigned char* mode)
{
    if (mode[0] == 1)
        ui->linelOutputformat->setText("Auto mode!");
    else if (mode[1] != 0) {
        if (mode[1] <= 7)
            ui->linelOutputformat->setText(manual_texts[mode[1]]);
    } else if (mode[2] == zeb_eeprom::encoder_entries)
        ui->linelOutputformat->setText(advanced_format_text(regs));
}

void Widget::showText()
{
    ui->statuslabel->setText(done_text);
    if (fd <= 2) {
        // The operator may have typed another pair meanwhile; it is opened unchecked.
        fd = hdmiDev.hdmi_open(ui->lineAdapter->text().toInt(), ui->lineFrontend->text().toInt());
    }
    ui->showlabel->setText(fd < 0 ? open_failed_text : "OK");
    setFormatCount = 0;
    busy = false;
}

// ---- output format controls ----

void Widget::select_preset(int preset)
{
    // Recorded even without a device: it takes effect with the manual mode.
    argMsg.manualNum = preset;
    blank_status();
}

void Widget::on_superButton_clicked() { select_preset(1); }
void Widget::on_ultraButton_clicked() { select_preset(2); }
void Widget::on_excellentButton_clicked() { select_preset(3); }
void Widget::on_goodButton_clicked() { select_preset(4); }
void Widget::on_fairButton_clicked() { select_preset(5); }
void Widget::on_poorButton_clicked() { select_preset(6); }
void Widget::on_mobileButton_clicked() { select_preset(7); }

void Widget::choose_mode(int cmd, bool presets, bool advanced)
{
    blank_status();
    enable_presets(presets);
    enable_advanced(advanced);
    if (fd <= 2)
        return;
    argMsg.cmd = cmd;
    if (cmd == cmd_advanced)
        read_advanced_controls();
}

void Widget::on_autoModeButton_clicked() { choose_mode(cmd_auto, false, false); }
void Widget::on_manualButton_clicked() { choose_mode(cmd_manual, true, false); }
void Widget::on_advancedButton_clicked() { choose_mode(cmd_advanced, false, true); }

void Widget::on_muteCheckBox_clicked(bool check)
{
    blank_status();
    if (fd > 2)
        argMsg.muteNum = check;
}

void Widget::on_hardwareRestButton_clicked()
{
    blank_status();
    if (fd > 2)
        argMsg.cmd = cmd_software_reset;
}

void Widget::on_setFormatButton_clicked()
{
    // A click while no device is open and no command runs is not counted:
    // nothing would reset the count, and every later click would be dead.
    // Clicks during a command are counted; showText clears them.
    if (fd <= 2 && !busy)
        return;
    ++setFormatCount;
    if (fd <= 2 || setFormatCount != 1)
        return;

    busy = true;
    ui->statuslabel->setText(busy_text);
    start_command();
}

void Widget::on_setButton_clicked()
{
    blank_status();
    if (fd <= 2)
        return;

    const QByteArray name = ui->lineProgamName->text().toLatin1();
    if (name.size() >= int(sizeof argMsg.progName)) {
        // Cutting the name would store a different one on the card.
        ui->statuslabel->setText(name_too_long_text);
        return;
    }
    memset(argMsg.progName, 0, sizeof argMsg.progName);
    memcpy(argMsg.progName, name.constData(), size_t(name.size()));

    argMsg.cmd = cmd_progname;
    busy = true;
    ui->statuslabel->setText(busy_text);
    start_command();
}

void Widget::start_command()
{
    argMsg.adapter = ui->lineAdapter->text().toInt();
    argMsg.frontend = ui->lineFrontend->text().toInt();
    read_advanced_controls();

    hdmiDev.hdmi_close(fd);
    fd = 0;

    // The previous worker has finished (its showText gave the device back), so
    // it can go; only the latest one is kept.
    delete hdmiThread;
    hdmiThread = new hdmi_thread;
    hdmiThread->getWidgetArg(argMsg);
    connect(hdmiThread, &QThread::finished, this, &Widget::showText);
    hdmiThread->start(QThread::InheritPriority);
}
