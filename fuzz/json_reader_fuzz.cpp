// libFuzzer target for the JSON reader.
//
// Every input is run against an independent model of the reader written
// as plainly as possible (no tables, no fast paths): after each operation the
// result, the error code, the cursor and the whole text buffer must agree.
// The text is an exact-size heap copy, so AddressSanitizer sees any read past
// its NUL.
//
// Input forms:
//   - anything not starting with 0x01 or 0x02: the whole input is the text,
//     and json_skip_value runs over it (JSON seeds land here);
//   - 0x01, operation bytes, 0x00, text: the operations (byte % 23, see
//     run_op) run one after the other until the first failure;
//   - 0x02, code (4 bytes), errno (1 byte), offset (2 bytes), detail flag,
//     text: json_error_message on a hand-made reader state.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness/fuzz_check.hpp"
#include "json_reader/json_reader.hpp"

namespace {

// ---------------------------------------------------------------------------
// reader_model of the reader over a std::string that holds the text and its NUL.

struct reader_model {
  std::string buf;  // text bytes + terminating NUL
  size_t pos = 0;
  int code = JSON_OK;

  char at(size_t i) const { return buf[i]; }  // never past the first NUL
  static bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  bool literal(const char* word) const {
    for (size_t i = 0; word[i] != '\0'; ++i) {
      if (at(pos + i) != word[i]) return false;
    }
    return true;
  }

  void ws() {
    while (space(at(pos))) ++pos;
  }
  int read_bool() {
    ws();
    if (literal("true")) return pos += 4, 1;
    if (literal("false")) return pos += 5, 0;
    code = JSON_BOOL_EXPECTED;
    return 0;
  }
  int read_null() {
    ws();
    if (literal("null")) return pos += 4, 0;
    return code = JSON_NULL_EXPECTED;
  }
  // Returns the offset of the result, or -1.
  long read_string() {
    ws();
    if (at(pos) == '\0') return code = JSON_PREMATURE_END, -1;
    if (at(pos) != '"') return code = JSON_STRING_EXPECTED, -1;
    const size_t quote = pos;
    size_t r = quote + 1, w = quote + 1;
    for (;;) {
      const char c = at(r);
      if (c == '\0') return code = JSON_PREMATURE_END, pos = quote, -1;
      if (c == '"') {
        buf[w] = '\0';
        pos = r + 1;
        return static_cast<long>(quote + 1);
      }
      if (c == '\\') {
        const char e = at(r + 1);
        char out;
        if (e == '"' || e == '/' || e == '\\')
          out = e;
        else if (e == 'b')
          out = '\b';
        else if (e == 'f')
          out = '\f';
        else if (e == 'n')
          out = '\n';
        else if (e == 'r')
          out = '\r';
        else if (e == 't')
          out = '\t';
        else if (e == 'u') {
          if (!(at(r + 2) == '0' && at(r + 3) == '0' && at(r + 4) == '0' && at(r + 5) == '0'))
            return code = JSON_UNSUPPORTED_UNICODE, pos = r, -1;
          buf[w++] = '\0';
          r += 6;
          continue;
        } else {
          return code = JSON_BAD_ESCAPE, pos = r, -1;
        }
        buf[w++] = out;
        r += 2;
        continue;
      }
      if (static_cast<signed char>(c) < 0x20) return code = JSON_BAD_STRING_CHAR, pos = r, -1;
      buf[w++] = buf[r++];
    }
  }
  long read_key() {
    const long name = read_string();
    if (name < 0) return name;
    ws();
    if (at(pos) == ':')
      ++pos;
    else
      code = JSON_NAME_SEPARATOR_EXPECTED;
    return name;
  }
  int skip_number() {
    ws();
    size_t p = pos;
    if (at(p) == '-') ++p;
    while (digit(at(p))) ++p;
    if (at(p) == '.') {
      ++p;
      if (!digit(at(p))) return code = JSON_BAD_NUMBER_FORMAT;
      while (digit(at(p))) ++p;
    }
    if (at(p) == 'e' || at(p) == 'E') {
      ++p;
      if (at(p) == '+' || at(p) == '-') ++p;
      if (!digit(at(p))) return code = JSON_BAD_NUMBER_FORMAT;
      while (digit(at(p))) ++p;
    }
    pos = p;
    return 0;
  }
  int begin(char open, int err) {
    ws();
    if (at(pos) == open) return ++pos, 0;
    return code = err;
  }
  int end(char close) {
    ws();
    if (at(pos) == close) return ++pos, 1;
    return 0;
  }
  int next(char close, int err) {
    ws();
    if (at(pos) == ',') return ++pos, 0;
    if (at(pos) == close) return ++pos, 1;
    return code = err;
  }
  int skip_value(int depth) {
    ws();
    const char c = at(pos);
    if (c == '"')
      read_string();
    else if (c == '-' || digit(c))
      skip_number();
    else if (c == '[' || c == '{') {
      if (depth >= JSON_MAX_NESTING_DEPTH)
        code = JSON_NESTING_TOO_DEEP;
      else if (c == '[')
        skip_array(depth + 1);
      else
        skip_object(depth + 1);
    } else if (c == 't' || c == 'f')
      read_bool();
    else if (c == 'n')
      read_null();
    else
      code = JSON_VALUE_EXPECTED;
    return code;
  }
  int skip_object(int depth) {
    ws();
    if (int c = begin('{', JSON_OBJECT_EXPECTED)) return c;
    if (end('}') == 1) return 0;
    for (;;) {
      if (code != 0) return code;
      if (read_key() < 0 || code != 0) return code;
      if (int c = skip_value(depth)) return c;
      if (next('}', JSON_OBJECT_SEPARATOR_EXPECTED) == 1) return code;
    }
  }
  int skip_array(int depth) {
    ws();
    if (int c = begin('[', JSON_ARRAY_EXPECTED)) return c;
    if (end(']') == 1) return 0;
    for (;;) {
      if (code != 0) return code;
      if (int c = skip_value(depth)) return c;
      if (next(']', JSON_ARRAY_SEPARATOR_EXPECTED) == 1) return code;
    }
  }
  // Integer readers: defined through strtoll/strtoull.
  template <typename T, typename Convert>
  T read_integer(Convert convert) {
    char* begin_ptr = &buf[pos];
    char* end_ptr = nullptr;
    errno = 0;
    T value = convert(begin_ptr, &end_ptr, 0);
    if (end_ptr == begin_ptr) return code = JSON_NUMBER_EXPECTED, value;
    if (errno == ERANGE) return code = JSON_NUMBER_OUT_OF_RANGE, value;
    pos += static_cast<size_t>(end_ptr - begin_ptr);
    if (at(pos) == '.' || at(pos) == 'e' || at(pos) == 'E') code = JSON_BAD_NUMBER_FORMAT;
    return value;
  }
  int64_t read_int64() { return read_integer<long long>(std::strtoll); }
  uint64_t read_uint64() {
    ws();
    if (at(pos) == '-') return code = JSON_BAD_NUMBER_FORMAT, 0;
    return read_integer<unsigned long long>(std::strtoull);
  }
  int32_t read_int32() {
    const size_t saved = pos;
    const int64_t v = read_int64();
    if (code != 0)
      pos = saved;
    else if (v < INT32_MIN || v > INT32_MAX)
      pos = saved, code = JSON_NUMBER_OUT_OF_RANGE;
    return static_cast<int32_t>(v);
  }
  uint32_t read_uint32() {
    const size_t saved = pos;
    const uint64_t v = read_uint64();
    if (code != 0)
      pos = saved;
    else if (v > UINT32_MAX)
      pos = saved, code = JSON_NUMBER_OUT_OF_RANGE;
    return static_cast<uint32_t>(v);
  }
};

// ---------------------------------------------------------------------------

struct subject {
  size_t size;
  char* text;
  json_reader* reader;
  reader_model model;

  subject(const uint8_t* data, size_t n) : size(n), text(static_cast<char*>(std::malloc(n + 1))) {
    if (n != 0) std::memcpy(text, data, n);
    text[n] = '\0';
    reader = json_reader_create(text, nullptr);
    CHECK(reader != nullptr);
    model.buf.assign(text, n + 1);
  }
  ~subject() {
    json_reader_destroy(reader);
    std::free(text);
  }
  size_t offset() const { return static_cast<size_t>(reader->cursor - reader->start); }

  void agree() const {
    CHECK(reader->start == text);
    CHECK(reader->cursor >= text && reader->cursor <= text + size);
    CHECK(offset() == model.pos);
    CHECK(reader->error_code == model.code);
    CHECK(std::memcmp(text, model.buf.data(), size + 1) == 0);
  }
};

// Runs operation `op` on both; returns false once the reader has failed.
bool run_op(subject& s, unsigned op) {
  json_reader* r = s.reader;
  reader_model& m = s.model;
  const size_t before = s.offset();
  switch (op % 23) {
    case 0:
      json_skip_space(r);
      m.ws();
      break;
    case 1:
      CHECK(json_read_bool(r) == m.read_bool());
      break;
    case 2:
      CHECK(json_read_null(r) == m.read_null());
      break;
    case 3: {
      errno = 0;
      const int64_t got = json_read_int64(r);
      const int64_t want = m.read_int64();
      if (m.code == 0 || m.code == JSON_BAD_NUMBER_FORMAT) CHECK(got == want);
      break;
    }
    case 4: {
      errno = 0;
      const uint64_t got = json_read_uint64(r);
      const uint64_t want = m.read_uint64();
      if (m.code == 0) CHECK(got == want);
      break;
    }
    case 5: {
      errno = 0;
      const int32_t got = json_read_int32(r);
      const int32_t want = m.read_int32();
      if (m.code == 0) CHECK(got == want);
      if (m.code != 0) CHECK(s.offset() == before);
      break;
    }
    case 6: {
      errno = 0;
      const uint32_t got = json_read_uint32(r);
      const uint32_t want = m.read_uint32();
      if (m.code == 0) CHECK(got == want);
      if (m.code != 0) CHECK(s.offset() == before);
      break;
    }
    case 7:
      CHECK(json_skip_number(r) == m.skip_number());
      break;
    case 8:
    case 9: {
      char* got = (op % 23 == 8) ? json_read_string(r) : json_read_key(r);
      const long want = (op % 23 == 8) ? m.read_string() : m.read_key();
      CHECK(want < 0 ? got == nullptr : got == s.text + want);
      if (got != nullptr) {
        CHECK(got < r->cursor);
        for (const char* p = got; *p != '\0'; ++p) CHECK(static_cast<unsigned char>(*p) < 0x80);
      }
      break;
    }
    case 10:
      CHECK(json_begin_object(r) == m.begin('{', JSON_OBJECT_EXPECTED));
      break;
    case 11:
      CHECK(json_next_member(r) == m.next('}', JSON_OBJECT_SEPARATOR_EXPECTED));
      break;
    case 12:
      CHECK(json_end_object(r) == m.end('}'));
      break;
    case 13:
      CHECK(json_begin_array(r) == m.begin('[', JSON_ARRAY_EXPECTED));
      break;
    case 14:
      CHECK(json_next_element(r) == m.next(']', JSON_ARRAY_SEPARATOR_EXPECTED));
      break;
    case 15:
      CHECK(json_end_array(r) == m.end(']'));
      break;
    case 16:
      CHECK(json_skip_value(r) == m.skip_value(0));
      break;
    case 17:
      CHECK(json_skip_object(r) == m.skip_object(1));
      break;
    case 18:
      CHECK(json_skip_array(r) == m.skip_array(1));
      break;
    case 19: {
      const char c = *r->cursor;
      CHECK(json_peek_bool(r) == (c == 't' || c == 'f'));
      CHECK(json_peek_null(r) == (c == 'n'));
      CHECK(json_peek_number(r) == (c == '-' || (c >= '0' && c <= '9')));
      CHECK(json_peek_string(r) == (c == '"'));
      CHECK(json_peek_object(r) == (c == '{'));
      CHECK(json_peek_array(r) == (c == '['));
      break;
    }
    default: {  // 20..22: walk one value the way a binding would, by lookahead
      json_skip_space(r);
      m.ws();
      if (json_peek_object(r))
        CHECK(json_skip_object(r) == m.skip_object(1));
      else if (json_peek_array(r))
        CHECK(json_skip_array(r) == m.skip_array(1));
      else
        CHECK(json_skip_value(r) == m.skip_value(0));
      break;
    }
  }
  s.agree();
  // Only the 32-bit readers move back, and only to where they started.
  CHECK(s.offset() >= before);
  return r->error_code == JSON_OK;
}

// Checks json_error_message against what its pieces must be.
void check_message(const json_reader* r, int err) {
  errno = err;
  const char* message = json_error_message(r);
  CHECK(errno == err);
  const std::string text = message;
  CHECK(text.size() < static_cast<size_t>(JSON_ERROR_BUFFER_SIZE));
  if (r->error_code == JSON_OK) {
    CHECK(text == "OK, no error.");
    return;
  }
  char piece[64];
  std::snprintf(piece, sizeof piece, " Error occured at offset %zu",
                static_cast<size_t>(r->cursor - r->start));
  std::string tail = piece;
  const unsigned char c = static_cast<unsigned char>(*r->cursor);
  if (c >= 0x20 && c <= 0x7E)
    std::snprintf(piece, sizeof piece, ", character '%c'. ", c);
  else
    std::snprintf(piece, sizeof piece, ", character '\\x%.02x'. ", static_cast<unsigned>(c));
  tail += piece;
  if (err != 0)
    tail += std::string("Also system error occured: ") + std::strerror(err) + " (" +
            std::to_string(err) + ").";
  if (text.size() < static_cast<size_t>(JSON_ERROR_BUFFER_SIZE) - 1) {
    CHECK(text.size() > tail.size());
    CHECK(text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
  }
  const unsigned code = static_cast<unsigned>(r->error_code);
  if (code >= 21 && code <= 23 && r->error_detail != nullptr) {
    const std::string detail = r->error_detail;
    const size_t at = text.find(detail.substr(0, 900));
    CHECK(at != std::string::npos && at <= 60);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] == 0x01) {
    const uint8_t* ops = data + 1;
    const uint8_t* stop = static_cast<const uint8_t*>(std::memchr(ops, 0, size - 1));
    if (stop == nullptr) return 0;
    subject s(stop + 1, size - static_cast<size_t>(stop + 1 - data));
    for (const uint8_t* op = ops; op < stop; ++op) {
      if (!run_op(s, *op)) break;
    }
    check_message(s.reader, 0);
    s.agree();  // the message changes neither the reader nor the text
    return 0;
  }
  if (size >= 9 && data[0] == 0x02) {
    subject s(data + 9, size - 9);
    int32_t code;
    std::memcpy(&code, data + 1, sizeof code);
    const int err = data[5] % 134;  // errno values known to strerror
    const size_t offset = (static_cast<size_t>(data[6]) << 8 | data[7]) % (s.size + 1);
    s.reader->error_code = code;
    s.reader->cursor = s.reader->start + offset;
    s.reader->error_detail = (data[8] & 1) ? s.text : nullptr;
    check_message(s.reader, err);
    return 0;
  }
  subject s(data, size);
  CHECK(json_skip_value(s.reader) == s.model.skip_value(0));
  s.agree();
  check_message(s.reader, 0);
  return 0;
}
