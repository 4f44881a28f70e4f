# Install rules and packages.
#
# Linux: `cmake --install` puts the service into sbin/, the client tool into bin/, the systemd
# unit into lib/systemd/system/ and the documentation into share/doc/tarnel-updater/. CPack
# builds a .deb (with maintainer scripts that create the pending-update store and enable the
# unit) and a .tar.gz of the same tree below usr/.
# Windows: everything in one folder, packed as a .zip with install-service.cmd and
# uninstall-service.cmd beside the executables; and a Windows Installer package,
# tarnel-updater-VERSION-x64.msi, built by wixl from packaging/windows/tarnel-updater.wxs as
# part of the build (target tarnel-updater-msi) when wixl is installed.
#
#   cmake --build build --target package        (or: cd build && cpack)

set(TARNEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TARNEL_DOCS ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/operations.md
                ${PROJECT_SOURCE_DIR}/README.md)

if(WIN32)
  install(TARGETS tarnel-updater-service RUNTIME DESTINATION .)
  if(TARGET tarnel-updater-client)
    install(TARGETS tarnel-updater-client RUNTIME DESTINATION .)
  endif()
  # The scripts name the service by the product's facts.
  foreach(script install-service.cmd uninstall-service.cmd)
    configure_file(${TARNEL_PACKAGING_DIR}/windows/${script}.in
                   ${CMAKE_BINARY_DIR}/packaging/${script} @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${script} DESTINATION .)
  endforeach()
  install(FILES ${TARNEL_DOCS} DESTINATION docs)

  find_program(TARNEL_WIXL wixl)
  if(TARNEL_WIXL)
    set(TARNEL_MSI ${CMAKE_BINARY_DIR}/tarnel-updater-${PROJECT_VERSION}-x64.msi)
    set(TARNEL_WXS ${TARNEL_PACKAGING_DIR}/windows/tarnel-updater.wxs)
    # The document list reaches the script as one argument.
    string(REPLACE ";" "$<SEMICOLON>" TARNEL_DOCS_ARGUMENT "${TARNEL_DOCS}")
    add_custom_command(OUTPUT ${TARNEL_MSI}
      COMMAND ${CMAKE_COMMAND} -DWIXL=${TARNEL_WIXL} -DSTRIP=${CMAKE_STRIP} -DWXS=${TARNEL_WXS}
              -DSTAGE=${CMAKE_BINARY_DIR}/packaging/msi -DOUTPUT=${TARNEL_MSI}
              -DVERSION=${PROJECT_VERSION} -DSERVICE_NAME=${TARNEL_SERVICE_NAME}
              -DSERVICE_DISPLAY_NAME=${TARNEL_SERVICE_DISPLAY_NAME}
              -DSERVICE_EXE=$<TARGET_FILE:tarnel-updater-service>
              -DCLIENT_EXE=$<TARGET_FILE:tarnel-updater-client>
              "-DDOCS=${TARNEL_DOCS_ARGUMENT}" -P ${PROJECT_SOURCE_DIR}/cmake/build-msi.cmake
      DEPENDS tarnel-updater-service tarnel-updater-client ${TARNEL_WXS} ${TARNEL_DOCS}
              ${PROJECT_SOURCE_DIR}/cmake/build-msi.cmake
      COMMENT "Building tarnel-updater-${PROJECT_VERSION}-x64.msi" VERBATIM)
    add_custom_target(tarnel-updater-msi ALL DEPENDS ${TARNEL_MSI})
  else()
    message(STATUS "wixl not found: no Windows Installer package (scripts/setup installs it)")
  endif()
else()
  include(GNUInstallDirs)
  install(TARGETS tarnel-updater-service RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  if(TARGET tarnel-updater-client)
    install(TARGETS tarnel-updater-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  set(TARNEL_DOC_SUBDIR share/doc/tarnel-updater)
  install(FILES ${TARNEL_DOCS} DESTINATION ${TARNEL_DOC_SUBDIR})

  # Manual pages and the Debian changelog are installed compressed, as Debian's policy asks;
  # -n keeps the archive's bytes free of the build time.
  set(TARNEL_GZIPPED)
  foreach(source tarnel-updater-service.8 tarnel-updater-client.1 changelog)
    set(gzipped ${CMAKE_BINARY_DIR}/packaging/${source}.gz)
    add_custom_command(OUTPUT ${gzipped}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
      COMMAND gzip -9nc ${TARNEL_PACKAGING_DIR}/linux/${source} > ${gzipped}
      DEPENDS ${TARNEL_PACKAGING_DIR}/linux/${source} VERBATIM)
    list(APPEND TARNEL_GZIPPED ${gzipped})
  endforeach()
  add_custom_target(tarnel_gzipped_docs ALL DEPENDS ${TARNEL_GZIPPED})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/tarnel-updater-service.8.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  if(TARGET tarnel-updater-client)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/tarnel-updater-client.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                ${TARNEL_PACKAGING_DIR}/linux/copyright DESTINATION ${TARNEL_DOC_SUBDIR})
  # The publisher's certificate, when the build names one: read-only, and owned by root as
  # every file of the package is.
  if(TARNEL_PACKAGE_PUBLISHER_PATH)
    install(FILES ${TARNEL_PUBLISHER_CERTIFICATE} DESTINATION share/tarnel-updater
            RENAME publisher.pem PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
  endif()
  # Warnings of Debian's package checks that are deliberate, each with its reason.
  install(FILES ${TARNEL_PACKAGING_DIR}/linux/lintian-overrides
          DESTINATION share/lintian/overrides RENAME tarnel-updater)

  # The unit names the service by its absolute path, which is known only at install time
  # (`cmake --install --prefix`, or /usr inside the packages), so it is written then.
  install(CODE "
    set(TARNEL_SERVICE_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/tarnel-updater-service\")
    set(TARNEL_DOC_DIR \"\${CMAKE_INSTALL_PREFIX}/${TARNEL_DOC_SUBDIR}\")
    set(TARNEL_SERVICE_DISPLAY_NAME \"${TARNEL_SERVICE_DISPLAY_NAME}\")
    configure_file(\"${TARNEL_PACKAGING_DIR}/linux/tarnel-updater.service.in\"
                   \"${CMAKE_BINARY_DIR}/packaging/tarnel-updater.service\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
         FILES \"${CMAKE_BINARY_DIR}/packaging/tarnel-updater.service\")
  ")
endif()

set(CPACK_PACKAGE_NAME tarnel-updater)
set(CPACK_PACKAGE_VENDOR Tarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${TARNEL_SERVICE_DISPLAY_NAME}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "The update service of the Tarnel desktop product. It records installer packages that "
       "the desktop application downloaded, tells it whether an update is needed, and "
       "verifies and starts the installer with machine-wide rights.")
set(CPACK_PACKAGE_CONTACT "Tarnel updater maintainers <updater@tarnel.example>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  # Both packages hold the tree as it lands below /usr, so the unit's ExecStart path is the
  # one the files really have (the archive unpacks with `tar -C / --strip-components=1`).
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Debian wants the long description in lines of less than 80 characters.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "The update service of the Tarnel desktop product.\n"
         "It records installer packages that the desktop application downloaded,\n"
         "tells it whether an update is needed, and verifies and starts the\n"
         "installer with machine-wide rights.")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${TARNEL_PACKAGING_DIR}/linux/postinst ${TARNEL_PACKAGING_DIR}/linux/prerm
      ${TARNEL_PACKAGING_DIR}/linux/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
