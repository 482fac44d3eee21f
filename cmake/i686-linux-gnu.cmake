# 32-bit x86 Linux (Debian i386). A 64-bit x86 kernel built with 32-bit
# support runs these programs itself, through its 32-bit system calls, as a
# Pi's 64-bit kernel runs armhf programs; a kernel without it runs them under
# qemu-i386. They are linked statically: qemu-i386 (7.2) hangs a program of
# the dynamic 32-bit C library in waitpid, which the tests live on, and a
# static program needs no 32-bit loader on the host either.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(WPAN2PCAP_CROSS_TRIPLET i686-linux-gnu)
set(WPAN2PCAP_CROSS_MULTIARCH i386-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(NOT DEFINED WPAN2PCAP_CROSS_RUNS_NATIVELY)
    # The loader is a 32-bit program: whether it starts says whether the kernel runs them.
    execute_process(COMMAND /usr/${WPAN2PCAP_CROSS_TRIPLET}/lib/ld-linux.so.2 --version
                    RESULT_VARIABLE probe_status OUTPUT_QUIET ERROR_QUIET)
    if(probe_status EQUAL 0)
        set(WPAN2PCAP_CROSS_RUNS_NATIVELY ON CACHE INTERNAL "the kernel runs 32-bit x86 programs")
    else()
        set(WPAN2PCAP_CROSS_RUNS_NATIVELY OFF CACHE INTERNAL "the kernel runs 32-bit x86 programs")
    endif()
endif()
if(WPAN2PCAP_CROSS_RUNS_NATIVELY)
    set(WPAN2PCAP_CROSS_LAUNCHER "")
else()
    set(WPAN2PCAP_CROSS_LAUNCHER qemu-i386)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
