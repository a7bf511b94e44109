// SPDX-License-Identifier: GPL-2.0-or-later
// uic output of an unknown kind: the box is filled by neither known pattern.
class Ui_Widget
{
public:
    QComboBox *levelBox;

    void setupUi(QWidget *Widget)
    {
        levelBox = new QComboBox(Widget);
        retranslateUi(Widget);
    }

    void retranslateUi(QWidget *Widget)
    {
        levelBox->addItems(QStringList() << QString("level 3"));
    }
};
