# What `cmake --install` puts where. The real program lives in a folder of its own, because it
# reads the job file named after its real path; the link in the binaries' folder finds it from
# the PATH, and a link beside it leads the job file to the configuration folder.
include(GNUInstallDirs)

set(TAVIK_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    CACHE PATH "Folder for the systemd units and timers")

set(_tavik_home "${CMAKE_INSTALL_LIBEXECDIR}/tavik")
set(_tavik_full_home "${CMAKE_INSTALL_FULL_LIBEXECDIR}/tavik")
set(_tavik_conf "${CMAKE_INSTALL_FULL_SYSCONFDIR}/tavik")
set(TAVIK_PROGRAM_PATH "${CMAKE_INSTALL_FULL_BINDIR}/TavikBackupCopy")

install(TARGETS TavikBackupCopy RUNTIME DESTINATION "${_tavik_home}")
install(FILES packaging/TavikBackupCopy.ini DESTINATION "${_tavik_conf}")

# The links are made in the build folder and installed as links.
set(_links "${CMAKE_BINARY_DIR}/install-links")
file(MAKE_DIRECTORY "${_links}/bin" "${_links}/home")
file(RELATIVE_PATH _to_program "${CMAKE_INSTALL_FULL_BINDIR}" "${_tavik_full_home}/TavikBackupCopy")
file(CREATE_LINK "${_to_program}" "${_links}/bin/TavikBackupCopy" SYMBOLIC)
file(CREATE_LINK "${_tavik_conf}/TavikBackupCopy.ini" "${_links}/home/TavikBackupCopy.ini" SYMBOLIC)
install(FILES "${_links}/bin/TavikBackupCopy" DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${_links}/home/TavikBackupCopy.ini" DESTINATION "${_tavik_home}")

foreach(_unit tavik-backup tavik-precheck tavik-verify)
  configure_file(packaging/systemd/${_unit}.service.in "${CMAKE_BINARY_DIR}/systemd/${_unit}.service" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/systemd/${_unit}.service" packaging/systemd/${_unit}.timer
          DESTINATION "${TAVIK_SYSTEMD_UNIT_DIR}")
endforeach()

configure_file(packaging/TavikBackupCopy.1.in "${CMAKE_BINARY_DIR}/man/TavikBackupCopy.1" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/man/TavikBackupCopy.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES packaging/TavikBackupCopy.desktop DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES packaging/TavikBackupCopy.svg DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
# Alert rules for a site's Prometheus, loaded from where they lie so that an upgrade updates them.
install(FILES packaging/prometheus/tavik-rules.yml DESTINATION "${CMAKE_INSTALL_DATADIR}/tavik")
install(FILES README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
