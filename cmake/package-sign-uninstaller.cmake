# NSIS's !uninstfinalize runs this on the uninstaller that it has just written, before it packs it
# into the installer (cpack-options.cmake): cmake -DUNINSTALLER=FILE -DDESCRIPTION=TEXT -DURL=URL
# -DFOLDER=PACKAGES_FOLDER -DPACKAGES=NAMES -P package-sign-uninstaller.cmake. It signs the file in
# place with the key that the environment names (signing.cmake). When that fails, it takes the
# release's packages away and ends with an error, and so NSIS stops.
cmake_policy(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/signing.cmake")
bridge_sign("${UNINSTALLER}" "${DESCRIPTION}" "${URL}" error)
if(NOT error STREQUAL "")
    bridge_discard_release("${FOLDER}" "${PACKAGES}" "the uninstaller: ${error}")
endif()
