# Installation and the Debian package (cpack -G DEB).
#
#   bin/qvdataexporter            -> ../lib/qvdataexporter/qvdataexporter
#   lib/qvdataexporter/           the program with upload.exe beside it, where the
#                                 program finds it when the program folder has none
#   bin/rsfile
#   lib/systemd/system/           qvdataexporter.service and .timer
#   lib/sysusers.d/               the service's user
#   share/doc/qvdataexporter/     README.md and example/: the demo's program folder
#                                 templates and scripts (example/run.sh)
include(GNUInstallDirs)

install(TARGETS qvdataexporter RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/qvdataexporter)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/src/upload/upload.exe
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/qvdataexporter)
install(TARGETS rsfile RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
file(CREATE_LINK ../${CMAKE_INSTALL_LIBDIR}/qvdataexporter/qvdataexporter
     ${PROJECT_BINARY_DIR}/packaging/qvdataexporter SYMBOLIC)
install(FILES ${PROJECT_BINARY_DIR}/packaging/qvdataexporter DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES packaging/systemd/qvdataexporter.service packaging/systemd/qvdataexporter.timer
        DESTINATION lib/systemd/system)
install(FILES packaging/systemd/qvdataexporter.sysusers DESTINATION lib/sysusers.d
        RENAME qvdataexporter.conf)

set(QV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/qvdataexporter)
install(FILES README.md DESTINATION ${QV_DOC_DIR})
install(FILES scripts/demo/rules.json scripts/demo/datasources.json scripts/demo/settings.json
        DESTINATION ${QV_DOC_DIR}/example)
install(PROGRAMS scripts/demo/run.sh scripts/demo/make_inventory.py scripts/demo/change_inventory.py
                 scripts/demo/fill.py tests/support/receiver.py
        DESTINATION ${QV_DOC_DIR}/example)

set(CPACK_PACKAGE_NAME qvdataexporter)
set(CPACK_PACKAGE_VENDOR "QvDataExporter")
set(CPACK_PACKAGE_CONTACT "QvDataExporter maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Exports SQL query results as recordset XML files and uploads what changed")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# upload.exe is a curl script; the ODBC drivers are the data sources' business.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "curl, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsqliteodbc, odbc-postgresql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
