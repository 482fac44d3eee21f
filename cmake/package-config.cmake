# Read by cpack as it makes a package. Its file times are the build's time
# stamp (see SOURCE_DATE_EPOCH in the top CMakeLists.txt), unless the builder
# gave one; a cross build's Depends are worked out for its target.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_WPAN2PCAP_SOURCE_DATE_EPOCH}")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross-package-depends.cmake)
