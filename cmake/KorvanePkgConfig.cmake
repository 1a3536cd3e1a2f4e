# Runs at install time (from the install rules): writes korvane.pc for the prefix being
# installed into. Set before including: KORVANE_PC_TEMPLATE, KORVANE_PC_OUTPUT,
# KORVANE_PC_VERSION, KORVANE_PC_DESCRIPTION, KORVANE_PC_LIBDIR, KORVANE_PC_INCLUDEDIR.
foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${KORVANE_PC_${dir}}")
        set(KORVANE_PC_${dir}_PATH "${KORVANE_PC_${dir}}")
    else()
        set(KORVANE_PC_${dir}_PATH "\${prefix}/${KORVANE_PC_${dir}}")
    endif()
endforeach()
set(KORVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
configure_file("${KORVANE_PC_TEMPLATE}" "${KORVANE_PC_OUTPUT}" @ONLY)
