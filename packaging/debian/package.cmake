# The Debian package (./project.sh package, configured with -DQV_DEBIAN_PACKAGE=ON): the agent,
# qvreg, qvevt and qvsamba in /usr/sbin (root's, which the service's account cannot write),
# both systemd units, the man pages, the copyright and the changelog, and the maintainer
# scripts beside this file. The agent logs to /var/log/quorvane (QV_PACKAGE_LOG_FOLDER), which
# setup gives to the service's account. Binaries are stripped; their debug symbols go into the
# -dbgsym package beside it.
set(QV_PACKAGE_RELEASE 1 CACHE STRING "The Debian revision of the package")

install(TARGETS Quorvane qvreg qvevt qvsamba DESTINATION /usr/sbin)
install(FILES packaging/systemd/quorvane.service packaging/systemd/qvsamba.service DESTINATION /lib/systemd/system)

# Man pages and the changelog are compressed as Debian wants them: gzip -9, no name or time.
set(QV_PACKAGE_DOCS ${CMAKE_BINARY_DIR}/package-docs)
set(QV_COMPRESSED)
configure_file(packaging/debian/changelog ${QV_PACKAGE_DOCS}/changelog.Debian @ONLY)
foreach(page Quorvane qvreg qvevt qvsamba)
  list(APPEND QV_COMPRESSED ${CMAKE_SOURCE_DIR}/packaging/man/${page}.8)
endforeach()
list(APPEND QV_COMPRESSED ${QV_PACKAGE_DOCS}/changelog.Debian)
set(QV_MAN_PAGES)
foreach(source ${QV_COMPRESSED})
  get_filename_component(name ${source} NAME)
  set(compressed ${QV_PACKAGE_DOCS}/${name}.gz)
  add_custom_command(OUTPUT ${compressed} COMMAND gzip -9n -c ${source} > ${compressed} DEPENDS ${source})
  if(name MATCHES "\\.8$")
    list(APPEND QV_MAN_PAGES ${compressed})
  endif()
  list(APPEND QV_COMPRESSED_OUTPUTS ${compressed})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${QV_COMPRESSED_OUTPUTS})
install(FILES ${QV_MAN_PAGES} DESTINATION /usr/share/man/man8)
install(FILES packaging/debian/copyright ${QV_PACKAGE_DOCS}/changelog.Debian.gz DESTINATION /usr/share/doc/quorvane)
# Each override says why beside it.
install(FILES packaging/debian/lintian-overrides DESTINATION /usr/share/lintian/overrides RENAME quorvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarnwell Systems")
set(CPACK_PACKAGE_CONTACT "Tarnwell Systems <support@tarnwell.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reports which domain user is behind which IP address to an identity server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvane follows the Security log of a domain controller and reports each user\nlogon, with the user's directory groups, to a network identity server. On a\nSamba AD domain controller qvsamba turns Samba's authentication audit log into\nthat log.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QV_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link come from dpkg-shlibdeps; what is loaded at run time is
# named here: the SASL mechanism of the default directory bind (GSSAPI, Kerberos), and the
# accounts tools of the setup script. The trust store checks the directory's and the identity
# server's certificates.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, libsasl2-modules-gssapi-mit | libsasl2-modules-gssapi-heimdal")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "samba-ad-dc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The programs go in stripped; their debug symbols into quorvane-dbgsym (a .ddeb beside it).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# Absolute destinations (/usr/sbin, /lib/systemd) go into the package as they are.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_INSTALL_PREFIX /usr)
include(CPack)
