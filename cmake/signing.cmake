# Authenticode signing of the release packages' programs, with SHA-256, by osslsigncode. The release
# is signed when the environment of the packaging names a key, and only then:
#   BRIDGE_SIGN_PKCS12         a PKCS#12 file holding the key and its certificate chain,
#   BRIDGE_SIGN_PASSWORD       its password;
# or, for a key on a hardware token or in a cloud HSM:
#   BRIDGE_SIGN_PKCS11_MODULE  the PKCS#11 module (a .so file) that reaches the token,
#   BRIDGE_SIGN_KEY            the key's PKCS#11 URI (pkcs11:token=...;object=...),
#   BRIDGE_SIGN_CERT           the certificate chain, PEM, the signing certificate first,
#   BRIDGE_SIGN_PASSWORD       the token's PIN, when the module asks for one;
# and with either:
#   BRIDGE_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server, whose timestamp keeps the signature
#                              valid after the certificate expires.
# The package scripts include this file for its functions. NSIS's !uninstfinalize runs
# package-sign-uninstaller.cmake, which includes it too.
cmake_policy(VERSION 3.25)

set(BRIDGE_SIGN_VARIABLES BRIDGE_SIGN_PKCS12 BRIDGE_SIGN_PASSWORD BRIDGE_SIGN_PKCS11_MODULE
                          BRIDGE_SIGN_KEY BRIDGE_SIGN_CERT BRIDGE_SIGN_TIMESTAMP_URL)

# Sets <out> to pkcs12, pkcs11, or "" when nothing asks for a signature; or, when the variables
# name no key whole, or two keys, or files that do not exist, sets <error> to what is wrong.
function(bridge_signing_key out error)
    set(${out} "" PARENT_SCOPE)
    set(${error} "" PARENT_SCOPE)
    set(pkcs11 BRIDGE_SIGN_PKCS11_MODULE BRIDGE_SIGN_KEY BRIDGE_SIGN_CERT)
    set(named "")
    foreach(variable IN LISTS BRIDGE_SIGN_VARIABLES)
        if(NOT "$ENV{${variable}}" STREQUAL "")
            list(APPEND named ${variable})
        endif()
    endforeach()
    if(named STREQUAL "")
        return()
    endif()
    set(pkcs11_named "")
    foreach(variable IN LISTS pkcs11)
        if(variable IN_LIST named)
            list(APPEND pkcs11_named ${variable})
        endif()
    endforeach()
    if("BRIDGE_SIGN_PKCS12" IN_LIST named AND pkcs11_named)
        set(${error} "both a PKCS#12 file (BRIDGE_SIGN_PKCS12) and a PKCS#11 key (${pkcs11_named}) \
are named: name one" PARENT_SCOPE)
        return()
    endif()
    if("BRIDGE_SIGN_PKCS12" IN_LIST named)
        set(kind pkcs12)
        set(files BRIDGE_SIGN_PKCS12)
    elseif(pkcs11_named)
        set(kind pkcs11)
        set(files BRIDGE_SIGN_PKCS11_MODULE BRIDGE_SIGN_CERT)
        foreach(variable IN LISTS pkcs11)
            if(NOT variable IN_LIST named)
                set(${error} "a PKCS#11 key needs BRIDGE_SIGN_PKCS11_MODULE, BRIDGE_SIGN_KEY and \
BRIDGE_SIGN_CERT; ${variable} is not set" PARENT_SCOPE)
                return()
            endif()
        endforeach()
    else()
        set(${error} "${named} set, but no key: set BRIDGE_SIGN_PKCS12 (a PKCS#12 file), or \
BRIDGE_SIGN_PKCS11_MODULE, BRIDGE_SIGN_KEY and BRIDGE_SIGN_CERT (a key on a token)" PARENT_SCOPE)
        return()
    endif()
    foreach(variable IN LISTS files)
        if(NOT EXISTS "$ENV{${variable}}" OR IS_DIRECTORY "$ENV{${variable}}")
            set(${error} "${variable}: no file $ENV{${variable}}" PARENT_SCOPE)
            return()
        endif()
    endforeach()
    find_program(BRIDGE_OSSLSIGNCODE osslsigncode)
    if(NOT BRIDGE_OSSLSIGNCODE)
        set(${error} "signing needs osslsigncode (the Debian package osslsigncode; \
tools/setup.sh installs it)" PARENT_SCOPE)
        return()
    endif()
    set(${out} ${kind} PARENT_SCOPE)
endfunction()

# Signs <file> in place with the key that the environment names: an Authenticode signature over
# SHA-256 that names <description> and <url> (Windows shows them in its admin prompt), with an RFC
# 3161 timestamp when BRIDGE_SIGN_TIMESTAMP_URL is set. Leaves <file> as it was and sets <error>
# when osslsigncode fails; sets it to "" otherwise.
function(bridge_sign file description url error)
    bridge_signing_key(kind key_error)
    if(NOT key_error STREQUAL "")
        set(${error} "${key_error}" PARENT_SCOPE)
        return()
    endif()
    get_filename_component(name "${file}" NAME)
    if(kind STREQUAL "")
        set(${error} "no key is named to sign ${name} with" PARENT_SCOPE)
        return()
    endif()
    # Each value is one argument, semicolons and all (a PKCS#11 URI has them): escaped in the list.
    foreach(variable IN LISTS BRIDGE_SIGN_VARIABLES)
        string(REPLACE ";" "\\;" ${variable} "$ENV{${variable}}")
    endforeach()
    string(REPLACE ";" "\\;" description "${description}")
    string(REPLACE ";" "\\;" url "${url}")
    set(arguments sign -h sha256 -n "${description}" -i "${url}")
    if(kind STREQUAL "pkcs12")
        list(APPEND arguments -pkcs12 "${BRIDGE_SIGN_PKCS12}")
    else()
        list(APPEND arguments -pkcs11module "${BRIDGE_SIGN_PKCS11_MODULE}"
                              -key "${BRIDGE_SIGN_KEY}" -certs "${BRIDGE_SIGN_CERT}")
    endif()
    if(NOT BRIDGE_SIGN_TIMESTAMP_URL STREQUAL "")
        list(APPEND arguments -ts "${BRIDGE_SIGN_TIMESTAMP_URL}")
    endif()
    # The password goes to osslsigncode in a file that only its owner may read, in a folder that
    # only its owner may open, rather than on its command line, which every user of the machine
    # can see.
    set(secret "${file}.password")
    file(REMOVE_RECURSE "${secret}")
    if(NOT "$ENV{BRIDGE_SIGN_PASSWORD}" STREQUAL "")
        file(MAKE_DIRECTORY "${secret}")
        file(CHMOD "${secret}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
        file(TOUCH "${secret}/password")
        file(CHMOD "${secret}/password" PERMISSIONS OWNER_READ OWNER_WRITE)
        file(WRITE "${secret}/password" "$ENV{BRIDGE_SIGN_PASSWORD}")
        list(APPEND arguments -readpass "${secret}/password")
    endif()
    set(signed "${file}.signed")
    file(REMOVE "${signed}")
    execute_process(COMMAND "${BRIDGE_OSSLSIGNCODE}" ${arguments} -in "${file}" -out "${signed}"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    file(REMOVE_RECURSE "${secret}")
    if(NOT result EQUAL 0 OR NOT EXISTS "${signed}")
        file(REMOVE "${signed}")
        string(STRIP "${output}" output)
        set(${error} "osslsigncode could not sign ${name} (${result}):\n${output}" PARENT_SCOPE)
        return()
    endif()
    file(RENAME "${signed}" "${file}")
    set(${error} "" PARENT_SCOPE)
endfunction()

# After a failed signature: removes this release's packages, SHA256SUMS and manifests from
# <folder>, the packages' output folder, so that no unsigned file, nor one left by an earlier build,
# is found under the release's names, and whatever else is named after <message> (what CPack would
# pack next); then stops with <message>.
function(bridge_discard_release folder packages message)
    foreach(package IN LISTS packages)
        file(REMOVE "${folder}/${package}")
    endforeach()
    foreach(path IN LISTS ARGN)
        file(REMOVE_RECURSE "${path}")
    endforeach()
    file(REMOVE "${folder}/SHA256SUMS")
    file(REMOVE_RECURSE "${folder}/manifests")
    message(FATAL_ERROR "Signing the release failed, and it has no packages: ${message}")
endfunction()
