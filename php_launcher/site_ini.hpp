// Whether a site's php.ini (VK_CUSTOM_PHP_INI) is handed to PHP as "-c PATH".
//
// PHP's CGI takes -c PATH as one file when a stat(2) says it is no
// directory and it opens; otherwise as a search path: split at ':', each
// element resolved from PHP's working directory, an empty element read as
// "/", and in each one DIR/php-cgi-fcgi.ini then DIR/php.ini opened by
// their whole path. The site's file is tested here as PHP would read it,
// with phpgate's own credentials, which PHP keeps across the exec: so the
// test is that of the user PHP runs as.
//
//   - A path PHP would not read as the one file or directory it names is
//     refused: one that holds ':'; one that is relative (resolved from the
//     working directory, which for CGI is the script's own, the site's to
//     write in); a directory whose DIR/php-cgi-fcgi.ini would not fit in
//     PATH_MAX.
//   - A regular file that opens for reading is handed on. So is a directory
//     (which needs only search permission) whose first existing ini file,
//     opened in it, passes the same test; or that holds neither, so that PHP
//     starts with no php.ini, as the administrator who named it configured.
//   - When nothing is at the path (ENOENT, ENOTDIR), PHP starts without -c,
//     as without the variable, so that a site whose ini is made later keeps
//     working. The empty path is one of these.
//   - Anything else (no permission, a link loop, a FIFO, socket or device)
//     is refused, so that a site never runs without its own restrictions.
//     The test never waits: a FIFO is refused, not read.
//   - PHP's CGI ignores its whole command line, -c included, when
//     QUERY_STRING holds no '=' and, %-decoded, starts with '-' after
//     leading blanks and control characters (a client's "?-s"): with an ini
//     to hand on, such a request is refused.
//
// Every refusal and every missing file is logged as "PATH:REASON"
// (launcher_log.hpp); REASON is strerror's text or one of those below.
#pragma once

enum class site_ini_verdict {
  HAND_ON,  // pass -c PATH
  MISSING,  // nothing there: start PHP without -c
  REFUSED,  // stop the request
};

inline constexpr const char* SITE_INI_HOLDS_COLON =
    "Holds ':', where PHP splits a list of directories";
inline constexpr const char* SITE_INI_RELATIVE =
    "Relative path, which PHP resolves from its working directory";
inline constexpr const char* SITE_INI_QUERY_SKIPS_IT =
    "PHP ignores -c for a query string that starts with '-' and holds no '='";

// The verdict for `ini_path` (non-null); `query_string` is QUERY_STRING, or
// null when unset.
site_ini_verdict site_ini_check(const char* ini_path, const char* query_string);
