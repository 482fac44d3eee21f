# Read by cpack for a cross build's package: its Depends, worked out by
# dpkg-shlibdeps from the libraries of Debian's cross toolchain. Their
# shlibs files name the target's own packages with its architecture
# (libc6:armhf) or themselves (libgcc-s1-armhf-cross); a package of that
# architecture depends on the plain names.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_WPAN2PCAP_CROSS_LIBRARIES)
    set(work ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
    file(MAKE_DIRECTORY ${work}/debian)
    file(WRITE ${work}/debian/control "Source: wpan2pcap\n\nPackage: wpan2pcap\nArchitecture: any\n")
    execute_process(COMMAND dpkg-shlibdeps -O --ignore-missing-info -l${CPACK_WPAN2PCAP_CROSS_LIBRARIES}
                            ${CPACK_WPAN2PCAP_PROGRAMS}
                    WORKING_DIRECTORY ${work}
                    OUTPUT_VARIABLE shlibdeps RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0 OR NOT shlibdeps MATCHES "^shlibs:Depends=")
        message(FATAL_ERROR "dpkg-shlibdeps found no dependencies: ${errors}")
    endif()
    string(REGEX REPLACE "^shlibs:Depends=" "" depends "${shlibdeps}")
    string(STRIP "${depends}" depends)
    string(REGEX REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}" "" depends "${depends}")
    string(REGEX REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross" "" depends "${depends}")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
endif()
