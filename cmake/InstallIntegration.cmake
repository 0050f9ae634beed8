# Runs at install time (cmake --install; debian/rules installs into
# debian/tmp this way): writes the systemd units, the cron file, sessreap's
# sweep script and its defaults, the Apache snippets and phpgate's example
# wrapper with the paths of the installed files, which are known only now
# (cmake --install --prefix).
# Set by Packaging.cmake before this script: VAREK_PACKAGING_DIR,
# VAREK_STAGING_DIR, VAREK_SBINDIR, VAREK_LIBEXECDIR, VAREK_SYSCONFDIR,
# VAREK_SYSTEMD_UNIT_DIR, VAREK_DOCDIR.

function(varek_full_path out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${relative}" PARENT_SCOPE)
  endif()
endfunction()

varek_full_path(SBINDIR "${VAREK_SBINDIR}")
varek_full_path(libexec_dir "${VAREK_LIBEXECDIR}/varek-server-tools")
set(LIBEXEC "${libexec_dir}")
set(SWEEP "${libexec_dir}/sessreap-sweep")
varek_full_path(unit_dir "${VAREK_SYSTEMD_UNIT_DIR}")
varek_full_path(DOCDIR "${VAREK_DOCDIR}")
# The configuration directory as GNUInstallDirs places it: /etc for the
# prefixes / and /usr, PREFIX/etc otherwise.
if(IS_ABSOLUTE "${VAREK_SYSCONFDIR}")
  set(etc "${VAREK_SYSCONFDIR}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
  set(etc "/${VAREK_SYSCONFDIR}")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/${VAREK_SYSCONFDIR}")
endif()
set(ETC "${etc}")

# One staging folder per destination, so that two installs at once into
# different places do not write each other's files.
string(MD5 key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(staging "${VAREK_STAGING_DIR}/${key}")

# varek_install_configured(TEMPLATE DESTINATION [PROGRAM])
function(varek_install_configured template destination)
  get_filename_component(name "${template}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  configure_file("${VAREK_PACKAGING_DIR}/${template}" "${staging}/${name}" @ONLY)
  set(type FILE)
  if("${ARGN}" STREQUAL "PROGRAM")
    set(type PROGRAM)
  endif()
  file(INSTALL DESTINATION "${destination}" TYPE ${type} FILES "${staging}/${name}")
endfunction()

varek_install_configured(systemd/sessreap.service.in "${unit_dir}")
varek_install_configured(systemd/sessreap.timer.in "${unit_dir}")
varek_install_configured(libexec/sessreap-sweep.in "${libexec_dir}" PROGRAM)
varek_install_configured(default/sessreap.in "${etc}/default")
varek_install_configured(cron.d/sessreap.in "${etc}/cron.d")
varek_install_configured(apache2/vrk-logroute.conf.in "${etc}/apache2/conf-available")
varek_install_configured(logrotate/vrk-logroute.in "${etc}/logrotate.d")
varek_install_configured(apache2/vrk-phpgate.conf.in "${etc}/apache2/conf-available")
varek_install_configured(examples/phpgate-wrapper.in "${DOCDIR}/examples" PROGRAM)
