# The Debian package (./project.sh package): the agent in /opt/quorvane (its log is written
# beside it) with /usr/sbin/Quorvane pointing there, qvreg, qvevt and qvsamba in /usr/sbin,
# both systemd units, the man pages, and the maintainer scripts beside this file.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarnwell Systems")
set(CPACK_PACKAGE_CONTACT "Tarnwell Systems <support@tarnwell.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reports which domain user is behind which IP address to an identity server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvane follows the Security log of a domain controller and reports each user logon,\nwith the user's directory groups, to a network identity server. On a Samba AD\ndomain controller qvsamba turns Samba's authentication audit log into that log.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "samba-ad-dc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Absolute destinations (/opt, /lib/systemd) go into the package as they are.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_INSTALL_PREFIX /usr)
include(CPack)
