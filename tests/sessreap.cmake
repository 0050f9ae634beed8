varek_e2e_test(sessreap_e2e_test
  sessreap_e2e_test.cpp sessreap_php_test.cpp sessreap_stress_test.cpp
  USES SESSREAP_PATH=sessreap SESSREAP_DIRS_PATH=sessreap-dirs LABELS e2e)
