# IBM Z Linux (Debian s390x): big-endian, so it proves that the byte order of
# the files never depends on the machine's.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(WPAN2PCAP_CROSS_TRIPLET s390x-linux-gnu)
set(WPAN2PCAP_CROSS_MULTIARCH s390x-linux-gnu)
set(WPAN2PCAP_CROSS_LAUNCHER qemu-s390x -L /usr/${WPAN2PCAP_CROSS_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
