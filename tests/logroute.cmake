# logroute end to end: the built program (and logroute-check beside it) in
# the harness sandbox (with the real logrotate and the shipped logrotate
# file, skipped without logrotate), and under a real Apache (label "real";
# skipped when apache2, curl or openssl is missing).
varek_e2e_test(logroute_e2e_test logroute_e2e_test.cpp
  USES LOGROUTE_PATH=logroute LOGROUTE_CHECK_PATH=logroute-check LABELS e2e)
varek_e2e_test(logroute_apache_test logroute_apache_test.cpp
  USES LOGROUTE_PATH=logroute LABELS e2e real PROPERTIES TIMEOUT 180)
