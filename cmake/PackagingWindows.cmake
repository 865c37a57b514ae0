# The Windows program folder, the NSIS installer and a portable .zip made from it
# by CPack:
#   zentavo.exe, tacCertK.htm                  the program and the form the bundle lacks
#   Qt6Core/Gui/Widgets/Network.dll, plugins   platform, styles, .ico images, TLS backend
#   libcrypto-3-x64.dll, libssl-3-x64.dll      OpenSSL (the certificate's raw structure)
#   libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll   the mingw runtime
#   translations/qtbase_ru.qm                  Qt's own texts in Russian
#   qt.conf                                    Qt's prefix and plugins: this folder
# Everything sits beside the executable, where Windows and Qt look first.
# With ZENTAVO_SIGN_CERT and ZENTAVO_SIGN_KEY in the environment of cpack,
# zentavo.exe, the uninstaller and the installer are signed
# (scripts/sign-windows.sh).
# The Windows Installer package is made afterwards from the folder that cpack
# staged for the zip (scripts/build-msi.sh, cmake/zentavo.wxs).

install(TARGETS zentavo RUNTIME DESTINATION .)
install(FILES resources/tacCertK.htm DESTINATION .)
# Without it Qt takes the folder above Qt6Core.dll for its prefix as soon as
# that folder holds lib\libQt6Core.a, and loads plugins from its plugins\
# folder: for a zip unpacked to X:\Zentavo, whoever can write to X:\ could plant
# both. The build tree runs without it (its Qt is the dependencies' prefix).
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/install/qt.conf" "[Paths]\nPrefix = .\nPlugins = .\n")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/install/qt.conf" DESTINATION .)
install(FILES docs/user-guide.md DESTINATION doc)
install(DIRECTORY docs/img DESTINATION doc FILES_MATCHING PATTERN "*.png")

foreach(module Core Gui Widgets Network)
    install(FILES "$<TARGET_FILE:Qt6::${module}>" DESTINATION .)
endforeach()

# Plugins that the program loads: without the TLS backend QSslCertificate
# parses nothing, without qico the window has no icon.
set(ZENTAVO_QT_PLUGINS
    platforms/qwindows.dll
    styles/qwindowsvistastyle.dll
    imageformats/qico.dll
    tls/qopensslbackend.dll)
foreach(plugin IN LISTS ZENTAVO_QT_PLUGINS)
    set(file "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}/${plugin}")
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "Qt plugin missing: ${file}")
    endif()
    get_filename_component(dir "${plugin}" DIRECTORY)
    install(FILES "${file}" DESTINATION "${dir}")
endforeach()

get_filename_component(ZENTAVO_OPENSSL_BIN "${OPENSSL_CRYPTO_LIBRARY}" DIRECTORY)
get_filename_component(ZENTAVO_OPENSSL_BIN "${ZENTAVO_OPENSSL_BIN}/../bin" ABSOLUTE)
foreach(dll libcrypto-3-x64.dll libssl-3-x64.dll)
    if(NOT EXISTS "${ZENTAVO_OPENSSL_BIN}/${dll}")
        message(FATAL_ERROR "OpenSSL DLL missing: ${ZENTAVO_OPENSSL_BIN}/${dll}")
    endif()
    install(FILES "${ZENTAVO_OPENSSL_BIN}/${dll}" DESTINATION .)
endforeach()

# The compiler's own runtime, found where the compiler keeps it.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        find_file(path_${dll} ${dll} PATHS /usr/${ZENTAVO_MINGW_TRIPLET}/lib /usr/x86_64-w64-mingw32/lib
                  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        set(path "${path_${dll}}")
    endif()
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "mingw runtime DLL not found: ${dll}")
    endif()
    install(FILES "${path}" DESTINATION .)
endforeach()

# Qt's Russian texts for its standard buttons, from the Linux host's
# translations (.qm files are the same on every platform).
set(ZENTAVO_QT_TRANSLATIONS /usr/share/qt6/translations CACHE PATH "Where qtbase_ru.qm is found")
if(NOT EXISTS "${ZENTAVO_QT_TRANSLATIONS}/qtbase_ru.qm")
    message(FATAL_ERROR "qtbase_ru.qm not found in ${ZENTAVO_QT_TRANSLATIONS} (package qt6-translations-l10n)")
endif()
install(FILES "${ZENTAVO_QT_TRANSLATIONS}/qtbase_ru.qm" DESTINATION translations)

# The runtime DLLs come with their symbols (libstdc++ alone is 23 MB of them).
install(CODE "
    file(GLOB_RECURSE dlls \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\")
    foreach(dll IN LISTS dlls)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${dll}\")
    endforeach()")

# Signed last: stripping would break the signature.
install(CODE "
    if(NOT \"\$ENV{ZENTAVO_SIGN_CERT}\" STREQUAL \"\")
        execute_process(COMMAND \"${CMAKE_CURRENT_SOURCE_DIR}/scripts/sign-windows.sh\"
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/zentavo.exe\" RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR \"signing zentavo.exe failed\")
        endif()
    endif()")

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME Zentavo)
set(CPACK_PACKAGE_VENDOR Vestrak)
set(CPACK_PACKAGE_FILE_NAME "zentavo-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Zentavo)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tachograph card utility: card numbers, key certificate, PIN")
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# Our own installer script (cmake/NSIS.template.in): Unicode, Russian, and a
# choice between an install for the current user and one for all users.
list(PREPEND CMAKE_MODULE_PATH "${CMAKE_CURRENT_SOURCE_DIR}/cmake")
set(CPACK_NSIS_DISPLAY_NAME "Чтение карты тахографа")
set(CPACK_NSIS_INSTALLED_ICON_NAME zentavo.exe)
set(CPACK_NSIS_MUI_ICON "${CMAKE_CURRENT_SOURCE_DIR}/resources/Smartcard.ico")
set(CPACK_NSIS_MUI_UNIICON "${CMAKE_CURRENT_SOURCE_DIR}/resources/Smartcard.ico")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# Signing is decided when cpack runs, from its environment (cmake/CPackSigning.cmake).
set(CPACK_ZENTAVO_SIGN_SCRIPT "${CMAKE_CURRENT_SOURCE_DIR}/scripts/sign-windows.sh")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_SOURCE_DIR}/cmake/CPackSigning.cmake")

include(CPack)
