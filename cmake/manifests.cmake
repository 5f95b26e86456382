# The manifests by which winget and Scoop install a release, written by package-post-build.cmake
# into the packages' folder, manifests/, with the hashes of the packages as shipped (signed or not):
#   winget/  the three files of a winget-pkgs manifest (version, installer, defaultLocale) for the
#            installer: a Nullsoft installer for the machine that asks for administrator rights
#            itself, silent with Nullsoft's own /S, whose uninstall key, its ProductCode, is
#            CPack's registry key. Only what differs from winget's defaults is written;
#   scoop/   a Scoop manifest for the portable zip, 64-bit only, with the program in the Start menu,
#            and checkver and autoupdate, by which Scoop finds later versions: the address of the
#            packages with the version in it taken out.
# The packages' address is BRIDGE_RELEASE_URL from the environment (the folder that holds them, as
# the maintainer publishes it), or a placeholder under the home page when that is not set.
cmake_policy(VERSION 3.25)
set(BRIDGE_WINGET_ID "Quillfen.AutoguiderBridge")
set(BRIDGE_WINGET_MANIFEST_VERSION "1.12.0")
set(BRIDGE_SCOOP_NAME "quillfen-autoguider-bridge")

# <out> is <text> in double quotes, as YAML and JSON both read it.
function(bridge_quote out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# <out> is the address of the folder that holds this release's packages, without a trailing slash;
# <placeholder> is TRUE when BRIDGE_RELEASE_URL does not name it, and <out> is the placeholder.
function(bridge_release_url out placeholder)
    set(url "$ENV{BRIDGE_RELEASE_URL}")
    set(${placeholder} FALSE PARENT_SCOPE)
    if(url STREQUAL "")
        set(url "${CPACK_BRIDGE_HOMEPAGE}/releases/download/v${CPACK_PACKAGE_VERSION}")
        set(${placeholder} TRUE PARENT_SCOPE)
    endif()
    string(REGEX REPLACE "/+$" "" url "${url}")
    set(${out} "${url}" PARENT_SCOPE)
endfunction()

# Warns, once in a run of CPack, when the release names a placeholder: the home page (that
# BRIDGE_HOMEPAGE keeps by default) or the download address (BRIDGE_RELEASE_URL unset).
function(bridge_warn_placeholders)
    get_property(warned GLOBAL PROPERTY BRIDGE_PLACEHOLDERS_WARNED)
    if(warned)
        return()
    endif()
    set_property(GLOBAL PROPERTY BRIDGE_PLACEHOLDERS_WARNED TRUE)
    bridge_release_url(url placeholder)
    set(text "")
    if(CPACK_BRIDGE_HOMEPAGE STREQUAL CPACK_BRIDGE_PLACEHOLDER_HOMEPAGE)
        string(APPEND text "\nThe home page, BRIDGE_HOMEPAGE, is the placeholder \
${CPACK_BRIDGE_HOMEPAGE} (named by the installer and the manifests): configure the build with \
-DBRIDGE_HOMEPAGE=<the project's home page>.")
    endif()
    if(placeholder)
        string(APPEND text "\nBRIDGE_RELEASE_URL is not set, so the manifests download the \
packages from ${url}: set BRIDGE_RELEASE_URL in the environment of the packaging to the address of \
the folder where the packages will be published.")
    endif()
    if(NOT text STREQUAL "")
        message(WARNING "This release names placeholder addresses; do not publish it as it is.\
${text}")
    endif()
endfunction()

# Writes the winget manifest when <installer_hash> is given, the Scoop manifest when <zip_hash> is;
# the other is left as it is.
function(bridge_write_manifests folder zip_hash installer_hash)
    set(version "${CPACK_PACKAGE_VERSION}")
    bridge_release_url(url placeholder)
    bridge_quote(publisher "${CPACK_BRIDGE_PUBLISHER}")
    bridge_quote(product "${CPACK_BRIDGE_PRODUCT_NAME}")
    bridge_quote(summary "${CPACK_BRIDGE_SUMMARY}")
    bridge_quote(description "${CPACK_BRIDGE_DESCRIPTION}")
    bridge_quote(homepage "${CPACK_BRIDGE_HOMEPAGE}")
    bridge_quote(quoted_version "${version}")
    set(head "# Made by the build of ${CPACK_BRIDGE_PRODUCT_NAME} ${version} \
(cmake/manifests.cmake).")
    set(id_lines "PackageIdentifier: ${BRIDGE_WINGET_ID}\nPackageVersion: ${quoted_version}\n")
    set(tail "ManifestVersion: ${BRIDGE_WINGET_MANIFEST_VERSION}\n")

    if(NOT installer_hash STREQUAL "")
        string(TOUPPER "${installer_hash}" installer_hash)
        set(winget "${folder}/manifests/winget")
        file(MAKE_DIRECTORY "${winget}")
        # Each file starts with the schema of its type, which editors and winget-pkgs' checks read.
        foreach(type version installer defaultLocale)
            set(schema_${type} "# yaml-language-server: $schema=https://aka.ms/winget-manifest.\
${type}.${BRIDGE_WINGET_MANIFEST_VERSION}.schema.json\n${head}")
        endforeach()
        file(WRITE "${winget}/${BRIDGE_WINGET_ID}.yaml"
             "${schema_version}\n${id_lines}DefaultLocale: en-US\nManifestType: version\n${tail}")
        bridge_quote(installer_url "${url}/${CPACK_BRIDGE_PACKAGE_NAME}-setup.exe")
        file(WRITE "${winget}/${BRIDGE_WINGET_ID}.installer.yaml" "${schema_installer}
${id_lines}InstallerType: nullsoft
Scope: machine
ElevationRequirement: elevatesSelf
UpgradeBehavior: install
ProductCode: ${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}
Installers:
- Architecture: x64
  InstallerUrl: ${installer_url}
  InstallerSha256: ${installer_hash}
ManifestType: installer
${tail}")
        file(WRITE "${winget}/${BRIDGE_WINGET_ID}.locale.en-US.yaml" "${schema_defaultLocale}
${id_lines}PackageLocale: en-US
Publisher: ${publisher}
PackageName: ${product}
PackageUrl: ${homepage}
License: MIT
ShortDescription: ${summary}
Description: ${description}
ManifestType: defaultLocale
${tail}")
    endif()

    if(NOT zip_hash STREQUAL "")
        set(scoop "${folder}/manifests/scoop")
        file(MAKE_DIRECTORY "${scoop}")
        set(zip "${CPACK_BRIDGE_PACKAGE_NAME}.zip")
        bridge_quote(zip_url "${url}/${zip}")
        bridge_quote(program "${CPACK_BRIDGE_PROGRAM}")
        bridge_quote(extract_dir "${CPACK_BRIDGE_PACKAGE_NAME}")
        # The same addresses for any version: $version where this one's version stands. Scoop takes
        # the new zip's hash from the SHA256SUMS beside it.
        string(REPLACE "${version}" "$version" later_zip_url "${zip_url}")
        string(REPLACE "${version}" "$version" later_extract_dir "${extract_dir}")
        # The latest version: on GitHub, its latest release; elsewhere, the name of the zip on the
        # home page, which is to link the latest.
        if(url MATCHES "^(https://github\\.com/[^/]+/[^/]+)/releases/download/")
            bridge_quote(repository "${CMAKE_MATCH_1}")
            set(checkver "\"github\": ${repository}")
        else()
            string(REPLACE "${version}" "@version@" zip_pattern "${zip}")
            string(REPLACE "." "\\." zip_pattern "${zip_pattern}")
            string(REPLACE "@version@" "([\\d.]+)" zip_pattern "${zip_pattern}")
            bridge_quote(zip_pattern "${zip_pattern}")
            set(checkver "\"url\": ${homepage},\n        \"regex\": ${zip_pattern}")
        endif()
        file(WRITE "${scoop}/${BRIDGE_SCOOP_NAME}.json" "{
    \"version\": ${quoted_version},
    \"description\": ${summary},
    \"homepage\": ${homepage},
    \"license\": \"MIT\",
    \"architecture\": {
        \"64bit\": {
            \"url\": ${zip_url},
            \"hash\": \"${zip_hash}\"
        }
    },
    \"extract_dir\": ${extract_dir},
    \"shortcuts\": [
        [
            ${program},
            ${product}
        ]
    ],
    \"checkver\": {
        ${checkver}
    },
    \"autoupdate\": {
        \"architecture\": {
            \"64bit\": {
                \"url\": ${later_zip_url},
                \"hash\": {
                    \"url\": \"$baseurl/SHA256SUMS\"
                }
            }
        },
        \"extract_dir\": ${later_extract_dir}
    }
}
")
    endif()
endfunction()
