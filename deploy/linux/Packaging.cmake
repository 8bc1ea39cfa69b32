# Debian packages, one per install component, written by `cpack` (scripts/package.sh):
#   velmo-remote      (component "app", every install rule without a component): the
#                     application, its agent, desktop entry, icon, AppStream metainfo,
#                     uninstaller, manual page;
#   velmo-rendezvous  (component "server"): the server, its systemd system unit, a sample
#                     coturn configuration, manual page.
# Shared-library dependencies are computed by dpkg-shlibdeps; what is loaded at run time
# (GStreamer and Qt plug-ins) is listed by hand.
#
# lintian reports no error or warning. What it still says at the "info" level, and why it stays:
#   binary-has-unneeded-section .comment: left by cmake's strip; harmless.
#   package-supports-alternative-init-but-no-init.d-script: the server is a systemd service
#     only (it needs DynamicUser= and StateDirectory=).

set(VELMO_DOC_APP ${CMAKE_INSTALL_DATADIR}/doc/velmo-remote)
set(VELMO_DOC_SERVER ${CMAKE_INSTALL_DATADIR}/doc/velmo-rendezvous)

# ---- files only the packages (and installs) need

install(FILES ${CMAKE_CURRENT_LIST_DIR}/com.tarnwick.VelmoRemote.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/velmo-remote.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT app)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/velmo-rendezvous.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT server)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/rendezvous/turnserver.conf DESTINATION ${VELMO_DOC_SERVER}/examples
        COMPONENT server)

# Made at install time so that ExecStart names the prefix being installed to (cpack installs
# with /usr whatever the build tree was configured with). Debian 12 keeps system units in
# /lib/systemd/system. Only installs of the component (cpack, `cmake --install build
# --component server`) place it: a plain `cmake --install --prefix ~/.local` must not write
# outside its prefix.
set(VELMO_UNIT_OUT ${PROJECT_BINARY_DIR}/deploy/velmo-rendezvous.service)
install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/rendezvous/velmo-rendezvous.service.in\" \"${VELMO_UNIT_OUT}\" @ONLY)
" COMPONENT server EXCLUDE_FROM_ALL)
set(VELMO_INSTANCE_UNIT_OUT ${PROJECT_BINARY_DIR}/deploy/velmo-rendezvous@.service)
install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/rendezvous/velmo-rendezvous@.service.in\" \"${VELMO_INSTANCE_UNIT_OUT}\" @ONLY)
" COMPONENT server EXCLUDE_FROM_ALL)
install(FILES ${VELMO_UNIT_OUT} ${VELMO_INSTANCE_UNIT_OUT} DESTINATION /lib/systemd/system COMPONENT server
        EXCLUDE_FROM_ALL)

# Copyright and a compressed changelog in each package's documentation directory; manual
# pages compressed as Debian wants them (gzip -9n: no name, no time stamp).
foreach(pkg velmo-remote velmo-rendezvous)
    if(pkg STREQUAL "velmo-remote")
        set(component app)
    else()
        set(component server)
    endif()
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(CODE "
        set(PACKAGE ${pkg})
        set(VERSION ${PROJECT_VERSION})
        configure_file(\"${CMAKE_CURRENT_LIST_DIR}/changelog\" \"${PROJECT_BINARY_DIR}/deploy/${pkg}/changelog\" @ONLY)
        execute_process(COMMAND gzip -9nf \"${PROJECT_BINARY_DIR}/deploy/${pkg}/changelog\")
    " COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${PROJECT_BINARY_DIR}/deploy/${pkg}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(CODE "
    foreach(page man1/velmo-remote.1 man8/velmo-rendezvous.8)
        set(f \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/\${page}\")
        if(EXISTS \"\${f}\")
            execute_process(COMMAND gzip -9nf \"\${f}\")
        endif()
    endforeach()
" ALL_COMPONENTS)

# ---- CPack

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmo-remote)
set(CPACK_PACKAGE_VENDOR "Velmo Remote developers")
set(CPACK_PACKAGE_CONTACT "Velmo Remote developers <maintainers@velmo-remote.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# DESTDIR staging: absolute destinations (/lib/systemd/system) land in the package, and
# CMAKE_INSTALL_PREFIX is /usr while installing.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app server)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_APP_PACKAGE_NAME velmo-remote)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION net)
set(CPACK_COMPONENT_APP_DESCRIPTION "remote access to other devices and sharing of this one
Velmo Remote connects to another device by its nine-digit ID and passcode,
shows its screen, forwards mouse, keyboard and text and plays its sound.

It also shares this computer through its local agent, velmo-remote-host:
device ID and passcode, approval of viewers and a bar while controlled.")
# Loaded at run time, so dpkg-shlibdeps cannot see them: WebRTC and media plug-ins, the
# Qt platform plug-ins (X11), TLS for https/wss servers comes with libqt6network6.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-nice, gstreamer1.0-libav, gstreamer1.0-pulseaudio, gstreamer1.0-x, qt6-qpa-plugins")
# The agent encodes H.264 with x264enc; the server is started by the app when none runs.
# qt6-translations-l10n: Qt's own dialogs and buttons in Japanese (English without it).
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS
    "velmo-rendezvous, gstreamer1.0-plugins-ugly, fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_DEBIAN_APP_PACKAGE_SUGGESTS "gnome-keyring")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME velmo-rendezvous)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "rendezvous server of Velmo Remote
The registry of Velmo Remote devices, a small REST interface and the
WebSocket signaling between viewers and devices, on one port, with TLS
when given a certificate. Runs as a systemd service with its own user and
its registry in /var/lib/velmo-rendezvous.")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "coturn")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_LIST_DIR}/rendezvous/debian/postinst;${CMAKE_CURRENT_LIST_DIR}/rendezvous/debian/prerm;${CMAKE_CURRENT_LIST_DIR}/rendezvous/debian/postrm")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# cpack packages what is built and builds nothing itself (scripts/package.sh builds the three
# programs first; the package test runs after the build).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
