# Install rules for Linux: the versioned shared library and its header, a CMake package
# (find_package(Korvane) -> Korvane::korvane), a pkg-config file, the korvane tool, the
# simulator and their manual pages, and the C examples, all laid out by GNUInstallDirs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Korvane)

install(TARGETS korvane EXPORT KorvaneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/korvane/korvane.h
              ${KORVANE_GENERATED_INCLUDE_DIR}/korvane_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane)

install(EXPORT KorvaneTargets NAMESPACE Korvane:: DESTINATION ${KORVANE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KorvaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/KorvaneConfig.cmake
                              INSTALL_DESTINATION ${KORVANE_CMAKE_DIR})
# 1.x hosts keep working with any later 1.y; a 2.0 library would break them.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KorvaneConfigVersion.cmake
                                  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KorvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/KorvaneConfigVersion.cmake
        DESTINATION ${KORVANE_CMAKE_DIR})

# korvane.pc is written when it is installed, not when the build is configured, so that it
# names the prefix the files really land in: `cmake --install build --prefix DIR` and the
# Debian package both override the configured one.
install(CODE "
    set(KORVANE_PC_VERSION \"${PROJECT_VERSION}\")
    set(KORVANE_PC_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    set(KORVANE_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(KORVANE_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(KORVANE_PC_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/korvane.pc.in\")
    set(KORVANE_PC_OUTPUT \"${PROJECT_BINARY_DIR}/korvane.pc\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/KorvanePkgConfig.cmake\")
")
install(FILES ${PROJECT_BINARY_DIR}/korvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET korvane_cli AND TARGET korvane-sim)
    install(TARGETS korvane_cli korvane-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The tool finds the library beside it (bin/../lib) wherever the tree is installed;
    # installed into the system's own library folder it needs no search path at all.
    list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} system_libdir)
    if(system_libdir EQUAL -1)
        file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
        set_target_properties(korvane_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    endif()
endif()

# The examples a host developer starts from, where Debian keeps a package's examples
# (share/doc/korvane/examples); their CMakeLists.txt builds them against this installation.
file(GLOB KORVANE_EXAMPLE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.c)
install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt ${KORVANE_EXAMPLE_SOURCES}
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
