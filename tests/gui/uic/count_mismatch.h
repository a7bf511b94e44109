// SPDX-License-Identifier: GPL-2.0-or-later
// uic output whose empty items and texts do not match in number.
class Ui_Widget
{
public:
    QComboBox *levelBox;

    void setupUi(QWidget *Widget)
    {
        levelBox = new QComboBox(Widget);
        levelBox->addItem(QString());
        retranslateUi(Widget);
    }

    void retranslateUi(QWidget *Widget)
    {
        levelBox->setItemText(0, QCoreApplication::translate("Widget", "level 3", nullptr));
        levelBox->setItemText(1, QCoreApplication::translate("Widget", "level 3.1", nullptr));
    }
};
