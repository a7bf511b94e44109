# Gives the form's combo boxes the refill that retranslateUi always did with
# the older uic: clear the box, then insert every item from index 0. Newer
# uic adds empty items in setupUi and only renames them in retranslateUi,
# which would leave a box's current index alone when the texts are set again.
# Output of a uic that does neither is passed through unchanged.
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
    continue()
  endif()
  string(REGEX REPLACE "\n *${box}->addItem\\(QString\\(\\)\\);" "" content "${content}")
  string(REGEX REPLACE " *${box}->setItemText\\([0-9]+, ([^\n]*)\\);\n" "         << \\1\n"
         items "${group}")
  string(REPLACE "${group}"
         "${box}->clear();\n        ${box}->insertItems(0, QStringList()\n${items}        );\n"
         content "${content}")
endforeach()

file(WRITE "${OUT}" "${content}")
