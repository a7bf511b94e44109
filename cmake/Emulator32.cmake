# SPDX-License-Identifier: GPL-2.0-or-later
# Sets RAVELIN_EMULATOR (and CMAKE_CROSSCOMPILING_EMULATOR) to qemu-i386 when
# this is a 32-bit tree whose programs the running kernel cannot execute.
set(RAVELIN_EMULATOR "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_probe_src ${CMAKE_BINARY_DIR}/probe32/probe.c)
  file(WRITE ${_probe_src} "int main(void) { return 0; }\n")
  try_run(_probe_run _probe_compile
          ${CMAKE_BINARY_DIR}/probe32 ${_probe_src})
  if(NOT _probe_compile)
    message(FATAL_ERROR "Cannot build 32-bit programs: install gcc-multilib and g++-multilib")
  endif()
  option(RAVELIN_FORCE_QEMU "Run the 32-bit tree through qemu-i386 even where the kernel runs it" OFF)
  # Only the tests run what is built: a build without them (such as a
  # package's cross build) needs no qemu.
  if(NOT BUILD_TESTING AND NOT _probe_run EQUAL 0)
    message(STATUS "32-bit programs do not run natively here; no tests are built, so none needs qemu-i386")
  elseif(NOT _probe_run EQUAL 0 OR RAVELIN_FORCE_QEMU)
    find_program(QEMU_I386 qemu-i386 REQUIRED)
    message(STATUS "32-bit programs do not run natively here; using ${QEMU_I386}")
    set(RAVELIN_EMULATOR ${QEMU_I386})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
    if(RAVELIN_FORCE_QEMU)
      # Programs that tests start go through qemu too, as on kernels without 32-bit support.
      add_compile_definitions(CARDSIM_FORCE_QEMU_DEFAULT=1)
    endif()
  endif()
endif()
