# The Debian package of seamline: `cpack -G DEB` in the build directory
# (`make package` at the top level) writes seamline_VERSION_ARCH.deb.
set(SEAMLINE_MAINTAINER
    "Seed 38a51ffb maintainers <maintainers@users.noreply.c-seed-38a51ffb.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME seamline)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SEAMLINE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "join haplotypes phased in overlapping chromosome windows")
set(CPACK_PACKAGE_DESCRIPTION
    "seamline is the last step of a phasing pipeline that phases a chromosome in
overlapping windows (chunks). It orders the phased chunks along the
chromosome, splits every overlap between the two neighbours, keeps every
sample's two haplotypes in one orientation from chunk to chunk, and writes one
haplotype file and one sample file for the whole site list. Inputs and outputs
may be gzip- or bzip2-compressed.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds the shared libraries the binary links (Boost.Iostreams,
# ISA-L, zlib, htslib, the C++ runtime); bzip2 is reached through
# Boost.Iostreams, and htslib is named as well in case the linker drops it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zlib1g, libbz2-1.0, libhts3")
# Debian ships manual pages gzip-compressed.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CompressManPages.cmake)

include(CPack)
