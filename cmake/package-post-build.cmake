# CPack runs this after each package it makes, before it copies the package to the output folder.
# When the environment names a key (signing.cmake), the installer is signed first, so that it is
# shipped and hashed as signed; a signature that fails takes the release's packages away and stops.
# A zip keeps the dates (of change, access and change of status) and the owner of every file as they
# were on disk; strip-nondeterminism gives every file one date, SOURCE_DATE_EPOCH when it is set,
# otherwise the time of the last commit, and one owner. So every build of a commit makes the same
# zip. Then the package's SHA-256 goes into SHA256SUMS beside the packages, in the form that
# sha256sum -c reads; the lines of this version's other packages stay. After the zip comes the debug
# zip, made here alike: the program's debug file in the zip's folder, so that unpacking both zips in
# one place puts it beside the program, where debuggers look for it. With each package, the list of
# the tools that made the release is written anew, and hashed.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
    execute_process(COMMAND git -C "${CPACK_BRIDGE_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "Outside a git checkout, set SOURCE_DATE_EPOCH to date the packages")
endif()
set(packages "${CPACK_OUTPUT_FILE_PREFIX}")
set(sums "${packages}/SHA256SUMS")
set(debug_zip "${CPACK_BRIDGE_PACKAGE_NAME}-debug.zip")

# The file gets fixed permissions, and the zip only the file (no folder entry, whose permissions
# would follow the umask); strip-nondeterminism then sets the date and the owner as for the zip.
function(make_debug_zip)
    set(stage "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/debug-zip")
    file(REMOVE_RECURSE "${stage}")
    file(COPY "${CPACK_BRIDGE_DEBUG_FILE}" DESTINATION "${stage}/${CPACK_BRIDGE_PACKAGE_NAME}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    get_filename_component(file_name "${CPACK_BRIDGE_DEBUG_FILE}" NAME)
    file(MAKE_DIRECTORY "${packages}")
    file(REMOVE "${packages}/${debug_zip}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${packages}/${debug_zip}" --format=zip
                            "${CPACK_BRIDGE_PACKAGE_NAME}/${file_name}"
                    WORKING_DIRECTORY "${stage}" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND strip-nondeterminism --type zip --timestamp ${epoch}
                            "${packages}/${debug_zip}"
                    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# The versions of the tools whose output is in the packages, as each tool gives its own (the first
# line of its version), and on Debian the package that holds it: the same versions make the same
# bytes. For each tool: its name in the list, its program, and the switch that prints its version.
function(write_tools_file)
    find_program(BRIDGE_MAKENSIS makensis)
    find_program(BRIDGE_STRIP_NONDETERMINISM strip-nondeterminism)
    find_program(BRIDGE_OSSLSIGNCODE osslsigncode)
    find_program(BRIDGE_DPKG_QUERY dpkg-query)
    set(tools "compiler|${CPACK_BRIDGE_COMPILER}|--version"
              "binutils|${CPACK_BRIDGE_LINKER}|--version" "NSIS|${BRIDGE_MAKENSIS}|-VERSION"
              "CMake|${CPACK_BRIDGE_CMAKE}|--version"
              "strip-nondeterminism|${BRIDGE_STRIP_NONDETERMINISM}|--version"
              "osslsigncode|${BRIDGE_OSSLSIGNCODE}|--version")
    set(text "${CPACK_BRIDGE_PRODUCT_NAME} ${CPACK_PACKAGE_VERSION} was made with these tools. \
The same versions make the same bytes.\n\n")
    foreach(tool IN LISTS tools)
        string(REPLACE "|" ";" tool "${tool}")
        list(GET tool 0 name)
        list(GET tool 1 program)
        list(GET tool 2 switch)
        set(version "not found")
        if(EXISTS "${program}")
            execute_process(COMMAND "${program}" ${switch} OUTPUT_VARIABLE version ERROR_QUIET)
            string(REGEX REPLACE "\n.*" "" version "${version}")
            string(REGEX REPLACE ",? using:$" "" version "${version}")
            file(REAL_PATH "${program}" program)
            if(BRIDGE_DPKG_QUERY)
                execute_process(COMMAND "${BRIDGE_DPKG_QUERY}" -S "${program}"
                                OUTPUT_VARIABLE debian ERROR_QUIET)
                if(debian MATCHES "^([^:, ]+): ")
                    set(debian "${CMAKE_MATCH_1}")
                    execute_process(COMMAND "${BRIDGE_DPKG_QUERY}" -W -f "\${Version}" "${debian}"
                                    OUTPUT_VARIABLE debian_version ERROR_QUIET)
                    string(APPEND version " (Debian package ${debian} ${debian_version})")
                endif()
            endif()
        endif()
        if(name STREQUAL "osslsigncode")
            if(CPACK_BRIDGE_SIGN_KEY STREQUAL "")
                string(APPEND version "; not used: the release is not signed")
            else()
                string(APPEND version "; signed the release")
            endif()
        endif()
        string(APPEND text "${name}: ${version}\n")
    endforeach()
    file(WRITE "${packages}/${tools_file}" "${text}")
endfunction()

include("${CPACK_BRIDGE_MODULE_DIR}/signing.cmake")
set(tools_file "${CPACK_BRIDGE_PACKAGE_NAME}-tools.txt")
write_tools_file()
file(SHA256 "${packages}/${tools_file}" hash)
set(line_${tools_file} "${hash}  ${tools_file}")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name "${package}" NAME)
    if(NOT name IN_LIST CPACK_BRIDGE_PACKAGES)
        message(FATAL_ERROR "SHA256SUMS: ${name} is none of ${CPACK_BRIDGE_PACKAGES}")
    endif()
    if(name MATCHES "\\.exe$" AND NOT CPACK_BRIDGE_SIGN_KEY STREQUAL "")
        bridge_sign("${package}" "${CPACK_BRIDGE_PRODUCT_NAME} Setup" "${CPACK_BRIDGE_HOMEPAGE}"
                    error)
        if(NOT error STREQUAL "")
            file(REMOVE "${package}")
            bridge_discard_release("${packages}" "${CPACK_BRIDGE_PACKAGES}"
                                   "the installer: ${error}")
        endif()
        message(STATUS "Signing: ${name} signed (${CPACK_BRIDGE_SIGN_KEY})")
    endif()
    if(name MATCHES "\\.zip$")
        execute_process(COMMAND strip-nondeterminism --type zip
                                --timestamp ${epoch} "${package}"
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(SHA256 "${package}" hash)
    set(line_${name} "${hash}  ${name}")
    if(name STREQUAL "${CPACK_BRIDGE_PACKAGE_NAME}.zip")
        make_debug_zip()
        file(SHA256 "${packages}/${debug_zip}" hash)
        set(line_${debug_zip} "${hash}  ${debug_zip}")
    endif()
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

# The manifests for winget and Scoop, with the hashes just written.
include("${CPACK_BRIDGE_MODULE_DIR}/manifests.cmake")
foreach(name zip installer)
    set(${name}_hash "")
endforeach()
if(DEFINED "line_${CPACK_BRIDGE_PACKAGE_NAME}.zip")
    string(REGEX MATCH "^[0-9a-f]+" zip_hash "${line_${CPACK_BRIDGE_PACKAGE_NAME}.zip}")
endif()
if(DEFINED "line_${CPACK_BRIDGE_PACKAGE_NAME}-setup.exe")
    string(REGEX MATCH "^[0-9a-f]+" installer_hash "${line_${CPACK_BRIDGE_PACKAGE_NAME}-setup.exe}")
endif()
bridge_write_manifests("${packages}" "${zip_hash}" "${installer_hash}")
