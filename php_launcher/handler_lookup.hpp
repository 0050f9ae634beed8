// The panel's registry of PHP handlers, read whole and parsed, and the
// lookup of a handler's CGI executable in it.
#pragma once

#include "php_launcher/php_versions_info.hpp"

// The registry document that lists the server's PHP handlers.
inline constexpr const char* PHP_REGISTRY_PATH = "/etc/vrk/php_versions.json";

// A parsed registry: the records point into `text`.
struct handler_registry {
  char* text;
  php_versions_info* info;
};

// Reads PHP_REGISTRY_PATH whole and parses it. Returns 0 with the records;
// -1 when it can't be read or parsed, both logged (launcher_log.hpp), with
// nothing left to release. Either way the caller calls
// handler_registry_free.
int handler_registry_load(handler_registry* registry);

// Releases the records, then the text.
void handler_registry_free(handler_registry* registry);

// Returns a heap copy (caller frees) of the "path" of the first handler, in
// document order, whose "id" equals `id` byte for byte. Returns null when the
// registry can't be read or parsed (logged as above), when no handler
// matches, or when the copy can't be allocated.
char* lookup_handler_path(const char* id);
