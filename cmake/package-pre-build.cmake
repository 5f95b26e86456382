# CPack runs this for each generator after it has installed the files to pack into its staging
# folder, and before it packs them. When the environment names a key (signing.cmake), the program
# in the staging folder is signed. Both packages carry the same signed program: the first generator
# (the zip's) signs it and keeps a copy, which the next one (the installer's) takes when it was made
# from the same program with the same key. Unsigned, the program is packed as built.
cmake_policy(VERSION 3.25)
if(CPACK_BRIDGE_SIGN_KEY STREQUAL "")
    return()
endif()
include("${CPACK_BRIDGE_MODULE_DIR}/signing.cmake")
set(program "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${CPACK_BRIDGE_PROGRAM}")
if(NOT EXISTS "${program}")
    bridge_discard_release("${CPACK_OUTPUT_FILE_PREFIX}" "${CPACK_BRIDGE_PACKAGES}"
                           "no ${CPACK_BRIDGE_PROGRAM} in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
                           "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()

# What the copy was made from: the unsigned program and the key, by name and by the files' hashes.
file(SHA256 "${program}" origin)
string(APPEND origin
       " ${CPACK_BRIDGE_SIGN_KEY} $ENV{BRIDGE_SIGN_KEY} $ENV{BRIDGE_SIGN_TIMESTAMP_URL}")
foreach(variable BRIDGE_SIGN_PKCS12 BRIDGE_SIGN_PKCS11_MODULE BRIDGE_SIGN_CERT)
    if(NOT "$ENV{${variable}}" STREQUAL "")
        file(SHA256 "$ENV{${variable}}" hash)
        string(APPEND origin " $ENV{${variable}} ${hash}")
    endif()
endforeach()
set(copy "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/signed/${CPACK_BRIDGE_PROGRAM}")
list(GET CPACK_BRIDGE_GENERATORS 0 first)
if(CPACK_GENERATOR STREQUAL first)
    file(REMOVE "${copy}" "${copy}.origin")
elseif(EXISTS "${copy}" AND EXISTS "${copy}.origin")
    file(READ "${copy}.origin" copied_from)
    if(copied_from STREQUAL origin)
        file(COPY_FILE "${copy}" "${program}")
        message(STATUS "Signing: ${CPACK_BRIDGE_PROGRAM} as signed for the ${first} package")
        return()
    endif()
endif()

# CPack goes on to pack the staging folder even when this script fails: it is taken away first.
bridge_sign("${program}" "${CPACK_BRIDGE_PRODUCT_NAME}" "${CPACK_BRIDGE_HOMEPAGE}" error)
if(NOT error STREQUAL "")
    bridge_discard_release("${CPACK_OUTPUT_FILE_PREFIX}" "${CPACK_BRIDGE_PACKAGES}"
                           "the program: ${error}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
message(STATUS "Signing: ${CPACK_BRIDGE_PROGRAM} signed (${CPACK_BRIDGE_SIGN_KEY})")
get_filename_component(folder "${copy}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
file(COPY_FILE "${program}" "${copy}")
file(WRITE "${copy}.origin" "${origin}")
