# Read by cpack for each package: with ZENTAVO_SIGN_CERT in its environment,
# makensis signs the uninstaller it builds and the installer it writes
# (scripts/sign-windows.sh; a failed signature fails the package).
if(NOT "$ENV{ZENTAVO_SIGN_CERT}" STREQUAL "")
    set(CPACK_ZENTAVO_NSIS_SIGN
        "!uninstfinalize '\"${CPACK_ZENTAVO_SIGN_SCRIPT}\" \"%1\"' = 0\n!finalize '\"${CPACK_ZENTAVO_SIGN_SCRIPT}\" \"%1\"' = 0")
else()
    set(CPACK_ZENTAVO_NSIS_SIGN "; not signed")
endif()
