# 64-bit ARM Linux (Debian arm64: Raspberry Pi OS 64-bit and other boards).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(WPAN2PCAP_CROSS_TRIPLET aarch64-linux-gnu)
set(WPAN2PCAP_CROSS_MULTIARCH aarch64-linux-gnu)
set(WPAN2PCAP_CROSS_LAUNCHER qemu-aarch64 -L /usr/${WPAN2PCAP_CROSS_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
