// JSON reader context and primitives.
#include "json_reader/json_reader.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

// Byte classes. White space is exactly the six bytes of the C/POSIX locale's
// isspace class; the table makes the reader independent of the locale and
// avoids a call per byte.
constexpr unsigned char SPACE_BYTE = 1;

// Classes of bytes inside a string.
constexpr unsigned char STRING_PLAIN = 0;      // 0x20..0x7F except '"' and '\'
constexpr unsigned char STRING_QUOTE = 1;      // '"'
constexpr unsigned char STRING_BACKSLASH = 2;  // '\'
constexpr unsigned char STRING_BAD = 3;        // below 0x20 (NUL excluded) or 0x80..0xFF
constexpr unsigned char STRING_END = 4;        // NUL

struct byte_tables {
  unsigned char space[256];
  unsigned char string[256];
  constexpr byte_tables() : space(), string() {
    for (int c = 0; c < 256; ++c) {
      space[c] = (c == ' ' || (c >= '\t' && c <= '\r')) ? SPACE_BYTE : 0;
      // The reader compares a signed 8-bit byte against 0x20, so every byte
      // from 0x80 upward counts as a control character.
      if (c == 0) {
        string[c] = STRING_END;
      } else if (c == '"') {
        string[c] = STRING_QUOTE;
      } else if (c == '\\') {
        string[c] = STRING_BACKSLASH;
      } else if (static_cast<signed char>(c) < 0x20) {
        string[c] = STRING_BAD;
      } else {
        string[c] = STRING_PLAIN;
      }
    }
  }
};

constexpr byte_tables BYTE_CLASSES;

inline unsigned char byte_at(const char* p) { return static_cast<unsigned char>(*p); }

inline bool is_space(const char* p) { return BYTE_CLASSES.space[byte_at(p)] != 0; }

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Compares the text at p with the literal (no NUL in it), stopping at the
// first difference so that it never reads past the terminating NUL.
inline bool starts_with(const char* p, const char* literal) {
  for (; *literal != '\0'; ++p, ++literal) {
    if (*p != *literal) return false;
  }
  return true;
}

void* default_allocate(void*, size_t size) { return std::malloc(size); }
void* default_reallocate(void*, void* block, size_t size) { return std::realloc(block, size); }
void default_free(void*, void* block) { std::free(block); }

int skip_value_at(json_reader* r, int depth);
template <bool OBJECT>
int skip_container_at(json_reader* r, int depth);

}  // namespace

extern "C" {

void json_default_allocator(json_allocator* out) {
  out->user = nullptr;
  out->allocate = default_allocate;
  out->reallocate = default_reallocate;
  out->free = default_free;
}

json_reader* json_reader_create(char* text, const json_allocator* hooks) {
  if (text == nullptr) return nullptr;
  json_allocator defaults;
  if (hooks == nullptr) {
    json_default_allocator(&defaults);
    hooks = &defaults;
  }
  void* block = hooks->allocate(hooks->user, sizeof(json_reader));
  if (block == nullptr) return nullptr;
  json_reader* r = static_cast<json_reader*>(block);
  r->start = text;
  r->cursor = text;
  r->error_detail = nullptr;
  r->error_code = JSON_OK;
  r->allocator.user = hooks->user;
  r->allocator.allocate = hooks->allocate;
  r->allocator.reallocate = hooks->reallocate;
  r->allocator.free = hooks->free;
  return r;
}

void json_reader_destroy(json_reader* reader) {
  if (reader == nullptr) return;
  // Copy the hooks out first: the block that holds them is being released.
  json_allocator hooks = reader->allocator;
  hooks.free(hooks.user, reader);
}

void json_skip_space(json_reader* r) {
  const char* p = r->cursor;
  while (is_space(p)) ++p;
  r->cursor += p - r->cursor;
}

int json_read_bool(json_reader* r) {
  json_skip_space(r);
  if (starts_with(r->cursor, "true")) {
    r->cursor += 4;
    return 1;
  }
  if (starts_with(r->cursor, "false")) {
    r->cursor += 5;
    return 0;
  }
  r->error_code = JSON_BOOL_EXPECTED;
  return 0;
}

int json_read_null(json_reader* r) {
  json_skip_space(r);
  if (starts_with(r->cursor, "null")) {
    r->cursor += 4;
    return 0;
  }
  r->error_code = JSON_NULL_EXPECTED;
  return JSON_NULL_EXPECTED;
}

namespace {

// Judges where strtoll/strtoull stopped: no digits, a value out of range
// (the reader never resets errno itself: the caller clears it before a
// parse), or digits followed by a fraction or exponent. The cursor moves
// past the digits unless none were read or the value overflowed.
void finish_integer(json_reader* r, char* end) {
  if (end == r->cursor) {
    r->error_code = JSON_NUMBER_EXPECTED;
    return;
  }
  if (errno == ERANGE) {
    r->error_code = JSON_NUMBER_OUT_OF_RANGE;
    return;
  }
  r->cursor = end;
  if (*end == '.' || *end == 'e' || *end == 'E') r->error_code = JSON_BAD_NUMBER_FORMAT;
}

}  // namespace

int64_t json_read_int64(json_reader* r) {
  char* end = nullptr;
  long long value = std::strtoll(r->cursor, &end, 0);
  finish_integer(r, end);
  return value;
}

uint64_t json_read_uint64(json_reader* r) {
  json_skip_space(r);
  if (*r->cursor == '-') {
    r->error_code = JSON_BAD_NUMBER_FORMAT;
    return 0;
  }
  char* end = nullptr;
  unsigned long long value = std::strtoull(r->cursor, &end, 0);
  finish_integer(r, end);
  return value;
}

int32_t json_read_int32(json_reader* r) {
  char* const saved = r->cursor;
  int64_t value = json_read_int64(r);
  if (r->error_code != JSON_OK) {
    r->cursor = saved;
  } else if (value < INT32_MIN || value > INT32_MAX) {
    r->cursor = saved;
    r->error_code = JSON_NUMBER_OUT_OF_RANGE;
  }
  return static_cast<int32_t>(value);
}

uint32_t json_read_uint32(json_reader* r) {
  char* const saved = r->cursor;
  uint64_t value = json_read_uint64(r);
  if (r->error_code != JSON_OK) {
    r->cursor = saved;
  } else if (value > UINT32_MAX) {
    r->cursor = saved;
    r->error_code = JSON_NUMBER_OUT_OF_RANGE;
  }
  return static_cast<uint32_t>(value);
}

int json_skip_number(json_reader* r) {
  json_skip_space(r);
  const char* p = r->cursor;
  if (*p == '-') ++p;
  while (is_digit(*p)) ++p;
  if (*p == '.') {
    ++p;
    if (!is_digit(*p)) {
      r->error_code = JSON_BAD_NUMBER_FORMAT;
      return JSON_BAD_NUMBER_FORMAT;
    }
    while (is_digit(*p)) ++p;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!is_digit(*p)) {
      r->error_code = JSON_BAD_NUMBER_FORMAT;
      return JSON_BAD_NUMBER_FORMAT;
    }
    while (is_digit(*p)) ++p;
  }
  r->cursor += p - r->cursor;
  return 0;
}

char* json_read_string(json_reader* r) {
  json_skip_space(r);
  char* const quote = r->cursor;
  if (*quote == '\0') {
    r->error_code = JSON_PREMATURE_END;
    return nullptr;
  }
  if (*quote != '"') {
    r->error_code = JSON_STRING_EXPECTED;
    return nullptr;
  }
  char* const result = quote + 1;
  char* in = result;

  // Fast path: while no escape has been met the write position equals the
  // read position, so plain bytes need no copy.
  while (BYTE_CLASSES.string[byte_at(in)] == STRING_PLAIN) ++in;
  char* out = in;

  for (;;) {
    switch (BYTE_CLASSES.string[byte_at(in)]) {
      case STRING_PLAIN:
        *out++ = *in++;
        break;
      case STRING_QUOTE:
        *out = '\0';
        r->cursor = in + 1;
        return result;
      case STRING_END:
        r->error_code = JSON_PREMATURE_END;
        r->cursor = quote;
        return nullptr;
      case STRING_BAD:
        r->error_code = JSON_BAD_STRING_CHAR;
        r->cursor = in;
        return nullptr;
      case STRING_BACKSLASH: {
        char decoded;
        switch (in[1]) {
          case '"':
            decoded = '"';
            break;
          case '/':
            decoded = '/';
            break;
          case '\\':
            decoded = '\\';
            break;
          case 'b':
            decoded = '\b';
            break;
          case 'f':
            decoded = '\f';
            break;
          case 'n':
            decoded = '\n';
            break;
          case 'r':
            decoded = '\r';
            break;
          case 't':
            decoded = '\t';
            break;
          case 'u':
            if (!starts_with(in + 2, "0000")) {
              r->error_code = JSON_UNSUPPORTED_UNICODE;
              r->cursor = in;
              return nullptr;
            }
            *out++ = '\0';
            in += 6;
            continue;
          default:  // any other byte, the terminating NUL included
            r->error_code = JSON_BAD_ESCAPE;
            r->cursor = in;
            return nullptr;
        }
        *out++ = decoded;
        in += 2;
        break;
      }
    }
  }
}

namespace {

// After white space: consumes `opening`, or records `missing` and leaves the
// cursor on the byte found.
int open_container(json_reader* r, char opening, json_error_code missing) {
  json_skip_space(r);
  if (*r->cursor == opening) {
    ++r->cursor;
    return 0;
  }
  r->error_code = missing;
  return missing;
}

// After white space: consumes ',' (0, more follows) or `closing` (1, the
// end), or records `missing`.
int next_in_container(json_reader* r, char closing, json_error_code missing) {
  json_skip_space(r);
  if (*r->cursor == ',') {
    ++r->cursor;
    return 0;
  }
  if (*r->cursor == closing) {
    ++r->cursor;
    return 1;
  }
  r->error_code = missing;
  return missing;
}

// After white space: consumes `closing` (1), or leaves the cursor there (0).
int close_container(json_reader* r, char closing) {
  json_skip_space(r);
  if (*r->cursor == closing) {
    ++r->cursor;
    return 1;
  }
  return 0;
}

}  // namespace

int json_begin_object(json_reader* r) { return open_container(r, '{', JSON_OBJECT_EXPECTED); }

char* json_read_key(json_reader* r) {
  char* name = json_read_string(r);  // skips white space itself
  if (name == nullptr) return nullptr;
  json_skip_space(r);
  if (*r->cursor == ':') {
    ++r->cursor;
  } else {
    r->error_code = JSON_NAME_SEPARATOR_EXPECTED;
  }
  return name;
}

int json_next_member(json_reader* r) {
  return next_in_container(r, '}', JSON_OBJECT_SEPARATOR_EXPECTED);
}

int json_end_object(json_reader* r) { return close_container(r, '}'); }

int json_begin_array(json_reader* r) { return open_container(r, '[', JSON_ARRAY_EXPECTED); }

int json_next_element(json_reader* r) {
  return next_in_container(r, ']', JSON_ARRAY_SEPARATOR_EXPECTED);
}

int json_end_array(json_reader* r) { return close_container(r, ']'); }

int json_skip_value(json_reader* r) { return skip_value_at(r, 0); }

int json_skip_object(json_reader* r) { return skip_container_at<true>(r, 1); }

int json_skip_array(json_reader* r) { return skip_container_at<false>(r, 1); }

int json_peek_bool(const json_reader* r) { return *r->cursor == 't' || *r->cursor == 'f'; }
int json_peek_null(const json_reader* r) { return *r->cursor == 'n'; }
int json_peek_number(const json_reader* r) { return *r->cursor == '-' || is_digit(*r->cursor); }
int json_peek_string(const json_reader* r) { return *r->cursor == '"'; }
int json_peek_object(const json_reader* r) { return *r->cursor == '{'; }
int json_peek_array(const json_reader* r) { return *r->cursor == '['; }

}  // extern "C"

namespace {

// `depth` is the nesting level of the value's enclosing container (0 for the
// value that json_skip_value was called on); a container opened here is at
// level depth + 1.
int skip_value_at(json_reader* r, int depth) {
  json_skip_space(r);
  switch (*r->cursor) {
    case '"':
      json_read_string(r);
      break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      json_skip_number(r);
      break;
    case '[':
    case '{':
      if (depth >= JSON_MAX_NESTING_DEPTH) {
        r->error_code = JSON_NESTING_TOO_DEEP;  // cursor stays on the bracket
      } else if (*r->cursor == '[') {
        skip_container_at<false>(r, depth + 1);
      } else {
        skip_container_at<true>(r, depth + 1);
      }
      break;
    case 't':
    case 'f':
      json_read_bool(r);
      break;
    case 'n':
      json_read_null(r);
      break;
    default:
      r->error_code = JSON_VALUE_EXPECTED;
      break;
  }
  return r->error_code;
}

// An object's members (OBJECT) or an array's elements are walked alike; an
// object's have a name first.
template <bool OBJECT>
int skip_container_at(json_reader* r, int depth) {
  json_skip_space(r);
  int code = OBJECT ? json_begin_object(r) : json_begin_array(r);
  if (code != 0) return code;
  if ((OBJECT ? json_end_object(r) : json_end_array(r)) == 1) return 0;
  for (;;) {
    if (r->error_code != JSON_OK) return r->error_code;
    if (OBJECT && (json_read_key(r) == nullptr || r->error_code != JSON_OK)) return r->error_code;
    code = skip_value_at(r, depth);
    if (code != 0) return code;
    if ((OBJECT ? json_next_member(r) : json_next_element(r)) == 1) return r->error_code;
  }
}

}  // namespace
