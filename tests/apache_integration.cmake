# The shipped Apache snippets (packaging/apache2/) under a real Apache, with
# phpgate running php-cgi and logroute splitting the access log (label
# "real"; skipped when apache2, its modules, curl or php-cgi are missing).
varek_e2e_test(apache_integration_test apache_integration_test.cpp
  USES LOGROUTE_PATH=logroute PHPGATE_PATH=phpgate LABELS e2e real PROPERTIES TIMEOUT 180)

# Each site's PHP as its own user: suEXEC with mod_cgid and with mod_fcgid,
# through the example wrapper (packaging/examples/), two site users.
varek_e2e_test(phpgate_suexec_test phpgate_suexec_test.cpp
  USES PHPGATE_PATH=phpgate LABELS e2e real PROPERTIES TIMEOUT 180)
