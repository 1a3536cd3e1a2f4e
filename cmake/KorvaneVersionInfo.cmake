# korvane_add_version_info(<target> <VFT_DLL|VFT_APP> <file name> <description>)
#
# Gives a Windows binary a VERSIONINFO resource with the project version, so that the file's
# Properties, installers and support staff can tell which build they have.
function(korvane_add_version_info target file_type file_name description)
    set(KORVANE_RC_FILETYPE ${file_type})
    set(KORVANE_RC_FILE_NAME ${file_name})
    set(KORVANE_RC_DESCRIPTION ${description})
    get_filename_component(KORVANE_RC_INTERNAL_NAME ${file_name} NAME_WE)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_info.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
