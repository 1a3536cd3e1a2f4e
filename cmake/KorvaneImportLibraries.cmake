# korvane_add_import_libraries(<dll target> <def file>)
#
# The import libraries that let programs link Korvane.dll without loading it by hand:
# - libkorvane.dll.a for MinGW. The linker makes one itself, but on x86, where --kill-at
#   makes the exports plain, it holds plain symbols too, while a MinGW caller of a __stdcall
#   function asks for _Korvane_Connect@12; so on x86 dlltool remakes it from the decorated
#   .def with -k: decorated symbols, plain import names.
# - Korvane.lib for Visual Studio (link.exe, lld-link), made the same way by llvm-dlltool.
#   Without llvm-dlltool the build says so and leaves it out.
function(korvane_add_import_libraries target def_file)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(machine i386:x86-64)
        set(kill_at "")
    else()
        set(machine i386)
        set(kill_at -k)
        find_program(KORVANE_MINGW_DLLTOOL ${KORVANE_MINGW_TRIPLE}-dlltool REQUIRED)
        add_custom_command(TARGET ${target} POST_BUILD
                           COMMAND ${KORVANE_MINGW_DLLTOOL} -m i386 -k -d ${def_file}
                                   -D $<TARGET_FILE_NAME:${target}>
                                   -l $<TARGET_LINKER_FILE:${target}>
                           COMMENT "libkorvane.dll.a with the decorated __stdcall names"
                           VERBATIM)
    endif()

    find_program(KORVANE_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
    if(NOT KORVANE_LLVM_DLLTOOL)
        message(STATUS "llvm-dlltool not found: no Korvane.lib for Visual Studio")
        return()
    endif()
    set(lib ${CMAKE_CURRENT_BINARY_DIR}/Korvane.lib)
    add_custom_command(OUTPUT ${lib}
                       COMMAND ${KORVANE_LLVM_DLLTOOL} -m ${machine} ${kill_at} -d ${def_file}
                               -D $<TARGET_FILE_NAME:${target}> -l ${lib}
                       DEPENDS ${def_file}
                       COMMENT "Korvane.lib, the import library for Visual Studio"
                       VERBATIM)
    add_custom_target(${target}_msvc_import_library ALL DEPENDS ${lib})
endfunction()
