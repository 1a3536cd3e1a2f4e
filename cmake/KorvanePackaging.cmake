# The Debian package: `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# makes korvane_<version>_amd64.deb holding everything the install rules install.
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_CONTACT "Korvane maintainers <maintainers@korvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host library and tools for Korvane motion controllers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "libkorvane drives a CNC motion controller running the Korvane firmware over a serial\n"
    "port through a flat C API. This package holds the shared library, its C header, CMake\n"
    "and pkg-config files, the korvane command-line tool and the korvane-sim simulated\n"
    "controller, with their manual pages.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries' own needs (dpkg-shlibdeps); a shlibs file and an ldconfig
# trigger for libkorvane.so.1.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
