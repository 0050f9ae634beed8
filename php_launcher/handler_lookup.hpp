// Finding the CGI executable of a PHP handler in the panel's registry.
#pragma once

// The registry document that lists the server's PHP handlers.
inline constexpr const char* PHP_REGISTRY_PATH = "/etc/vrk/php_versions.json";

// Returns a heap copy (caller frees) of the "path" of the first handler, in
// document order, whose "id" equals `id` byte for byte. Returns null when the
// registry can't be read or parsed (both logged to syslog here), when no
// handler matches, or when the copy can't be allocated.
char* lookup_handler_path(const char* id);
