# What "cmake --install" puts beside the programs: the manuals, the systemd
# units, the cron file, sessreap's sweep and its defaults, the Apache
# snippets, the logrotate file and phpgate's example wrapper. The Debian
# package is built from the same install by debian/rules (dpkg-buildpackage),
# which hands each kind of file to its debhelper tool.
set(varek_package varek-server-tools)
set(varek_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${varek_package}")

# --- Man pages, compressed as Debian keeps them (gzip -9n) -----------------
# Every page in man/, so that a new manual needs no line here; built with
# the default targets and with each program, so that an install after a
# build of the programs alone (as scripts/demo.sh does) finds them.
file(GLOB varek_man_pages CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/man/*.[1-8]")
set(varek_gzipped)
foreach(source IN LISTS varek_man_pages)
  get_filename_component(page "${source}" NAME)
  string(REGEX MATCH "[1-8]$" section "${page}")
  set(out "${PROJECT_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${PROJECT_BINARY_DIR}/man/${page}"
    COMMAND gzip -9nf "${PROJECT_BINARY_DIR}/man/${page}"
    DEPENDS "${source}"
    COMMENT "Compressing man/${page}")
  list(APPEND varek_gzipped "${out}")
  install(FILES "${out}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${varek_gzipped})
foreach(program sessreap sessreap-dirs phpgate phpgate-check logroute logroute-check)
  add_dependencies(${program} compressed_docs)
endforeach()

# --- systemd units, cron file, Apache snippets, phpgate's wrapper ----------
# Written at install time with the installed programs' path (see
# InstallIntegration.cmake). Units go to PREFIX/lib/systemd/system, which
# systemd reads for the prefixes /usr and /usr/local; the package puts them
# in /lib/systemd/system, where Debian 12's debhelper looks for them.
set(VAREK_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Directory of systemd system units, relative to the prefix or absolute")
install(CODE "
  set(VAREK_PACKAGING_DIR \"${PROJECT_SOURCE_DIR}/packaging\")
  set(VAREK_STAGING_DIR \"${PROJECT_BINARY_DIR}/packaging-staged\")
  set(VAREK_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(VAREK_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")
  set(VAREK_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(VAREK_DOCDIR \"${varek_docdir}\")
  set(VAREK_SYSTEMD_UNIT_DIR \"${VAREK_SYSTEMD_UNIT_DIR}\")")
install(SCRIPT "${PROJECT_SOURCE_DIR}/cmake/InstallIntegration.cmake")

# --- Tests -----------------------------------------------------------------
if(VAREK_BUILD_TESTS)
  add_subdirectory("${PROJECT_SOURCE_DIR}/packaging/tests" "${PROJECT_BINARY_DIR}/packaging-tests")
endif()
