// SPDX-License-Identifier: GPL-2.0-or-later
// The window's form: every object the operator sees, where it sits and what it says.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>

#include "gui_support.h"
#include "ui_widget.h"

namespace {

const char rich_prefix[] = "<html><head/><body><p><span style=\" font-size:12pt;\">";
const char rich_suffix[] = "</span></p></body></html>";

struct Entry {
    const char* name;
    const char* cls;
    const char* parent;  // object name of the parent widget
    QRect geometry;      // null for a widget placed by its container's layout
    const char* text;    // nullptr: the class has no text; "rich:" prefix: rich-text caption
};

// The 52 objects in the order the form creates them.
const Entry form[] = {
    {"getInputButton", "QPushButton", "Widget", {490, 50, 111, 31}, "GetInput"},
    {"getOutputButton", "QPushButton", "Widget", {610, 100, 111, 31}, "GetOutput"},
    {"setButton", "QPushButton", "Widget", {400, 480, 101, 31}, "Set"},
    {"layoutWidget", "QWidget", "Widget", {179, 216, 193, 227}, nullptr},
    {"verticalLayout_2", "QVBoxLayout", "layoutWidget", {}, nullptr},
    {"superButton", "QRadioButton", "layoutWidget", {}, "Super(1920*1080)"},
    {"ultraButton", "QRadioButton", "layoutWidget", {}, "Ultra(1440*1080)"},
    {"excellentButton", "QRadioButton", "layoutWidget", {}, "Excellent(1280*720)"},
    {"goodButton", "QRadioButton", "layoutWidget", {}, "Good(1120*640)"},
    {"fairButton", "QRadioButton", "layoutWidget", {}, "Fair(960*540)"},
    {"poorButton", "QRadioButton", "layoutWidget", {}, "Poor(800*480)"},
    {"mobileButton", "QRadioButton", "layoutWidget", {}, "Mobile(480*272)"},
    {"layoutWidget1", "QWidget", "Widget", {9, 9, 188, 171}, nullptr},
    {"verticalLayout_3", "QVBoxLayout", "layoutWidget1", {}, nullptr},
    {"adapterLabel", "QLabel", "layoutWidget1", {}, "rich:Adapter:"},
    {"inputFormatLabel", "QLabel", "layoutWidget1", {}, "rich:Input Format:"},
    {"lasterOutPutLabel", "QLabel", "layoutWidget1", {}, "rich:Lastest OutPut Format:"},
    {"outputFormatLabel", "QLabel", "layoutWidget1", {}, "rich:Output Format:"},
    {"checkAFButton", "QPushButton", "Widget", {490, 10, 111, 31}, "Set"},
    {"showlabel", "QLabel", "Widget", {610, 0, 181, 71}, ""},
    {"label_14", "QLabel", "Widget", {620, 420, 81, 20}, "(24-60)"},
    {"label_13", "QLabel", "Widget", {640, 380, 121, 20}, "(350-18000K)"},
    {"frontendLabel", "QLabel", "Widget", {320, 10, 91, 41}, "rich:Frontend:"},
    {"layoutWidget2", "QWidget", "Widget", {550, 220, 161, 91}, nullptr},
    {"verticalLayout_4", "QVBoxLayout", "layoutWidget2", {}, nullptr},
    {"h264profileComboBox", "QComboBox", "layoutWidget2", {}, nullptr},
    {"h264LevelComboBox", "QComboBox", "layoutWidget2", {}, nullptr},
    {"label_12", "QLabel", "Widget", {640, 320, 16, 41}, "*"},
    {"programeNameLabel", "QLabel", "Widget", {10, 480, 161, 31}, "rich:Program name:"},
    {"hardwareRestButton", "QPushButton", "Widget", {50, 550, 161, 41}, "Hardware Reset"},
    {"setFormatButton", "QPushButton", "Widget", {550, 550, 141, 41}, "SetFormat"},
    {"layoutWidget3", "QWidget", "Widget", {370, 220, 175, 231}, nullptr},
    {"verticalLayout", "QVBoxLayout", "layoutWidget3", {}, nullptr},
    {"h264PrpfileLabel", "QLabel", "layoutWidget3", {}, "rich:H.264 Profile:"},
    {"h264LevelLabel", "QLabel", "layoutWidget3", {}, "rich:H.264Level:"},
    {"encodedSizeLabel", "QLabel", "layoutWidget3", {}, "rich:Encoded size:"},
    {"averageBitRateSizeLabel", "QLabel", "layoutWidget3", {}, "rich:Average BitRate: "},
    {"encodingFrameRateLabel", "QLabel", "layoutWidget3", {}, "rich:Encoding FrameRate:"},
    {"lineAdapter", "QLineEdit", "Widget", {200, 10, 51, 31}, "0"},
    {"lineFrontend", "QLineEdit", "Widget", {410, 10, 51, 31}, "0"},
    {"lineInputFormat", "QLineEdit", "Widget", {200, 51, 261, 31}, ""},
    {"lineProgamName", "QLineEdit", "Widget", {180, 480, 191, 31}, ""},
    {"lineEncodedWidth", "QLineEdit", "Widget", {550, 320, 81, 31}, "1280"},
    {"lineEncodedHight", "QLineEdit", "Widget", {660, 320, 71, 31}, "720"},
    {"lineAverageBitRate", "QLineEdit", "Widget", {550, 370, 81, 31}, "5000"},
    {"lineEncodingFrameRate", "QLineEdit", "Widget", {550, 421, 61, 31}, "30"},
    {"linelOutputformat", "QLineEdit", "Widget", {200, 100, 401, 31}, ""},
    {"statuslabel", "QLabel", "Widget", {220, 550, 321, 31}, ""},
    {"autoModeButton", "QRadioButton", "Widget", {10, 190, 111, 25}, "Auto Mode"},
    {"manualButton", "QRadioButton", "Widget", {170, 190, 84, 25}, "Manual"},
    {"advancedButton", "QRadioButton", "Widget", {360, 190, 105, 25}, "Advanced"},
    {"muteCheckBox", "QCheckBox", "Widget", {610, 190, 66, 25}, "Mute"},
};

QString shown_text(QObject* o)
{
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(o))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(o))
        return e->text();
    return QString();
}

QStringList items(QComboBox* box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT

    // The bare form on a plain widget, as setupUi leaves it, and the window built on it.
    std::unique_ptr<QWidget> host;
    Ui::Widget form_ui;
    QWidget* f = nullptr;
    std::unique_ptr<guitest::WorkingFolder> cwd;
    std::unique_ptr<Widget> w;

private slots:
    void initTestCase()
    {
        guitest::log::install();
        // No detection file: the window opens no device and leaves the form as built.
        cwd.reset(new guitest::WorkingFolder());
        w.reset(new Widget());
        host.reset(new QWidget());
        form_ui.setupUi(host.get());
        f = host.get();
    }
    void cleanupTestCase()
    {
        w.reset();
        host.reset();
        cwd.reset();
    }

    void window_is_a_fixed_800_by_600_window_titled_Ravelin()
    {
        QCOMPARE(f->objectName(), QString("Widget"));
        QCOMPARE(f->size(), QSize(800, 600));
        QCOMPARE(w->objectName(), QString("Widget"));
        QCOMPARE(w->windowTitle(), QString("Ravelin"));
        QCOMPARE(w->size(), QSize(800, 600));
        QCOMPARE(w->minimumSize(), QSize(800, 600));
        QCOMPARE(w->maximumSize(), QSize(800, 600));
        QCOMPARE(w->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(w->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(w->font().pointSize(), 12);
        QVERIFY(!w->autoFillBackground());
        QCOMPARE(w->findChild<QLabel*>("adapterLabel")->font().pointSize(), 12);
    }

    void every_object_has_its_name_class_parent_geometry_and_text()
    {
        for (const Entry& e : form) {
            const QString where = e.name;
            QObject* o = f->findChild<QObject*>(e.name);
            QVERIFY2(o, qPrintable(where));
            QCOMPARE(QString(o->metaObject()->className()), QString(e.cls));
            QVERIFY2(o->parent(), qPrintable(where));
            QCOMPARE(o->parent()->objectName(), QString(e.parent));
            if (auto* widget = qobject_cast<QWidget*>(o)) {
                if (!e.geometry.isNull())
                    QCOMPARE(widget->geometry(), e.geometry);
                else  // placed by the container's layout
                    QVERIFY2(widget->parentWidget()->layout()->indexOf(widget) >= 0, qPrintable(where));
                QVERIFY2(widget->isEnabled(), qPrintable(where));
            }
            if (!e.text)
                continue;
            const QString text = e.text;
            if (text.startsWith("rich:")) {
                QCOMPARE(shown_text(o), rich_prefix + text.mid(5) + rich_suffix);
                QCOMPARE(static_cast<QLabel*>(o)->textFormat(), Qt::AutoText);
            } else {
                QCOMPARE(shown_text(o), text);
            }
        }
    }

    void objects_are_created_in_form_order()
    {
        // QObject keeps its children in creation order.
        QStringList expected_top, got_top;
        for (const Entry& e : form)
            if (QString(e.parent) == "Widget")
                expected_top << e.name;
        for (QObject* c : f->children())
            if (!c->objectName().isEmpty() && c->isWidgetType())
                got_top << c->objectName();
        QCOMPARE(got_top, expected_top);

        for (const char* container : {"layoutWidget", "layoutWidget1", "layoutWidget2", "layoutWidget3"}) {
            QStringList expected, got;
            for (const Entry& e : form)
                if (QString(e.parent) == container)
                    expected << e.name;
            for (QObject* c : f->findChild<QWidget*>(container)->children())
                got << c->objectName();
            QCOMPARE(got, expected);
        }
        QCOMPARE(int(sizeof form / sizeof form[0]), 52);
    }

    void form_object_declares_one_pointer_per_object_in_creation_order()
    {
        // Each member points to the object of its own name.
        const QObject* members[] = {
            form_ui.getInputButton, form_ui.getOutputButton, form_ui.setButton, form_ui.layoutWidget,
            form_ui.verticalLayout_2, form_ui.superButton, form_ui.ultraButton, form_ui.excellentButton,
            form_ui.goodButton, form_ui.fairButton, form_ui.poorButton, form_ui.mobileButton,
            form_ui.layoutWidget1, form_ui.verticalLayout_3, form_ui.adapterLabel, form_ui.inputFormatLabel,
            form_ui.lasterOutPutLabel, form_ui.outputFormatLabel, form_ui.checkAFButton, form_ui.showlabel,
            form_ui.label_14, form_ui.label_13, form_ui.frontendLabel, form_ui.layoutWidget2,
            form_ui.verticalLayout_4, form_ui.h264profileComboBox, form_ui.h264LevelComboBox,
            form_ui.label_12, form_ui.programeNameLabel, form_ui.hardwareRestButton,
            form_ui.setFormatButton, form_ui.layoutWidget3, form_ui.verticalLayout,
            form_ui.h264PrpfileLabel, form_ui.h264LevelLabel, form_ui.encodedSizeLabel,
            form_ui.averageBitRateSizeLabel, form_ui.encodingFrameRateLabel, form_ui.lineAdapter,
            form_ui.lineFrontend, form_ui.lineInputFormat, form_ui.lineProgamName, form_ui.lineEncodedWidth,
            form_ui.lineEncodedHight, form_ui.lineAverageBitRate, form_ui.lineEncodingFrameRate,
            form_ui.linelOutputformat, form_ui.statuslabel, form_ui.autoModeButton, form_ui.manualButton,
            form_ui.advancedButton, form_ui.muteCheckBox};
        QCOMPARE(int(sizeof members / sizeof members[0]), 52);
        for (int i = 0; i < 52; ++i)
            QCOMPARE(members[i]->objectName(), QString(form[i].name));
        // Nothing but the 52 pointers, declared in that order.
        QCOMPARE(sizeof(Ui_Widget), 52 * sizeof(void*));
        QCOMPARE(offsetof(Ui_Widget, getInputButton), size_t(0));
        QCOMPARE(offsetof(Ui_Widget, muteCheckBox), 51 * sizeof(void*));
        QCOMPARE(offsetof(Ui_Widget, h264profileComboBox), 25 * sizeof(void*));
        QCOMPARE(offsetof(Ui_Widget, lineAdapter), 38 * sizeof(void*));
    }

    void containers_stack_their_widgets_top_to_bottom()
    {
        for (const char* container : {"layoutWidget", "layoutWidget1", "layoutWidget2", "layoutWidget3"}) {
            auto* layout = qobject_cast<QVBoxLayout*>(f->findChild<QWidget*>(container)->layout());
            QVERIFY(layout);
            QCOMPARE(layout->spacing(), 6);
            QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
            int i = 0;
            for (const Entry& e : form) {
                if (QString(e.parent) != container || QString(e.cls) == "QVBoxLayout")
                    continue;
                QLayoutItem* item = layout->itemAt(i++);
                QVERIFY(item);
                QCOMPARE(item->widget()->objectName(), QString(e.name));
                QCOMPARE(layout->stretch(i - 1), 0);
                QCOMPARE(item->alignment(), Qt::Alignment());
            }
            QCOMPARE(layout->count(), i);
        }
    }

    void combo_boxes_list_profiles_and_levels_in_order()
    {
        QCOMPARE(items(f->findChild<QComboBox*>("h264profileComboBox")),
                 QStringList({"Hight Profile", "Main Profile"}));
        QCOMPARE(items(f->findChild<QComboBox*>("h264LevelComboBox")),
                 QStringList({"level 3", "level 3.1", "level 3.2", "level 4", "level 4.1", "level 4.2"}));
        QCOMPARE(f->findChild<QComboBox*>("h264profileComboBox")->currentIndex(), 0);
        QCOMPARE(f->findChild<QComboBox*>("h264LevelComboBox")->currentIndex(), 0);
    }

    void retranslating_refills_both_combo_boxes_from_index_0()
    {
        Ui::Widget again;
        QWidget window;
        again.setupUi(&window);
        again.h264profileComboBox->setCurrentIndex(1);
        again.h264LevelComboBox->setCurrentIndex(4);
        again.retranslateUi(&window);
        QCOMPARE(again.h264profileComboBox->currentIndex(), 0);
        QCOMPARE(again.h264LevelComboBox->currentIndex(), 0);
        QCOMPARE(items(again.h264profileComboBox), QStringList({"Hight Profile", "Main Profile"}));
        QCOMPARE(items(again.h264LevelComboBox),
                 QStringList({"level 3", "level 3.1", "level 3.2", "level 4", "level 4.1", "level 4.2"}));
    }

    void settings_the_form_makes_beyond_text()
    {
        QVERIFY(f->findChild<QLabel*>("showlabel")->wordWrap());
        auto* autoMode = f->findChild<QRadioButton*>("autoModeButton");
        QVERIFY(autoMode->isCheckable());
        QVERIFY(!autoMode->isChecked());
        QVERIFY(!f->findChild<QCheckBox*>("muteCheckBox")->isChecked());
        for (QRadioButton* r : f->findChildren<QRadioButton*>())
            QVERIFY2(!r->isChecked(), qPrintable(r->objectName()));
        for (QLineEdit* e : f->findChildren<QLineEdit*>()) {
            QVERIFY(!e->isReadOnly());
            QVERIFY(!e->validator());
            QVERIFY(e->inputMask().isEmpty());
            QCOMPARE(e->maxLength(), 32767);
        }
        QVERIFY(f->findChildren<QButtonGroup*>().isEmpty());
    }

    // Radio buttons are exclusive per parent: presets among themselves, modes among themselves.
    void presets_and_modes_are_two_independent_exclusive_groups()
    {
        const QStringList presets = {"superButton", "ultraButton", "excellentButton", "goodButton",
                                     "fairButton", "poorButton", "mobileButton"};
        const QStringList modes = {"autoModeButton", "manualButton", "advancedButton"};
        auto radio = [&](const QString& n) { return w->findChild<QRadioButton*>(n); };

        QSignalSpy clicks(radio("manualButton"), &QAbstractButton::clicked);
        radio("goodButton")->setChecked(true);
        radio("autoModeButton")->setChecked(true);
        for (const QString& p : presets)
            QCOMPARE(radio(p)->isChecked(), p == "goodButton");
        radio("manualButton")->setChecked(true);
        QVERIFY(!radio("autoModeButton")->isChecked());
        QVERIFY(!radio("advancedButton")->isChecked());
        QVERIFY(radio("goodButton")->isChecked());
        radio("mobileButton")->setChecked(true);
        QVERIFY(!radio("goodButton")->isChecked());
        QVERIFY(radio("manualButton")->isChecked());
        QCOMPARE(clicks.count(), 0);  // a check made by the program runs no slot

        // The operator's click on another mode, with a preset still checked.
        radio("advancedButton")->click();
        QCOMPARE(radio("advancedButton")->isChecked(), true);
        QCOMPARE(radio("manualButton")->isChecked(), false);
        QCOMPARE(radio("mobileButton")->isChecked(), true);

        for (const QString& m : modes)
            QCOMPARE(radio(m)->parent(), static_cast<QObject*>(w.get()));
    }

    void both_set_buttons_say_Set_and_differ_by_name()
    {
        QList<QPushButton*> set;
        for (QPushButton* b : f->findChildren<QPushButton*>())
            if (b->text() == "Set")
                set << b;
        QCOMPARE(set.size(), 2);
        QStringList names = {set[0]->objectName(), set[1]->objectName()};
        names.sort();
        QCOMPARE(names, QStringList({"checkAFButton", "setButton"}));
    }

    void slots_are_listed_in_their_meta_object_order()
    {
        const QMetaObject* mo = w->metaObject();
        const char* expected[] = {"on_checkAFButton_clicked()", "on_getInputButton_clicked()",
                                  "on_getOutputButton_clicked()", "on_autoModeButton_clicked()",
                                  "on_manualButton_clicked()", "on_advancedButton_clicked()",
                                  "on_muteCheckBox_clicked(bool)", "on_setButton_clicked()",
                                  "on_hardwareRestButton_clicked()", "on_setFormatButton_clicked()",
                                  "on_superButton_clicked()", "on_ultraButton_clicked()",
                                  "on_excellentButton_clicked()", "on_goodButton_clicked()",
                                  "on_fairButton_clicked()", "on_poorButton_clicked()",
                                  "on_mobileButton_clicked()", "init_UI()", "getHardwareInfor()",
                                  "is_capture()", "showText()"};
        const int first = mo->methodOffset();
        QCOMPARE(mo->methodCount() - first, 21);
        for (int i = 0; i < 21; ++i) {
            QMetaMethod m = mo->method(first + i);
            QCOMPARE(m.methodSignature(), QByteArray(expected[i]));
            QCOMPARE(m.access(), i == 20 ? QMetaMethod::Public : QMetaMethod::Private);
        }
        QCOMPARE(mo->method(first + 19).returnType(), int(QMetaType::Bool));
        QCOMPARE(mo->method(first + 6).parameterNames(), QList<QByteArray>({"check"}));
        for (int i = 0; i < 21; ++i)
            if (i != 19)
                QCOMPARE(mo->method(first + i).returnType(), int(QMetaType::Void));
    }
};

QTEST_MAIN(FormTest)
#include "tst_form.moc"
