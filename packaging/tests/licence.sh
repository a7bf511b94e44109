#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Every source file names its licence.  Usage: licence.sh SOURCE_DIR
set -u
cd "${1:?source folder}" || exit 1
missing=$(find CMakeLists.txt lib cli ctl gui sim tests bench cmake scripts packaging debian/rules debian/control \
    -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.cmake' -o -name '*.cmake.in' -o -name CMakeLists.txt \
    -o -name '*.sh' -o -name '*.ui' -o -name '*.1' -o -name '*.desktop' -o -name '*.svg' -o -name '*.supp' -o -name '*.py' \
    -o -path '*/completion/*' -o -name rules -o -name control \) \
    -exec grep -L 'SPDX-License-Identifier: GPL-2.0-or-later' {} +)
if [ -n "$missing" ]; then
    echo "no SPDX-License-Identifier: GPL-2.0-or-later line in:"
    echo "$missing"
    exit 1
fi
