# CPack runs this after each package it makes, before it copies the package to the output folder.
# A zip keeps the dates (of change, access and change of status) and the owner of every file as they
# were on disk; strip-nondeterminism gives every file one date, SOURCE_DATE_EPOCH when it is set,
# otherwise the time of the last commit, and one owner. So every build of a commit makes the same
# zip. Then the package's SHA-256 goes into SHA256SUMS beside the packages, in the form that
# sha256sum -c reads; the line of this version's other package stays.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
    execute_process(COMMAND git -C "${CPACK_BRIDGE_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "Outside a git checkout, set SOURCE_DATE_EPOCH to date the packages")
endif()
set(sums "${CPACK_PACKAGE_DIRECTORY}/${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name "${package}" NAME)
    if(NOT name IN_LIST CPACK_BRIDGE_PACKAGES)
        message(FATAL_ERROR "SHA256SUMS: ${name} is none of ${CPACK_BRIDGE_PACKAGES}")
    endif()
    if(name MATCHES "\\.zip$")
        execute_process(COMMAND strip-nondeterminism --type zip
                                --timestamp ${epoch} "${package}"
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(SHA256 "${package}" hash)
    set(line_${name} "${hash}  ${name}")
endforeach()
if(EXISTS "${sums}")
    file(STRINGS "${sums}" earlier)
    foreach(line IN LISTS earlier)
        string(REGEX REPLACE "^[0-9a-f]+  " "" name "${line}")
        if(NOT DEFINED line_${name})
            set(line_${name} "${line}")
        endif()
    endforeach()
endif()
set(text "")
foreach(name IN LISTS CPACK_BRIDGE_PACKAGES)
    if(DEFINED line_${name})
        string(APPEND text "${line_${name}}\n")
    endif()
endforeach()
file(WRITE "${sums}" "${text}")
