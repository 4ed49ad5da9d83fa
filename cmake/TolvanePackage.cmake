# Install rules and the Debian package (CPack). A package is built from a tree configured
# with -DCMAKE_INSTALL_PREFIX=/usr, so that /etc holds the start-up scripts and the paths
# written into them are those the package installs.
include(GNUInstallDirs)

set(TOLVANE_WWW_DIR ${CMAKE_INSTALL_FULL_DATADIR}/tolvane/www)
set(etc ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(gen ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS tolvane mcu-probe vantrel-ip snmp-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(service tolvane vantrel-ip)
    configure_file(packaging/${service}.init.in ${gen}/${service} @ONLY)
    install(PROGRAMS ${gen}/${service} DESTINATION ${etc}/init.d)
    configure_file(packaging/${service}.service.in ${gen}/${service}.service @ONLY)
    install(FILES ${gen}/${service}.service DESTINATION lib/systemd/system)
endforeach()

# SNMP: the MIB module where net-snmp looks for MIBs, the snmpd.conf lines as documentation.
install(FILES snmp_agent/TOLVANE-MIB.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp/mibs)
file(GLOB snmpd_snippets tools/snmp-relay/snmpd.conf*)
install(FILES ${snmpd_snippets} tools/snmp-relay/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/snmp-relay)

# The web page, served on port 80 by lighttpd (or busybox httpd) with its own configuration.
if(EXISTS ${PROJECT_SOURCE_DIR}/web)
    install(DIRECTORY web/ DESTINATION ${TOLVANE_WWW_DIR})
endif()
configure_file(packaging/lighttpd.conf.in ${gen}/lighttpd.conf @ONLY)
install(FILES ${gen}/lighttpd.conf DESTINATION ${etc}/tolvane)

# --- Debian package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "Tolvane")
set(CPACK_PACKAGE_CONTACT "Tolvane developers <tolvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Networked GPIO and RS-232 extender: device program and tools")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "snmpd, lighttpd | busybox")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

file(WRITE ${gen}/conffiles "${etc}/init.d/tolvane\n${etc}/init.d/vantrel-ip\n${etc}/tolvane/lighttpd.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${gen}/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)

if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps needs the libraries' packages installed for the target architecture,
    # which the sysroot deliberately avoids: the list is written out here and
    # scripts/check-deb.py checks it against the libraries the binaries name.
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libqt5core5a (>= 5.15.1), libqt5network5 (>= 5.0.2), libqt5serialport5 (>= 5.6.0), libqt5websockets5 (>= 5.15.1), libstdc++6 (>= 5)")
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
