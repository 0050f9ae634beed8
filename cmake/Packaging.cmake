# What administrators get besides the three programs (man pages, systemd
# units, cron file, Apache snippets), and the Debian package made by
# "cpack -G DEB".

# --- Man pages, compressed as Debian keeps them --------------------------
set(varek_man_pages sessreap.8 phpgate.8 logroute.8 vrk.conf.5)
set(varek_man_outputs)
foreach(page IN LISTS varek_man_pages)
  string(REGEX MATCH "[0-9]$" section "${page}")
  set(out "${PROJECT_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/man/${page}" "${PROJECT_BINARY_DIR}/man/${page}"
    COMMAND gzip -9nf "${PROJECT_BINARY_DIR}/man/${page}"
    DEPENDS "${PROJECT_SOURCE_DIR}/man/${page}"
    COMMENT "Compressing man page ${page}")
  list(APPEND varek_man_outputs "${out}")
  install(FILES "${out}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()
add_custom_target(man_pages ALL DEPENDS ${varek_man_outputs})

# --- systemd units, cron file, Apache snippets ---------------------------
# Written at install time with the installed programs' path (see
# InstallIntegration.cmake). Units go to PREFIX/lib/systemd/system, which
# systemd reads for the prefixes /usr and /usr/local.
set(VAREK_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Directory of systemd system units, relative to the prefix or absolute")
install(CODE "
  set(VAREK_PACKAGING_DIR \"${PROJECT_SOURCE_DIR}/packaging\")
  set(VAREK_STAGING_DIR \"${PROJECT_BINARY_DIR}/packaging-staged\")
  set(VAREK_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(VAREK_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(VAREK_SYSTEMD_UNIT_DIR \"${VAREK_SYSTEMD_UNIT_DIR}\")")
install(SCRIPT "${PROJECT_SOURCE_DIR}/cmake/InstallIntegration.cmake")

# --- Debian package --------------------------------------------------------
# The package always installs under /usr (programs in /usr/sbin, manuals in
# /usr/share/man, units in /usr/lib/systemd/system) and /etc, whatever
# prefix "cmake --install" uses. DESTDIR staging keeps CMAKE_INSTALL_PREFIX
# at /usr while cpack installs, so the generated files name /usr/sbin.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "varek-server-tools")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Varek")
set(CPACK_PACKAGE_CONTACT "Varek server tools maintainers <tools@varek.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "session reaper, PHP CGI launcher and access-log router for Varek web servers")
set(CPACK_PACKAGE_DESCRIPTION "Three small system programs for web-hosting servers run by the Varek
control panel:
 sessreap removes expired PHP session files that no process holds open
 (systemd timer and cron file included);
 phpgate is started by the web server in place of the PHP CGI executable
 and runs the PHP handler that the site's environment names;
 logroute is a piped access logger that splits the web server's access
 log into per-domain logs.
Apache configuration snippets for logroute and phpgate are installed in
/etc/apache2/conf-available.")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "apache2, php-cgi, cron | systemd")
find_program(VAREK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VAREK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # What the three programs link against on Debian 12 (C++20 with GCC 12).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()
# The files under /etc are the administrator's once installed.
set(varek_conffiles "${PROJECT_BINARY_DIR}/packaging-control/conffiles")
file(WRITE "${varek_conffiles}"
  "/etc/cron.d/sessreap\n/etc/apache2/conf-available/vrk-logroute.conf\n/etc/apache2/conf-available/vrk-phpgate.conf\n"
  "/etc/logrotate.d/vrk-logroute\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${varek_conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# "cpack --config CPackSourceConfig.cmake": the sources without build trees.
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build/" "/\\.ci/")
include(CPack)

# --- Tests -----------------------------------------------------------------
if(VAREK_BUILD_TESTS)
  add_subdirectory("${PROJECT_SOURCE_DIR}/packaging/tests" "${PROJECT_BINARY_DIR}/packaging-tests")
endif()
