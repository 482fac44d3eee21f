# Shared by the cross toolchain files: a Linux target built with Debian's
# cross compilers for WPAN2PCAP_CROSS_TRIPLET, its programs run under
# qemu-user (CMAKE_CROSSCOMPILING_EMULATOR) by CTest and by the tests that
# start them, since the machine need not run foreign programs by itself.
#   WPAN2PCAP_CROSS_TRIPLET    the compilers' prefix and sysroot, e.g. arm-linux-gnueabihf
#   WPAN2PCAP_CROSS_MULTIARCH  Debian's folder name for the target's libraries
#   WPAN2PCAP_CROSS_LAUNCHER   how the host runs a target program: qemu-user, or the
#                              target's own loader where the kernel runs such programs
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${WPAN2PCAP_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WPAN2PCAP_CROSS_TRIPLET}-g++)
# Where Debian puts the target's libraries (/usr/lib/<multiarch>), and so the
# extcap program (/usr/lib/<multiarch>/wireshark/extcap).
set(CMAKE_LIBRARY_ARCHITECTURE ${WPAN2PCAP_CROSS_MULTIARCH})
# GNUInstallDirs gives a native Debian build that folder, not a cross build.
set(CMAKE_INSTALL_LIBDIR lib/${WPAN2PCAP_CROSS_MULTIARCH})
set(CMAKE_FIND_ROOT_PATH /usr/${WPAN2PCAP_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WPAN2PCAP_CROSS_LAUNCHER})
