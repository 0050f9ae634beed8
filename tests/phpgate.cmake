# End-to-end tests of phpgate (and of phpgate-check beside it): the built
# program against a registry at its real path inside the sandbox, a stand-in
# PHP executable that records what it was started with, and the Debian
# php-cgi.
add_executable(phpgate_standin phpgate_standin.cpp)

varek_e2e_test(phpgate_e2e_test
  phpgate_e2e_test.cpp phpgate_exec_test.cpp phpgate_registry_log_test.cpp phpgate_php_test.cpp
  USES PHPGATE_PATH=phpgate PHPGATE_CHECK_PATH=phpgate-check PHP_STANDIN_PATH=phpgate_standin
  LIBRARIES php_launcher LABELS e2e)
