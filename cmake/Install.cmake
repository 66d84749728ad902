# SPDX-License-Identifier: GPL-3.0-or-later
# Where an installed Talvik lives, and the Debian package built from it.
include(GNUInstallDirs)

set(TALVIK_APP_ID io.github.talvik.Talvik)

if(TARGET talvik)
  install(TARGETS talvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET talvik-scan)
  install(TARGETS talvik-scan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET talvik-scan-names)
    install(TARGETS talvik-scan-names LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/talvik)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/completions/talvik-scan
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  # The watch as a service, one instance per interface. Debian 12 keeps units under /lib.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_units /lib/systemd/system)
  else()
    set(_units ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/talvik-watch@.service DESTINATION ${_units})
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

# The licence, the changelog and the manual pages, where Debian keeps them.
set(_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/talvik)
file(STRINGS ${_packaging}/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^talvik \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR
    "packaging/changelog must start with an entry for ${PROJECT_VERSION}, not: ${_changelog_top}")
endif()
install(FILES ${_packaging}/copyright DESTINATION ${_doc_dir})

if(TARGET talvik)
  set(_generated ${CMAKE_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${_generated})
  # gzip -n leaves out the name and time, so that the same sources give the same package.
  add_custom_command(OUTPUT ${_generated}/changelog.gz
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${_packaging}/changelog ${_generated}/changelog.gz
    DEPENDS ${_packaging}/changelog VERBATIM)
  set(_docs ${_generated}/changelog.gz)
  install(FILES ${_generated}/changelog.gz DESTINATION ${_doc_dir})

  find_program(TALVIK_SCDOC scdoc)
  find_program(TALVIK_PARSECHANGELOG dpkg-parsechangelog)
  if(TALVIK_SCDOC)
    # The pages carry the date of the latest changelog entry rather than the day of the build.
    set(_page_date "")
    if(TALVIK_PARSECHANGELOG)
      execute_process(COMMAND ${TALVIK_PARSECHANGELOG} -l ${_packaging}/changelog -S Timestamp
                      OUTPUT_VARIABLE _stamp OUTPUT_STRIP_TRAILING_WHITESPACE)
      set(_page_date SOURCE_DATE_EPOCH=${_stamp})
    endif()
    # Each source and where its page goes under the manual's root.
    foreach(_page "talvik.1;man1;talvik" "talvik.zh_CN.1;zh_CN/man1;talvik"
                  "talvik-scan.1;man1;talvik-scan" "talvik-scan.zh_CN.1;zh_CN/man1;talvik-scan")
      list(GET _page 0 _name)
      list(GET _page 1 _dir)
      list(GET _page 2 _program)
      configure_file(${PROJECT_SOURCE_DIR}/man/${_name}.scd ${_generated}/${_name}.scd @ONLY)
      set(_out ${_generated}/man/${_dir}/${_program}.1)
      file(MAKE_DIRECTORY ${_generated}/man/${_dir})
      add_custom_command(OUTPUT ${_out}.gz
        COMMAND ${CMAKE_COMMAND} -E env ${_page_date}
                sh -c "\"$1\" < \"$2\" > \"$3\" && gzip -9nf \"$3\""
                sh ${TALVIK_SCDOC} ${_generated}/${_name}.scd ${_out}
        DEPENDS ${_generated}/${_name}.scd VERBATIM)
      list(APPEND _docs ${_out}.gz)
      install(FILES ${_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/${_dir})
    endforeach()
  else()
    message(STATUS "scdoc not found: the manual pages are not built (scripts/setup.sh installs it)")
  endif()
  add_custom_target(talvik-docs ALL DEPENDS ${_docs})
endif()

set(CPACK_PACKAGE_NAME talvik)
set(CPACK_PACKAGE_VENDOR "${PROJECT_NAME}")
set(CPACK_PACKAGE_CONTACT "Talvik maintainers <maintainers@talvik.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Finds the live hosts of the local network segment by ARP")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${_packaging}/description)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Debug information is left out of the package; the capability is set after installing, so
# stripping here does not lose it.
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-arphic-uming, libcap2-bin, ieee-data")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
