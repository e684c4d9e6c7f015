# Installation (`cmake --install`) and the two Debian packages (`cpack -G DEB`):
#
#   quillet-peer  the client in PREFIX/lib/quillet-peer/ with PREFIX/bin/quillet-peer
#                 a link to it; the skins in PREFIX/share/quillet-peer/unrealskins/ and
#                 a link to them beside the program, where it looks for its skins;
#                 quillet-query; the desktop entry, the icon and the manual pages.
#                 (The client looks for its skins beside its own program file.)
#   parlevod      the server in PREFIX/sbin, its configuration and news in /etc (under
#                 PREFIX/etc for a prefix other than /usr), the service unit and the
#                 manual page.
include(GNUInstallDirs)

set(QP_PACKAGE_MAINTAINER "Quillet Peer maintainers <maintainers@quillet-peer.example>"
    CACHE STRING "the Maintainer field of the Debian packages")
set(QP_PACKAGE_RELEASE 1 CACHE STRING "the Debian revision of the packages")

set(QP_PKG_SRC ${CMAKE_CURRENT_LIST_DIR})
set(QP_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
set(QP_CLIENT_DIR lib/quillet-peer)
set(QP_SKINS_DIR ${CMAKE_INSTALL_DATADIR}/quillet-peer/unrealskins)

# --- links, manual pages and changelogs, made in the build tree ----------------------

# Relative links, so the layout works under any prefix and inside a package.
file(MAKE_DIRECTORY ${QP_PKG_OUT}/links)
file(RELATIVE_PATH _to_program /${CMAKE_INSTALL_BINDIR} /${QP_CLIENT_DIR}/quillet-peer)
file(RELATIVE_PATH _to_skins /${QP_CLIENT_DIR} /${QP_SKINS_DIR})
file(CREATE_LINK ${_to_program} ${QP_PKG_OUT}/links/quillet-peer SYMBOLIC)
file(CREATE_LINK ${_to_skins} ${QP_PKG_OUT}/links/unrealskins SYMBOLIC)

# Compressed the way Debian wants them: gzip -9, without name or time.
set(_compressed)
function(qp_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  set(_compressed ${_compressed} ${output} PARENT_SCOPE)
endfunction()
foreach(page quillet-peer.1 quillet-query.1 parlevod.8 parlevoctl.8)
  qp_gzip(${QP_PKG_SRC}/man/${page} ${QP_PKG_OUT}/${page}.gz)
endforeach()
set(QP_DEB_VERSION ${PROJECT_VERSION}-${QP_PACKAGE_RELEASE})
foreach(QP_DEB_PACKAGE quillet-peer parlevod)
  configure_file(${QP_PKG_SRC}/debian/changelog.in ${QP_PKG_OUT}/${QP_DEB_PACKAGE}/changelog.Debian @ONLY)
  qp_gzip(${QP_PKG_OUT}/${QP_DEB_PACKAGE}/changelog.Debian ${QP_PKG_OUT}/${QP_DEB_PACKAGE}/changelog.Debian.gz)
endforeach()
add_custom_target(qp_packaging_files ALL DEPENDS ${_compressed})

# --- the client -------------------------------------------------------------------

# The shipped skins beside the built client as well, where it looks for them
# when started from the build tree (./run.sh, the tests).
file(GLOB_RECURSE _skin_files CONFIGURE_DEPENDS ${QP_PKG_SRC}/skins/*)
set(_built_skins)
foreach(_skin_file ${_skin_files})
  file(RELATIVE_PATH _skin_rel ${QP_PKG_SRC}/skins ${_skin_file})
  set(_skin_out ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/unrealskins/${_skin_rel})
  add_custom_command(OUTPUT ${_skin_out}
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_skin_file} ${_skin_out}
                     DEPENDS ${_skin_file} VERBATIM)
  list(APPEND _built_skins ${_skin_out})
endforeach()
add_custom_target(qp_built_skins ALL DEPENDS ${_built_skins})
add_dependencies(quillet-peer qp_built_skins)

install(TARGETS quillet-peer RUNTIME DESTINATION ${QP_CLIENT_DIR} COMPONENT client)
install(FILES ${QP_PKG_OUT}/links/unrealskins DESTINATION ${QP_CLIENT_DIR} COMPONENT client)
install(FILES ${QP_PKG_OUT}/links/quillet-peer DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(DIRECTORY ${QP_PKG_SRC}/skins/ DESTINATION ${QP_SKINS_DIR} COMPONENT client)
install(TARGETS quillet-query RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES ${QP_PKG_SRC}/quillet-peer.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT client)
install(FILES ${QP_PKG_SRC}/quillet-peer.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT client)
install(FILES ${QP_PKG_OUT}/quillet-peer.1.gz ${QP_PKG_OUT}/quillet-query.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT client)
install(FILES ${QP_PKG_SRC}/debian/copyright ${QP_PKG_OUT}/quillet-peer/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillet-peer COMPONENT client)
install(FILES ${QP_PKG_SRC}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME quillet-peer COMPONENT client)

# --- the server -------------------------------------------------------------------

install(TARGETS parlevod RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT server)
install(FILES ${QP_PKG_SRC}/parlevod.service DESTINATION lib/systemd/system COMPONENT server)
install(TARGETS parlevoctl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT server)
install(FILES ${QP_PKG_OUT}/parlevod.8.gz ${QP_PKG_OUT}/parlevoctl.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT server)
install(FILES ${QP_PKG_SRC}/debian/copyright ${QP_PKG_OUT}/parlevod/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parlevod COMPONENT server)
install(FILES ${QP_PKG_SRC}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME parlevod COMPONENT server)
# The configuration and the news are the operator's: in /etc for the prefix /usr,
# as the unit expects, decided when installing (the package installs under /usr).
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(_etc /etc)
  else()
    set(_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
  endif()
  file(INSTALL DESTINATION \"\${_etc}\" TYPE FILE FILES \"${QP_PKG_SRC}/parlevod.conf\")
  file(INSTALL DESTINATION \"\${_etc}/parlevod\" TYPE FILE RENAME news.txt
       FILES \"${PROJECT_SOURCE_DIR}/server/motd/sample-news.txt\")
" COMPONENT server)

# --- the Debian packages ----------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet-peer)
set(CPACK_PACKAGE_VENDOR "Quillet Peer")
set(CPACK_PACKAGE_CONTACT "${QP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Every path under the staging root as it will be on the system, /etc included.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QP_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries each program links, as dpkg-shlibdeps finds them: the client
# gets the Qt 6 runtime, the server (Boost is headers only) no more than the C++ runtime.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quillet-peer)
# A lobby and chat client: "net" (Debian's "games" is for the games themselves).
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
    "lobby client for Shadow Company on the Parlevo network
Quillet Peer connects to a Parlevo lobby master, shows its players and open
games, and lets the player chat, send private messages, host, join, invite
and kick, and launch Shadow Company on every member's machine pointed at the
host. It measures the round trip to the other players, shows the network's
message of the day and offers new versions.

The package also holds quillet-query, which lists game servers and their
status from a master server list, in the manner of qstat.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME parlevod)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "community server of the Parlevo lobby network
parlevod is the server the Quillet Peer client talks to: the lobby master
with its players, games and chat; the message of the day over HTTP and UDP;
the master server list with the game servers' heartbeats; and a live lobby
page with its JSON and Prometheus metrics on the web port.

It runs as a systemd service with a user of its own and no privileges,
reads /etc/parlevod.conf, and reads its news and game keys again on reload.")
# Its files in /etc are the operator's; the service is enabled and started
# as Debian's services are.
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${QP_PKG_SRC}/debian/parlevod/conffiles ${QP_PKG_SRC}/debian/parlevod/postinst
    ${QP_PKG_SRC}/debian/parlevod/prerm ${QP_PKG_SRC}/debian/parlevod/postrm)

include(CPack)
