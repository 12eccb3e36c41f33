# Installing Vell like a Linux program: the executable, its deployment file
# (found as bin/../share/vell/info.json), the desktop entry that claims the
# vell:// scheme, and the icons in the hicolor theme. `cmake --install` into a
# prefix in the home folder also registers the scheme for that user; the .deb
# leaves that to the system's own triggers.
include(GNUInstallDirs)

install(TARGETS vell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/info.json DESTINATION ${CMAKE_INSTALL_DATADIR}/vell)
install(FILES packaging/vell.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY packaging/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(home "$ENV{HOME}")
  if("$ENV{DESTDIR}" STREQUAL "" AND NOT CMAKE_INSTALL_PREFIX MATCHES "_CPack_Packages"
     AND NOT "${home}" STREQUAL "" AND CMAKE_INSTALL_PREFIX MATCHES "^${home}/")
    # Outside /usr the entry names the program by its full path: ~/.local/bin is not always on PATH.
    set(entry "${root}/share/applications/vell.desktop")
    file(READ "${entry}" text)
    string(REPLACE "Exec=vell " "Exec=${CMAKE_INSTALL_PREFIX}/bin/vell " text "${text}")
    file(WRITE "${entry}" "${text}")
    find_program(UPDATE_DESKTOP_DATABASE update-desktop-database)
    if(UPDATE_DESKTOP_DATABASE)
      execute_process(COMMAND ${UPDATE_DESKTOP_DATABASE} "${root}/share/applications")
    endif()
    find_program(XDG_MIME xdg-mime)
    if(XDG_MIME)
      execute_process(COMMAND ${XDG_MIME} default vell.desktop x-scheme-handler/vell RESULT_VARIABLE failed)
      if(NOT failed)
        message(STATUS "vell:// links now open ${CMAKE_INSTALL_PREFIX}/bin/vell for this user")
      endif()
    endif()
  endif()
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vell)
set(CPACK_PACKAGE_VENDOR "Vell")
set(CPACK_PACKAGE_CONTACT "Vell <support@vell.so>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Dictation anywhere and form filling by voice, from the tray")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, but needed at run time: the accessibility bus, the sound server
# client's daemon, the default-browser opener.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "at-spi2-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse, xdg-utils")
include(CPack)
