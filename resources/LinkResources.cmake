# Lays out FOLDER, the build tree's resource folder, from SOURCE, the sources'
# resources/: a real folder whose entries link to SOURCE's, except html/, a
# real folder whose files link to SOURCE/html's, so that the build can put the
# files it makes beside them. Run with cmake -P at configure time and on every
# build, so that files added to SOURCE show up and links to removed ones go.
cmake_minimum_required(VERSION 3.25)

# Earlier build trees had FOLDER as one link to SOURCE; writing into it would
# write into the sources.
if(IS_SYMLINK "${FOLDER}")
    file(REMOVE "${FOLDER}")
endif()
file(MAKE_DIRECTORY "${FOLDER}/html")

function(link_entries from to skip)
    file(GLOB entries LIST_DIRECTORIES true RELATIVE "${from}" "${from}/*")
    foreach(entry IN LISTS entries)
        if(skip AND entry MATCHES "${skip}")
            continue()
        endif()
        if(NOT IS_SYMLINK "${to}/${entry}")
            file(CREATE_LINK "${from}/${entry}" "${to}/${entry}" SYMBOLIC)
        endif()
    endforeach()
endfunction()

# images/ holds the drawings the build turns into html/'s pictures.
link_entries("${SOURCE}" "${FOLDER}" "^(html|images|CMakeLists\\.txt|.*\\.cmake)$")
link_entries("${SOURCE}/html" "${FOLDER}/html" "")

file(GLOB present LIST_DIRECTORIES true "${FOLDER}/*" "${FOLDER}/html/*")
foreach(path IN LISTS present)
    if(IS_SYMLINK "${path}" AND NOT EXISTS "${path}")
        file(REMOVE "${path}")
    endif()
endforeach()
