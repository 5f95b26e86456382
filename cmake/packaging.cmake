# Release packages of the Windows program, made by CPack (the package target, cpack --preset
# windows, or the release workflow): a portable zip and an installer, and a zip of the program's
# debug information, with SHA256SUMS beside them in the build folder's packages/, and the manifests
# for winget and Scoop in packages/manifests/. Signed when the environment names a key.
set(BRIDGE_PACKAGE_NAME "QuillfenAutoguiderBridge-${PROJECT_VERSION}-win64")

# The zip holds the program and its texts, side by side, under names that Windows opens as text.
install(TARGETS autoguider-bridge RUNTIME DESTINATION .)
install(FILES README.md DESTINATION . RENAME README.txt)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES CHANGELOG.md DESTINATION . RENAME CHANGELOG.txt)

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME "${BRIDGE_PRODUCT_NAME}")
set(CPACK_PACKAGE_VENDOR "${BRIDGE_PUBLISHER}")
set(CPACK_PACKAGE_FILE_NAME "${BRIDGE_PACKAGE_NAME}")
set(CPACK_OUTPUT_FILE_PREFIX packages)
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${BRIDGE_PRODUCT_NAME}")
# One registry key for every version, so that a new version replaces the old one in Apps & features.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "QuillfenAutoguiderBridge")
set(CPACK_THREADS 1)
set(CPACK_ARCHIVE_THREADS 1)

# The installer: a 64-bit installer into Program Files, a Start-menu folder with the program and the
# uninstaller, and an entry in Apps & features. It keeps no file dates: CPack writes one of the files
# it packs anew each time, so its date would make every installer different. CPack's template does
# the rest, with cmake/installer.nsh in its hooks: an installed copy of any version is removed
# first, an upgrade without /D goes into the installed copy's folder, the uninstall key gets the
# values that Windows' own entries carry, and the uninstaller takes the publisher's key away too.
set(vendor_key "Software\\${BRIDGE_PUBLISHER}")
string(JOIN "\n" CPACK_NSIS_DEFINES "Target amd64-unicode" "SetDateSave off"
       "!define BRIDGE_UNINSTALL_KEY \"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\\
${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}\""
       "!define BRIDGE_VENDOR_KEY \"${vendor_key}\""
       "!define BRIDGE_INSTALL_KEY \"${vendor_key}\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}\""
       "!include \"${CMAKE_CURRENT_LIST_DIR}/installer.nsh\"")
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "!insertmacro BridgeRemoveInstalledCopy")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "!insertmacro BridgeCompleteUninstallKey")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "!insertmacro BridgeRemoveVendorKey")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME "${BRIDGE_PRODUCT_NAME}")
set(CPACK_NSIS_DISPLAY_NAME "${BRIDGE_PRODUCT_NAME}")
set(CPACK_NSIS_MENU_LINKS "autoguider-bridge.exe" "${BRIDGE_PRODUCT_NAME}")
# Apps & features shows the exe's first icon (DisplayIcon); the installer and the uninstaller
# carry the same icon.
set(CPACK_NSIS_INSTALLED_ICON_NAME "autoguider-bridge.exe")
set(CPACK_NSIS_MUI_ICON "${CMAKE_SOURCE_DIR}/resources/icon/bridge.ico")
set(CPACK_NSIS_MUI_UNIICON "${CMAKE_SOURCE_DIR}/resources/icon/bridge.ico")
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)

# Per generator: the installer's name ends in -setup.exe. After each package: the zip's file dates
# and owners are made the same for every build of a commit, and the hash goes into SHA256SUMS.
# With the zip comes the debug zip: the program's debug information, to unpack beside the program.
# Last comes the list of the tools that made the release, and their versions.
set(CPACK_BRIDGE_PACKAGES "${BRIDGE_PACKAGE_NAME}.zip" "${BRIDGE_PACKAGE_NAME}-setup.exe"
                          "${BRIDGE_PACKAGE_NAME}-debug.zip" "${BRIDGE_PACKAGE_NAME}-tools.txt")
set(CPACK_BRIDGE_PACKAGE_NAME "${BRIDGE_PACKAGE_NAME}")
set(CPACK_BRIDGE_PROGRAM "autoguider-bridge.exe")
set(CPACK_BRIDGE_DEBUG_FILE "${CMAKE_BINARY_DIR}/autoguider-bridge.exe.debug")
set(CPACK_BRIDGE_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
set(CPACK_BRIDGE_MODULE_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(CPACK_BRIDGE_CMAKE "${CMAKE_COMMAND}")
set(CPACK_BRIDGE_GENERATORS ${CPACK_GENERATOR})
set(CPACK_BRIDGE_COMPILER "${CMAKE_CXX_COMPILER}")
set(CPACK_BRIDGE_LINKER "${CMAKE_LINKER}")
# What the signatures and the manifests for winget and Scoop say of the program.
set(CPACK_BRIDGE_PRODUCT_NAME "${BRIDGE_PRODUCT_NAME}")
set(CPACK_BRIDGE_PUBLISHER "${BRIDGE_PUBLISHER}")
set(CPACK_BRIDGE_HOMEPAGE "${BRIDGE_HOMEPAGE}")
set(CPACK_BRIDGE_PLACEHOLDER_HOMEPAGE "${BRIDGE_PLACEHOLDER_HOMEPAGE}")
set(CPACK_BRIDGE_SUMMARY "${BRIDGE_SUMMARY}")
set(CPACK_BRIDGE_DESCRIPTION "${BRIDGE_DESCRIPTION}")
# Signing, when the environment names a key (cmake/signing.cmake): the program before it is packed,
# the uninstaller in the installer before NSIS packs it, the installer after it is made.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/package-pre-build.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/package-post-build.cmake")
include(CPack)
