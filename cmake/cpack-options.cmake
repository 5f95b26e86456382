# CPack reads this once for each generator: the installer is named <package>-setup.exe.
if(CPACK_GENERATOR STREQUAL "NSIS")
    string(APPEND CPACK_PACKAGE_FILE_NAME "-setup")
endif()
# The packages go into packages/ in the folder that CPack packages in: the build folder, or the one
# that cpack -B names.
set(CPACK_OUTPUT_FILE_PREFIX "${CPACK_PACKAGE_DIRECTORY}/packages")
# Apps & features links the home page (here, so that cpack -D CPACK_BRIDGE_HOMEPAGE=... holds too).
set(CPACK_NSIS_URL_INFO_ABOUT "${CPACK_BRIDGE_HOMEPAGE}")
include("${CPACK_BRIDGE_MODULE_DIR}/manifests.cmake")
bridge_warn_placeholders()

# Signing (cmake/signing.cmake): when the environment names a key, the program is signed before it
# is packed (package-pre-build.cmake), the uninstaller inside the installer before NSIS packs it
# (here), and the installer last (package-post-build.cmake). A key named wrongly stops the release
# before anything is packed, and takes away what an earlier build left under its names.
include("${CPACK_BRIDGE_MODULE_DIR}/signing.cmake")
bridge_signing_key(CPACK_BRIDGE_SIGN_KEY error)
# Every signature names the home page, which Windows shows in its admin prompt: not the placeholder.
if(error STREQUAL "" AND NOT CPACK_BRIDGE_SIGN_KEY STREQUAL ""
   AND CPACK_BRIDGE_HOMEPAGE STREQUAL CPACK_BRIDGE_PLACEHOLDER_HOMEPAGE)
    set(error "BRIDGE_HOMEPAGE is the placeholder ${CPACK_BRIDGE_HOMEPAGE}, which every signature \
would name: configure the build with -DBRIDGE_HOMEPAGE=<the project's home page>")
endif()
if(NOT error STREQUAL "")
    bridge_discard_release("${CPACK_OUTPUT_FILE_PREFIX}" "${CPACK_BRIDGE_PACKAGES}" "${error}")
endif()
# NSIS writes the uninstaller into a file of its own, runs this command on it (%1 its path) and
# packs what the command leaves there; a command that fails (= 0: its status must be 0) stops NSIS.
if(CPACK_GENERATOR STREQUAL "NSIS" AND NOT CPACK_BRIDGE_SIGN_KEY STREQUAL "")
    set(description "${CPACK_BRIDGE_PRODUCT_NAME} Uninstaller")
    set(script "${CPACK_BRIDGE_MODULE_DIR}/package-sign-uninstaller.cmake")
    string(APPEND CPACK_NSIS_DEFINES "\n!uninstfinalize '\"${CPACK_BRIDGE_CMAKE}\" \
\"-DUNINSTALLER=%1\" \"-DDESCRIPTION=${description}\" \"-DURL=${CPACK_BRIDGE_HOMEPAGE}\" \
\"-DFOLDER=${CPACK_OUTPUT_FILE_PREFIX}\" \"-DPACKAGES=${CPACK_BRIDGE_PACKAGES}\" \
-P \"${script}\"' = 0")
endif()
