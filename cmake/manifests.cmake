# The manifests by which winget and Scoop install a release, written by package-post-build.cmake
# into the packages' folder, manifests/, with the hashes of the packages as shipped (signed or not):
#   winget/  the three files of a winget-pkgs manifest (version, installer, defaultLocale) for the
#            installer: a Nullsoft installer for the machine, silent with /S, whose uninstall key,
#            its ProductCode, is CPack's registry key;
#   scoop/   a Scoop manifest for the portable zip, with the program on the PATH and in the Start
#            menu.
# The packages' address is BRIDGE_RELEASE_URL from the environment (the folder that holds them, as
# the maintainer publishes it), or a placeholder under the home page when that is not set.
cmake_policy(VERSION 3.25)
set(BRIDGE_WINGET_ID "Quillfen.AutoguiderBridge")
set(BRIDGE_WINGET_MANIFEST_VERSION "1.6.0")
set(BRIDGE_SCOOP_NAME "quillfen-autoguider-bridge")

# <out> is <text> in double quotes, as YAML and JSON both read it.
function(bridge_quote out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# Writes the winget manifest when <installer_hash> is given, the Scoop manifest when <zip_hash> is;
# the other is left as it is.
function(bridge_write_manifests folder zip_hash installer_hash)
    set(version "${CPACK_PACKAGE_VERSION}")
    set(url "$ENV{BRIDGE_RELEASE_URL}")
    if(url STREQUAL "")
        set(url "${CPACK_BRIDGE_HOMEPAGE}/releases/download/v${version}")
        set(placeholder TRUE)
    endif()
    string(REGEX REPLACE "/+$" "" url "${url}")
    bridge_quote(publisher "${CPACK_BRIDGE_PUBLISHER}")
    bridge_quote(product "${CPACK_BRIDGE_PRODUCT_NAME}")
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
        file(WRITE "${winget}/${BRIDGE_WINGET_ID}.yaml"
             "${head}\n${id_lines}DefaultLocale: en-US\nManifestType: version\n${tail}")
        bridge_quote(installer_url "${url}/${CPACK_BRIDGE_PACKAGE_NAME}-setup.exe")
        file(WRITE "${winget}/${BRIDGE_WINGET_ID}.installer.yaml" "${head}
${id_lines}InstallerType: nullsoft
Scope: machine
InstallerSwitches:
  Silent: /S
  SilentWithProgress: /S
UpgradeBehavior: install
ProductCode: ${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}
AppsAndFeaturesEntries:
- DisplayName: ${product}
  Publisher: ${publisher}
  DisplayVersion: ${quoted_version}
  ProductCode: ${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}
Installers:
- Architecture: x64
  InstallerUrl: ${installer_url}
  InstallerSha256: ${installer_hash}
ManifestType: installer
${tail}")
        file(WRITE "${winget}/${BRIDGE_WINGET_ID}.locale.en-US.yaml" "${head}
${id_lines}PackageLocale: en-US
Publisher: ${publisher}
PackageName: ${product}
PackageUrl: ${homepage}
License: MIT
ShortDescription: ${description}
ManifestType: defaultLocale
${tail}")
    endif()

    if(NOT zip_hash STREQUAL "")
        set(scoop "${folder}/manifests/scoop")
        file(MAKE_DIRECTORY "${scoop}")
        bridge_quote(zip_url "${url}/${CPACK_BRIDGE_PACKAGE_NAME}.zip")
        bridge_quote(program "${CPACK_BRIDGE_PROGRAM}")
        file(WRITE "${scoop}/${BRIDGE_SCOOP_NAME}.json" "{
    \"version\": ${quoted_version},
    \"description\": ${description},
    \"homepage\": ${homepage},
    \"license\": \"MIT\",
    \"url\": ${zip_url},
    \"hash\": \"${zip_hash}\",
    \"extract_dir\": \"${CPACK_BRIDGE_PACKAGE_NAME}\",
    \"bin\": ${program},
    \"shortcuts\": [
        [
            ${program},
            ${product}
        ]
    ]
}
")
    endif()
    if(placeholder AND NOT installer_hash STREQUAL "")
        message(STATUS "Manifests: BRIDGE_RELEASE_URL is not set; they point at ${url}")
    endif()
endfunction()
