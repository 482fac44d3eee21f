# `cmake --workflow --preset package` builds a Debian package of the program
# and its man page.
if(NOT WIN32)
    find_program(WPAN2PCAP_GZIP gzip)
    if(WPAN2PCAP_GZIP)
        # Debian installs man pages compressed.
        add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/wpan2pcap.1.gz
            COMMAND ${WPAN2PCAP_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/docs/wpan2pcap.1 > wpan2pcap.1.gz
            DEPENDS docs/wpan2pcap.1
            WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
        add_custom_target(man_page ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/wpan2pcap.1.gz)
        install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wpan2pcap.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
        install(FILES docs/wpan2pcap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endif()

set(CPACK_PACKAGE_NAME wpan2pcap)
set(CPACK_PACKAGE_VENDOR "wpan2pcap developers")
set(CPACK_PACKAGE_CONTACT "wpan2pcap developers <maintainers@users.noreply.c-seed-31a6294f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert IEEE 802.15.4 captures of 151-byte records to PCAP")
set(CPACK_PACKAGE_DESCRIPTION "wpan2pcap turns a capture of IEEE 802.15.4 frames stored as fixed-size
151-byte records into a classic PCAP file (link type 195, frames with FCS)
that capture analysers open, printing a trace of every record.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
