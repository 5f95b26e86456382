# CPack reads this once for each generator: the installer is named <package>-setup.exe.
if(CPACK_GENERATOR STREQUAL "NSIS")
    string(APPEND CPACK_PACKAGE_FILE_NAME "-setup")
endif()
