# Installation and the Debian package (cpack -G DEB).
#
#   bin/qvdataexporter            -> ../lib/qvdataexporter/qvdataexporter
#   lib/qvdataexporter/           the program with upload.exe beside it, where the
#                                 program finds it when the program folder has none
#   bin/rsfile
#   lib/systemd/system/           qvdataexporter.service and .timer
#   lib/sysusers.d/               the service's user
#   share/doc/qvdataexporter/     README.md, copyright, changelog.gz and example/: the
#                                 demo's program folder templates and scripts (example/run.sh)
#   share/man/man1/               qvdataexporter.1.gz, rsfile.1.gz
#   share/bash-completion/completions/  qvdataexporter, rsfile
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
install(FILES README.md packaging/debian/copyright DESTINATION ${QV_DOC_DIR})

# Compressed as Debian policy asks, without a name or time in the header, so that the
# package is the same for the same sources.
find_program(GZIP_PROGRAM gzip REQUIRED)
function(qv_gzipped source target)
  add_custom_command(OUTPUT ${target} COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${target}
                     DEPENDS ${source} VERBATIM)
endfunction()
set(QV_GZIPPED ${PROJECT_BINARY_DIR}/packaging/gz)
file(MAKE_DIRECTORY ${QV_GZIPPED})
qv_gzipped(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${QV_GZIPPED}/changelog.gz)
qv_gzipped(${PROJECT_SOURCE_DIR}/packaging/man/qvdataexporter.1 ${QV_GZIPPED}/qvdataexporter.1.gz)
qv_gzipped(${PROJECT_SOURCE_DIR}/packaging/man/rsfile.1 ${QV_GZIPPED}/rsfile.1.gz)
add_custom_target(qv_packaging_docs ALL
                  DEPENDS ${QV_GZIPPED}/changelog.gz ${QV_GZIPPED}/qvdataexporter.1.gz
                          ${QV_GZIPPED}/rsfile.1.gz)
install(FILES ${QV_GZIPPED}/changelog.gz DESTINATION ${QV_DOC_DIR})
install(FILES ${QV_GZIPPED}/qvdataexporter.1.gz ${QV_GZIPPED}/rsfile.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/bash-completion/qvdataexporter packaging/bash-completion/rsfile
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES scripts/demo/rules.json scripts/demo/datasources.json scripts/demo/settings.json
        DESTINATION ${QV_DOC_DIR}/example)
install(PROGRAMS scripts/demo/run.sh scripts/demo/make_inventory.py scripts/demo/change_inventory.py
                 scripts/demo/fill.py tests/support/receiver.py
        DESTINATION ${QV_DOC_DIR}/example)

set(CPACK_PACKAGE_NAME qvdataexporter)
set(CPACK_PACKAGE_VENDOR "QvDataExporter")
set(CPACK_PACKAGE_CONTACT "QvDataExporter maintainers <maintainers@qvdataexporter.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Exports SQL query results as recordset XML files and uploads what changed")
# CPack puts the summary first; this is the extended description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "An unattended exporter: it runs configured SQL queries on databases through
ODBC (SQLite through its own library), writes each result as a recordset XML
file in the layout ADO writes, sends only what changed since the last run, and
hands every file to an uploader that POSTs it to a server. Runs from the
systemd timer it ships. rsfile shows, checks and converts recordset files.")
set(CPACK_STRIP_FILES ON)
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
