# `cmake --install`: the programs in PREFIX/bin, their manual pages in PREFIX/share/man/man1 (made
# by the built programs from their --help text) and the printers file's printers.qdl(5) in
# PREFIX/share/man/man5 (made from the text of the guide's docs/printers-file.md), the menu entry, the AppStream metainfo and the
# application icon where desktops look for them (PREFIX/share/applications, PREFIX/share/metainfo,
# the hicolor icon theme at 32 and 48 pixels), the copyright file and changelog in
# PREFIX/share/doc/quenlo, and an autostart entry under PREFIX/share/quenlo/autostart/ that is not
# active until a user (or the administrator, for everyone) copies it into an autostart folder: a
# tray monitor belongs in the session, but not forced on every user of the machine. The
# exporter's systemd unit goes to /lib/systemd/system, not enabled.
#
# `package-deb`: the same tree installed under /usr, packed with dpkg-deb into
# quenlo_VERSION_ARCH.deb in the build folder (scripts/build.sh deb).
include(GNUInstallDirs)

set(quenlo_linux ${PROJECT_SOURCE_DIR}/cmake/linux)
install(TARGETS quenlo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${quenlo_linux}/copyright ${quenlo_linux}/changelog DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quenlo)
# The exporter's service, where Debian 12 keeps units; not enabled by installing.
install(FILES ${quenlo_linux}/quenlo-exporter.service DESTINATION /lib/systemd/system)

# NAME.SECTION in the build folder, written by the built PROGRAM --man; the target PROGRAM-man.
function(quenlo_man_page program name section)
  set(page ${CMAKE_BINARY_DIR}/man/${name}.${section})
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DOUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Manual page ${name}(${section})" VERBATIM)
  add_custom_target(${program}-man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
quenlo_man_page(quenlo-cli quenlo-cli 1)
quenlo_man_page(printers-file-page printers.qdl 5)
if(TARGET quenlo)
  install(TARGETS quenlo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  quenlo_man_page(quenlo quenlo 1)
  install(FILES ${quenlo_linux}/invalid.dorvane.Quenlo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${quenlo_linux}/quenlo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 32 48)
    install(FILES ${PROJECT_SOURCE_DIR}/app/images/quenlo${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME quenlo.png)
  endforeach()
  install(FILES ${quenlo_linux}/quenlo-autostart.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/quenlo/autostart RENAME quenlo.desktop)
endif()

set(deb_depends quenlo-cli quenlo-cli-man printers-file-page-man)
if(TARGET quenlo)
  list(APPEND deb_depends quenlo quenlo-man)
endif()
add_custom_target(package-deb
  COMMAND ${quenlo_linux}/make-deb.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
  DEPENDS ${deb_depends}
  COMMENT "Packing quenlo_${PROJECT_VERSION}.deb"
  VERBATIM)
