# SPDX-License-Identifier: GPL-2.0-or-later
# Gives the form's combo boxes the refill that retranslateUi always did with
# the older uic: clear the box, then insert every item from index 0. Newer
# uic adds empty items in setupUi and only renames them in retranslateUi,
# which would leave a box's current index alone when the texts are set again.
# Output that, afterwards, still has a combo box without that refill stops
# the build: a uic whose output this does not know must be looked at.
#
#   cmake -DIN=<uic output> -DOUT=<header> -P uic_combo_refill.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${IN}" content)

string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*->setItemText\\(0, " firsts "${content}")
foreach(first IN LISTS firsts)
  string(REGEX REPLACE "->setItemText.*" "" box "${first}")
  string(REGEX MATCH "${box}->setItemText\\(0, [^\n]*\n( *${box}->setItemText\\([0-9]+, [^\n]*\n)*"
         group "${content}")
  string(REGEX MATCHALL "${box}->addItem\\(QString\\(\\)\\)" added "${content}")
  string(REGEX MATCHALL "->setItemText\\(" named "${group}")
  list(LENGTH added added_count)
  list(LENGTH named named_count)
  if(NOT added_count EQUAL named_count)
    message(FATAL_ERROR "uic_combo_refill: ${box} has ${added_count} empty items in setupUi "
                        "but ${named_count} texts in retranslateUi (${IN})")
  endif()
  string(REGEX REPLACE "\n *${box}->addItem\\(QString\\(\\)\\);" "" content "${content}")
  string(REGEX REPLACE " *${box}->setItemText\\([0-9]+, ([^\n]*)\\);\n" "         << \\1\n"
         items "${group}")
  string(REPLACE "${group}"
         "${box}->clear();\n        ${box}->insertItems(0, QStringList()\n${items}        );\n"
         content "${content}")
endforeach()

string(REGEX MATCHALL "QComboBox \\*[A-Za-z_][A-Za-z0-9_]*" boxes "${content}")
if(NOT boxes)
  message(FATAL_ERROR "uic_combo_refill: no combo box found in ${IN}")
endif()
foreach(declaration IN LISTS boxes)
  string(REPLACE "QComboBox *" "" box "${declaration}")
  if(NOT content MATCHES "${box}->clear\\(\\);\n *${box}->insertItems\\(0, QStringList\\(\\)"
     OR content MATCHES "${box}->(setItemText|addItem)\\(")
    message(FATAL_ERROR "uic_combo_refill: ${box} is not refilled by retranslateUi in ${IN}; "
                        "this uic writes its combo boxes in a way the script does not know")
  endif()
endforeach()

file(WRITE "${OUT}" "${content}")
