# 32-bit ARM Linux with hardware floating point (Debian armhf: 32-bit
# Raspberry Pi OS and many small boards).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(WPAN2PCAP_CROSS_TRIPLET arm-linux-gnueabihf)
set(WPAN2PCAP_CROSS_MULTIARCH arm-linux-gnueabihf)
set(WPAN2PCAP_CROSS_LAUNCHER qemu-arm -L /usr/${WPAN2PCAP_CROSS_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
