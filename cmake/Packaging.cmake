# What administrators get besides the three programs (man pages, systemd
# units, cron file, sessreap's sweep and its defaults, Apache snippets, the
# copyright and changelog), and the Debian package made by "cpack -G DEB".
set(varek_package varek-server-tools)
set(varek_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${varek_package}")

# varek_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed as Debian keeps
# manuals and changelogs (gzip -9n: no name, no time stamp), built with the
# default targets and with each program, so that cpack finds it after a build.
set(varek_gzipped)
function(varek_gzip source out)
  get_filename_component(dir "${out}" DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" plain "${out}")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${plain}"
    COMMAND gzip -9nf "${plain}"
    DEPENDS "${source}"
    COMMENT "Compressing ${out}")
  set(varek_gzipped ${varek_gzipped} "${out}" PARENT_SCOPE)
endfunction()

# --- Man pages, changelog and copyright, as Debian keeps them -------------
foreach(page sessreap.8 sessreap-sweep.8 phpgate.8 phpgate-check.8 logroute.8 logroute-check.8
    vrk.conf.5)
  string(REGEX MATCH "[0-9]$" section "${page}")
  varek_gzip("${PROJECT_SOURCE_DIR}/man/${page}" "${PROJECT_BINARY_DIR}/man/${page}.gz")
  install(FILES "${PROJECT_BINARY_DIR}/man/${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()
varek_gzip("${PROJECT_SOURCE_DIR}/packaging/debian/changelog" "${PROJECT_BINARY_DIR}/packaging-doc/changelog.gz")
install(FILES "${PROJECT_BINARY_DIR}/packaging-doc/changelog.gz" DESTINATION "${varek_docdir}")
add_custom_target(compressed_docs ALL DEPENDS ${varek_gzipped})
# cpack installs without building: a build of the programs alone (as
# scripts/demo.sh does) must leave it nothing missing either.
foreach(program sessreap sessreap-dirs phpgate phpgate-check logroute logroute-check)
  add_dependencies(${program} compressed_docs)
endforeach()

# --- systemd units, cron file, Apache snippets, phpgate's wrapper ----------
# Written at install time with the installed programs' path (see
# InstallIntegration.cmake). Units go to PREFIX/lib/systemd/system, which
# systemd reads for the prefixes /usr and /usr/local.
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

# --- Debian package --------------------------------------------------------
# The package always installs under /usr (programs in /usr/sbin, manuals in
# /usr/share/man, units in /usr/lib/systemd/system) and /etc, whatever
# prefix "cmake --install" uses. DESTDIR staging keeps CMAKE_INSTALL_PREFIX
# at /usr while cpack installs, so the generated files name /usr/sbin.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${varek_package}")
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
# The files under /etc are the administrator's once installed: one line
# each, every file the package installs under /etc.
set(VAREK_CONFFILES
  /etc/default/sessreap
  /etc/cron.d/sessreap
  /etc/apache2/conf-available/vrk-logroute.conf
  /etc/apache2/conf-available/vrk-phpgate.conf
  /etc/logrotate.d/vrk-logroute)
set(control "${PROJECT_BINARY_DIR}/packaging-control")
list(JOIN VAREK_CONFFILES "\n" varek_conffile_lines)
file(WRITE "${control}/conffiles" "${varek_conffile_lines}\n")
# Maintainer scripts (packaging/debian): they disable the Apache confs on
# removal and track sessreap.timer, so they learn the confs' names here.
set(VAREK_APACHE_CONFS)
foreach(conffile IN LISTS VAREK_CONFFILES)
  if(conffile MATCHES "^/etc/apache2/conf-available/(.+)\\.conf$")
    list(APPEND VAREK_APACHE_CONFS "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(JOIN VAREK_APACHE_CONFS " " VAREK_APACHE_CONFS)
foreach(script postinst prerm postrm)
  configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in" "${control}/${script}" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${control}/conffiles" "${control}/postinst" "${control}/prerm" "${control}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian policy: the machine-readable copyright file, and lintian overrides,
# each with its reason in the file.
configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in"
  "${PROJECT_BINARY_DIR}/packaging-doc/copyright" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/packaging-doc/copyright" DESTINATION "${varek_docdir}")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" RENAME "${varek_package}")
# "cpack --config CPackSourceConfig.cmake": the sources without build trees.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build/" "/\\\\.ci/")
include(CPack)

# --- Tests -----------------------------------------------------------------
if(VAREK_BUILD_TESTS)
  add_subdirectory("${PROJECT_SOURCE_DIR}/packaging/tests" "${PROJECT_BINARY_DIR}/packaging-tests")
endif()
