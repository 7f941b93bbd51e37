# `cmake --install`: the programs in PREFIX/bin, the menu entry and the application icon where
# desktops look for them (PREFIX/share/applications, the hicolor icon theme at 32 and 48 pixels),
# and an autostart entry under PREFIX/share/quenlo/autostart/ that is not active until a user (or
# the administrator, for everyone) copies it into an autostart folder: a tray monitor belongs in
# the session, but not forced on every user of the machine.
#
# `package-deb`: the same tree installed under /usr, packed with dpkg-deb into
# quenlo_VERSION_ARCH.deb in the build folder (scripts/build.sh deb).
include(GNUInstallDirs)

set(quenlo_linux ${PROJECT_SOURCE_DIR}/cmake/linux)
install(TARGETS quenlo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET quenlo)
  install(TARGETS quenlo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${quenlo_linux}/quenlo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 32 48)
    install(FILES ${PROJECT_SOURCE_DIR}/app/images/quenlo${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME quenlo.png)
  endforeach()
  install(FILES ${quenlo_linux}/quenlo-autostart.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/quenlo/autostart RENAME quenlo.desktop)
endif()

set(deb_depends quenlo-cli)
if(TARGET quenlo)
  list(APPEND deb_depends quenlo)
endif()
add_custom_target(package-deb
  COMMAND ${quenlo_linux}/make-deb.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
  DEPENDS ${deb_depends}
  COMMENT "Packing quenlo_${PROJECT_VERSION}.deb"
  VERBATIM)
