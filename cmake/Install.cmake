# Where an installed Talvik lives, and the Debian package built from it.
include(GNUInstallDirs)

set(TALVIK_APP_ID io.github.talvik.Talvik)

if(TARGET talvik)
  install(TARGETS talvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET talvik-arp)
  install(TARGETS talvik-arp RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/talvik)
  # Only the helper ever holds cap_net_raw. A staged install (DESTDIR, as for a package) or an
  # install without root leaves it unset; the package's post-install step sets it instead.
  install(CODE "
    # The prefix as given at install time (cmake --install --prefix), not the configured one.
    set(_helper \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/talvik/talvik-arp\")
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
      execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(_uid STREQUAL \"0\")
        execute_process(COMMAND setcap cap_net_raw+ep \"\${_helper}\" RESULT_VARIABLE _rc)
        if(NOT _rc EQUAL 0)
          message(WARNING \"could not give \${_helper} cap_net_raw; Talvik will use the unprivileged sender\")
        endif()
      else()
        message(STATUS \"Not root: \${_helper} has no cap_net_raw, so Talvik will use the unprivileged sender; to give it: sudo setcap cap_net_raw+ep \${_helper}\")
      endif()
    endif()")
endif()

set(_res ${PROJECT_SOURCE_DIR}/res)
if(EXISTS ${_res}/${TALVIK_APP_ID}.desktop)
  install(FILES ${_res}/${TALVIK_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
if(EXISTS ${_res}/${TALVIK_APP_ID}.metainfo.xml)
  install(FILES ${_res}/${TALVIK_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
if(EXISTS ${_res}/icons/hicolor)
  install(DIRECTORY ${_res}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

set(CPACK_PACKAGE_NAME talvik)
set(CPACK_PACKAGE_VENDOR "Talvik")
set(CPACK_PACKAGE_CONTACT "Talvik maintainers <maintainers@talvik.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Finds the live hosts of the local network segment by ARP")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-arphic-uming, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
