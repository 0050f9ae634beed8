// json_skip_value over the JSONTestSuite parsing corpus (robustness), and the
// record of where the reader's narrow subset of JSON differs from a
// conforming parser.
//
// A document counts as accepted when json_skip_value returns 0 and only white
// space follows the value up to the end of the file (the reader itself has no
// end-of-document operation; a binding that wants one tests the rest this way).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness/files.hpp"
#include "harness/json_text.hpp"
#include "json_reader/json_reader.hpp"

#ifndef VAREK_JSON_TEST_SUITE_DIR
#error "VAREK_JSON_TEST_SUITE_DIR must name the JSONTestSuite test_parsing directory"
#endif

namespace {

namespace fs = std::filesystem;

constexpr int ACCEPTED = 0;

struct read_outcome {
  int code;       // JSON_OK, or the code the skip stopped on; -1: value skipped but more follows
  size_t cursor;  // offset of the cursor after the skip
};

// Runs json_skip_value over the document and checks that the cursor stayed
// inside the text. ACCEPTED when the whole document was one value.
read_outcome skip_document(const std::string& bytes) {
  harness::json_text t(bytes);
  EXPECT_NE(t.r(), nullptr);
  const int code = json_skip_value(t.r());
  EXPECT_EQ(code, t.code());
  EXPECT_GE(t.r()->cursor, t.r()->start);
  EXPECT_LE(t.r()->cursor, t.r()->start + bytes.size());
  read_outcome outcome{code, t.at()};
  if (code == JSON_OK) {
    json_skip_space(t.r());
    if (t.at() != bytes.size()) outcome.code = -1;
  }
  // The message must be producible for any state the skip left.
  const char* message = json_error_message(t.r());
  EXPECT_LT(std::strlen(message), static_cast<size_t>(JSON_ERROR_BUFFER_SIZE));
  return outcome;
}

// The "plain" part of JSON that the reader must accept: the text is printable
// ASCII plus JSON white space, strings hold no \u escape, and every number is
// a plain integer.
bool is_plain(const std::string& text) {
  for (unsigned char c : text) {
    if (!((c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r')) return false;
  }
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        if (i + 1 < text.size() && text[i + 1] == 'u') return false;
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t j = i;
      while (j < text.size() && std::strchr("+-0123456789.eE", text[j]) != nullptr) ++j;
      const std::string number = text.substr(i, j - i);
      const size_t digits = number[0] == '-' ? 1 : 0;
      if (number.size() == digits) return false;
      if (number.find_first_not_of("0123456789", digits) != std::string::npos) return false;
      i = j - 1;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// The narrow subset, recorded case by case (runs with or without the corpus).

struct subset_case {
  const char* what;
  std::string text;
  int conforming;  // ACCEPTED if a conforming parser accepts it, else 1
  int reader;      // what the reader does: ACCEPTED, -1 (trailing text) or its code
};

const std::vector<subset_case>& subset_cases() {
  static const std::vector<subset_case> cases = {
      // Refused although valid JSON.
      {"UTF-8 in a string", "[\"\xc3\xa9\"]", ACCEPTED, JSON_BAD_STRING_CHAR},
      {"\\u escape other than 0000", R"(["\u0041"])", ACCEPTED, JSON_UNSUPPORTED_UNICODE},
      {"surrogate pair escape", R"(["\ud834\udd1e"])", ACCEPTED, JSON_UNSUPPORTED_UNICODE},
      {"DEL is copied, not refused", "[\"\x7f\"]", ACCEPTED, ACCEPTED},
      {"deep nesting past the bound",
       std::string(JSON_MAX_NESTING_DEPTH + 1, '[') + std::string(JSON_MAX_NESTING_DEPTH + 1, ']'),
       ACCEPTED, JSON_NESTING_TOO_DEEP},
      // Accepted by the skip although not JSON.
      {"lone minus", "[-]", 1, ACCEPTED},
      {"minus then fraction", "[-.5]", 1, ACCEPTED},
      {"leading zeros", "[007]", 1, ACCEPTED},
      {"negative leading zero", "[-01]", 1, ACCEPTED},
      {"vertical tab and form feed as white space", "[\v1,\f2]", 1, ACCEPTED},
      {"escaped NUL is valid JSON", R"(["a\u0000b"])", ACCEPTED, ACCEPTED},
      // Refused, as by a conforming parser.
      {"fraction without digit", "[1.]", 1, JSON_BAD_NUMBER_FORMAT},
      {"exponent without digit", "[1e]", 1, JSON_BAD_NUMBER_FORMAT},
      {"plus sign", "[+1]", 1, JSON_VALUE_EXPECTED},
      {"leading dot", "[.5]", 1, JSON_VALUE_EXPECTED},
      {"hex number", "[0x10]", 1, JSON_ARRAY_SEPARATOR_EXPECTED},
      {"tab inside a string", "[\"a\tb\"]", 1, JSON_BAD_STRING_CHAR},
      {"trailing comma in an array", "[1,]", 1, JSON_VALUE_EXPECTED},
      {"trailing comma in an object", R"({"a":1,})", 1, JSON_STRING_EXPECTED},
      {"single quotes", "['a']", 1, JSON_VALUE_EXPECTED},
      {"bad escape", R"(["\x"])", 1, JSON_BAD_ESCAPE},
      // Not tested by the skip: what follows a value (no end-of-document op).
      {"garbage after the value", "[1]x", 1, -1},
      {"literal followed by letters", "truex", 1, -1},
  };
  return cases;
}

TEST(NarrowSubset, RecordedDifferencesFromConformingJson) {
  for (const subset_case& c : subset_cases()) {
    const read_outcome got = skip_document(c.text);
    EXPECT_EQ(got.code, c.reader) << c.what;
  }
}

TEST(NarrowSubset, PlainClassifier) {
  EXPECT_TRUE(is_plain(R"({"a":[1,-2,true,null,"x\n"]})"));
  EXPECT_FALSE(is_plain("[1.5]"));
  EXPECT_FALSE(is_plain("[1e5]"));
  EXPECT_FALSE(is_plain("[-]"));
  EXPECT_FALSE(is_plain(R"(["\u0041"])"));
  EXPECT_FALSE(is_plain("[\"\xc3\xa9\"]"));
  EXPECT_TRUE(is_plain(R"(["1.5e3"])")) << "numbers inside strings do not count";
}

// ---------------------------------------------------------------------------
// The corpus. Outcomes that differ from a conforming parser are listed here,
// so that a change of the accepted subset is noticed.

// y_ files (valid JSON) that the reader refuses, with the code it stops on.
// Every one is a string holding UTF-8 (code 9) or a \u escape other than
// \u0000 (code 10).
const std::map<std::string, int> REFUSED_VALID = {
    {"y_object_string_unicode.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_1_2_3_bytes_UTF-8_sequences.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_accepted_surrogate_pair.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_accepted_surrogate_pairs.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_escaped_control_character.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_escaped_noncharacter.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_last_surrogates_1_and_2.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_nbsp_uescaped.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_nonCharacterInUTF-8_U+10FFFF.json", JSON_BAD_STRING_CHAR},
    {"y_string_nonCharacterInUTF-8_U+FFFF.json", JSON_BAD_STRING_CHAR},
    {"y_string_one-byte-utf-8.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_pi.json", JSON_BAD_STRING_CHAR},
    {"y_string_reservedCharacterInUTF-8_U+1BFFF.json", JSON_BAD_STRING_CHAR},
    {"y_string_surrogates_U+1D11E_MUSICAL_SYMBOL_G_CLEF.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_three-byte-utf-8.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_two-byte-utf-8.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_u+2028_line_sep.json", JSON_BAD_STRING_CHAR},
    {"y_string_u+2029_par_sep.json", JSON_BAD_STRING_CHAR},
    {"y_string_uEscape.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_uescaped_newline.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicodeEscapedBackslash.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_2.json", JSON_BAD_STRING_CHAR},
    {"y_string_unicode_U+10FFFE_nonchar.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_U+1FFFE_nonchar.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_U+200B_ZERO_WIDTH_SPACE.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_U+2064_invisible_plus.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_U+FDD0_nonchar.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_U+FFFE_nonchar.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_unicode_escaped_double_quote.json", JSON_UNSUPPORTED_UNICODE},
    {"y_string_utf8.json", JSON_BAD_STRING_CHAR},
};

// n_ files (invalid JSON) that the reader accepts as one whole value.
// The lenient number forms of json_skip_number (lone '-', leading zeros,
// no integer part) and form feed as white space.
const std::set<std::string> ACCEPTED_INVALID = {
    "n_array_just_minus.json",
    "n_number_-01.json",
    "n_number_neg_int_starting_with_zero.json",
    "n_number_neg_real_without_int_part.json",
    "n_number_with_leading_zero.json",
    "n_structure_whitespace_formfeed.json",
};

// i_ files (either way) that the reader accepts; the others it refuses.
// Numbers of any size can be skipped, 500 levels are within the nesting bound;
// every i_ file with UTF-8, UTF-16 or a \u escape is refused.
const std::set<std::string> ACCEPTED_IMPLEMENTATION_DEFINED = {
    "i_number_double_huge_neg_exp.json",  "i_number_huge_exp.json",
    "i_number_neg_int_huge_exp.json",     "i_number_pos_double_huge_exp.json",
    "i_number_real_neg_overflow.json",    "i_number_real_pos_overflow.json",
    "i_number_real_underflow.json",       "i_number_too_big_neg_int.json",
    "i_number_too_big_pos_int.json",      "i_number_very_big_negative_int.json",
    "i_structure_500_nested_arrays.json",
};

// n_ files that stop on the nesting bound (code 100), which an unbounded
// recursion would have turned into a stack overflow.
const std::set<std::string> STOPPED_BY_NESTING_BOUND = {
    "n_structure_100000_opening_arrays.json",
    "n_structure_open_array_object.json",
};

struct corpus_file {
  std::string name;
  std::string bytes;
};

std::vector<corpus_file> load_corpus() {
  std::vector<corpus_file> files;
  const fs::path dir = VAREK_JSON_TEST_SUITE_DIR;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".json") continue;
    files.push_back({entry.path().filename().string(), harness::read_file(entry.path())});
  }
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  return files;
}

class Corpus : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = load_corpus();
    if (files_.empty()) GTEST_SKIP() << "JSONTestSuite not found at " << VAREK_JSON_TEST_SUITE_DIR;
  }
  std::vector<corpus_file> files_;
};

TEST_F(Corpus, SkipValueOverEveryFileStaysInsideTheText) {
  // skip_document checks the cursor bounds; AddressSanitizer (asan preset)
  // checks every read against the exact-size copy.
  for (const corpus_file& f : files_) {
    SCOPED_TRACE(f.name);
    skip_document(f.bytes);
  }
}

TEST_F(Corpus, PlainValidDocumentsAreAccepted) {
  int plain = 0;
  for (const corpus_file& f : files_) {
    if (f.name.rfind("y_", 0) != 0 || !is_plain(f.bytes)) continue;
    ++plain;
    EXPECT_EQ(skip_document(f.bytes).code, ACCEPTED) << f.name;
    EXPECT_EQ(REFUSED_VALID.count(f.name), 0u)
        << f.name << " is plain and must not be listed as refused";
  }
  EXPECT_GT(plain, 20) << "the classifier should find the plain part of the corpus";
}

TEST_F(Corpus, OutcomesMatchTheRecord) {
  std::set<std::string> names;
  for (const corpus_file& f : files_) {
    names.insert(f.name);
    const read_outcome got = skip_document(f.bytes);
    const bool accepted = got.code == ACCEPTED;
    if (f.name.rfind("y_", 0) == 0) {
      auto it = REFUSED_VALID.find(f.name);
      if (it == REFUSED_VALID.end()) {
        EXPECT_TRUE(accepted) << f.name << " refused with code " << got.code << " at "
                              << got.cursor;
      } else {
        EXPECT_EQ(got.code, it->second) << f.name;
      }
    } else if (f.name.rfind("n_", 0) == 0) {
      EXPECT_EQ(got.code == JSON_NESTING_TOO_DEEP, STOPPED_BY_NESTING_BOUND.count(f.name) == 1)
          << f.name << " code " << got.code;
      EXPECT_EQ(accepted, ACCEPTED_INVALID.count(f.name) == 1)
          << f.name << " code " << got.code << " at " << got.cursor;
    } else if (f.name.rfind("i_", 0) == 0) {
      EXPECT_EQ(accepted, ACCEPTED_IMPLEMENTATION_DEFINED.count(f.name) == 1)
          << f.name << " code " << got.code << " at " << got.cursor;
    }
  }
  for (const auto& [name, code] : REFUSED_VALID) EXPECT_EQ(names.count(name), 1u) << name;
  for (const auto& name : ACCEPTED_INVALID) EXPECT_EQ(names.count(name), 1u) << name;
  for (const auto& name : ACCEPTED_IMPLEMENTATION_DEFINED) EXPECT_EQ(names.count(name), 1u) << name;
  for (const auto& name : STOPPED_BY_NESTING_BOUND) EXPECT_EQ(names.count(name), 1u) << name;
}

}  // namespace
