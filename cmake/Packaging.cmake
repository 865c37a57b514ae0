# Installation in the Filesystem Hierarchy Standard layout, and the Debian
# package built from it by CPack:
#   bin/zentavo                                 the program
#   share/zentavo/tacCertK.htm                  the form that the bundle lacks
#   share/applications/zentavo.desktop          the menu entry
#   share/metainfo/ru.vestrak.zentavo.metainfo.xml   the software centres' entry
#   share/icons/hicolor/NxN/apps/zentavo.png    its icon
#   share/doc/zentavo/                          the user guide
include(GNUInstallDirs)

# The printer finds templates at <exe dir>/../share/zentavo: keep the two
# directories siblings.
if(NOT CMAKE_INSTALL_BINDIR STREQUAL "bin" OR NOT CMAKE_INSTALL_DATADIR STREQUAL "share")
    message(WARNING "The program looks for its forms in ../share/zentavo beside its own directory; "
                    "CMAKE_INSTALL_BINDIR=${CMAKE_INSTALL_BINDIR} and CMAKE_INSTALL_DATADIR="
                    "${CMAKE_INSTALL_DATADIR} break that: the control card form will not be found.")
endif()

install(TARGETS zentavo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/tacCertK.htm DESTINATION ${CMAKE_INSTALL_DATADIR}/zentavo)
install(FILES resources/zentavo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# AppStream: its launchable names the desktop entry above.
install(FILES resources/zentavo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME ru.vestrak.zentavo.metainfo.xml)

# resources/icons/zentavo-N.png are the frames of resources/Smartcard.ico
# (16, 24, 32, 48, 256), the other sizes scaled down from the 256 one:
#   convert 'resources/Smartcard.ico[0]' -filter Lanczos -resize NxN -strip zentavo-N.png
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES resources/icons/zentavo-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME zentavo.png)
endforeach()

install(FILES docs/user-guide.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zentavo)
install(DIRECTORY docs/img DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zentavo FILES_MATCHING PATTERN "*.png")

set(ZENTAVO_PACKAGE_CONTACT "Vestrak <zentavo@vestrak.invalid>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentavo)
set(CPACK_PACKAGE_VENDOR Vestrak)
set(CPACK_PACKAGE_CONTACT "${ZENTAVO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tachograph card utility: card numbers, key certificate, PIN")
set(CPACK_PACKAGE_DESCRIPTION
    "Zentavo reads a Russian digital tachograph card through a PC/SC smart-card reader:\n"
    "the card type, the card number and the number of its cryptographic module (SKZI),\n"
    "and the card's X.509 certificate, which it saves or prints on the certificate form.\n"
    "It verifies the PIN, unblocks it with the PUK, and shows every command sent to the\n"
    "card in a trace log.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library packages come from dpkg-shlibdeps on the built program. Without the
# PC/SC service the program sees no reader; apt installs recommended packages
# by default, and the service brings the CCID reader driver. Qt's own
# translations make its standard buttons Russian on a Russian system; without
# them they read in English.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pcscd, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pcsc-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
