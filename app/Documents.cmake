# Texts installed gzip-compressed, as Debian's policy wants manuals and
# changelogs: mirel_compressed(NAME SOURCE DESTINATION) makes SOURCE.gz in the
# build tree (no name or time stamp inside, so builds repeat exactly), installs
# it to DESTINATION and adds it to mirel_compressed_files.
find_program(GZIP gzip REQUIRED)
# A reverse-DNS name under a domain reserved for examples, which claims no one's.
set(MIREL_APPSTREAM_ID "org.example.mirel" CACHE INTERNAL "")

function(mirel_compressed name source destination)
    get_filename_component(file ${source} NAME)
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/compressed/${file}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/compressed
        COMMAND sh -c "${GZIP} -9nc '${source}' > '${compressed}'"
        DEPENDS ${source}
        VERBATIM)
    install(FILES ${compressed} DESTINATION ${destination})
    set(mirel_compressed_files ${mirel_compressed_files} ${compressed} PARENT_SCOPE)
endfunction()
