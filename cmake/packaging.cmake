# `cmake --workflow --preset package` builds a Debian package of the program,
# its man page, its copyright file and its changelog. `cmake --install`
# installs the very same files.
if(NOT WIN32)
    # Debian's machine-readable copyright file, made from LICENSE so the two
    # never differ: the licence text indented, blank lines as " .".
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license_text)
    string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) [^\n]*\n\n" "" license_body "${license_text}")
    string(REGEX REPLACE "\n+$" "" license_body "${license_body}")
    string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
    string(REPLACE "\n" "\n " license_body "${license_body}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: wpan2pcap

Files: *
Copyright: 2026 the wpan2pcap authors
License: Expat
 ${license_body}
")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

    # Debian installs man pages and changelogs compressed, without timestamps.
    find_program(WPAN2PCAP_GZIP gzip REQUIRED)
    foreach(doc IN ITEMS wpan2pcap.1 changelog)
        add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${doc}.gz
            COMMAND ${WPAN2PCAP_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/docs/${doc} > ${doc}.gz
            DEPENDS docs/${doc}
            WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    endforeach()
    add_custom_target(compressed_docs ALL
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/wpan2pcap.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wpan2pcap.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME wpan2pcap)
set(CPACK_PACKAGE_VENDOR "wpan2pcap developers")
set(CPACK_PACKAGE_CONTACT "wpan2pcap developers <maintainers@users.noreply.c-seed-31a6294f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert IEEE 802.15.4 captures of 151-byte records to PCAP")
set(CPACK_PACKAGE_DESCRIPTION "wpan2pcap turns a capture of IEEE 802.15.4 frames stored as fixed-size
151-byte records into a classic PCAP file (link type 195, frames with FCS)
that capture analysers open, printing a trace of every record.
.
It also installs wpan2pcap-extcap, a capture source that Wireshark and
tshark list as the interface wpan2pcap: it streams a record capture into
Wireshark and follows the file as it grows.")
set(CPACK_GENERATOR DEB)
# A cross build's package is for its target: Debian's name for that
# architecture, from where its libraries live.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    set(debian_architectures
        aarch64-linux-gnu arm64 arm-linux-gnueabihf armhf i386-linux-gnu i386 s390x-linux-gnu s390x)
    list(FIND debian_architectures ${CMAKE_LIBRARY_ARCHITECTURE} triplet_at)
    if(triplet_at GREATER_EQUAL 0)
        math(EXPR architecture_at "${triplet_at} + 1")
        list(GET debian_architectures ${architecture_at} CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    endif()
    set(CPACK_WPAN2PCAP_CROSS_LIBRARIES ${CMAKE_FIND_ROOT_PATH}/lib)
    set(CPACK_WPAN2PCAP_PROGRAMS ${PROJECT_BINARY_DIR}/wpan2pcap ${PROJECT_BINARY_DIR}/wpan2pcap-extcap)
endif()
# The package's file times: the build's time stamp, which CPack takes from
# SOURCE_DATE_EPOCH (a builder's own is kept).
set(CPACK_WPAN2PCAP_SOURCE_DATE_EPOCH ${WPAN2PCAP_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package-config.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")
set(CPACK_STRIP_FILES ON)
include(CPack)
