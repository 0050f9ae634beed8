// The table operations: growth, replacement of repeated names, sorting and
// both kinds of search.
#include "harness/panel_config_table.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness/diag_recorder.hpp"
#include "harness/files.hpp"
#include "panel_config/panel_config.hpp"

namespace {

using harness::diag_recorder;
using harness::new_table;
using harness::table_ptr;

std::string nth_name(int i) {
  // Not in sorted order when inserted: the digits are reversed.
  std::string digits = std::to_string(i);
  return "VAR_" + std::string(digits.rbegin(), digits.rend()) + "_" + std::to_string(i);
}

struct growth_case {
  int names;
  std::size_t capacity;
};

class Growth : public testing::TestWithParam<growth_case> {};

TEST_P(Growth, DoublesFromTwentyAndKeepsEveryEntry) {
  const growth_case& c = GetParam();
  harness::temp_tree dir;
  std::string content;
  for (int i = 0; i < c.names; i++) content += nth_name(i) + " value" + std::to_string(i) + "\n";
  std::string path = dir.write("vrk.conf", content);
  diag_recorder log;
  table_ptr table = new_table();
  ASSERT_EQ(panel_config_parse_file(path.c_str(), table.get()), 0);
  EXPECT_EQ(table->capacity, c.capacity);
  EXPECT_EQ(table->count, static_cast<std::size_t>(c.names));
  for (std::size_t i = 1; i < table->count; i++)
    EXPECT_LT(std::strcmp(table->entries[i - 1].name, table->entries[i].name), 0);
  for (int i = 0; i < c.names; i++)
    EXPECT_STREQ(panel_config_find(table.get(), nth_name(i).c_str()),
                 ("value" + std::to_string(i)).c_str());
  EXPECT_TRUE(log.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Growth,
                         testing::Values(growth_case{0, 20}, growth_case{1, 20},
                                         growth_case{20, 20}, growth_case{21, 40},
                                         growth_case{25, 40}, growth_case{41, 80},
                                         growth_case{200, 320}),
                         [](const testing::TestParamInfo<growth_case>& info) {
                           return std::to_string(info.param.names) + "Names";
                         });

TEST(Table, PutReplacesInPlaceAndKeepsOrder) {
  table_ptr table = new_table();
  ASSERT_EQ(panel_config_put(table.get(), "B", "1"), 0);
  ASSERT_EQ(panel_config_put(table.get(), "A", "2"), 0);
  EXPECT_EQ(table->sorted, 0);
  panel_config_sort(table.get());
  ASSERT_NE(table->sorted, 0);
  ASSERT_EQ(panel_config_put(table.get(), "B", "3"), 0);
  EXPECT_NE(table->sorted, 0) << "replacing a value keeps the order";
  EXPECT_EQ(table->count, 2u);
  EXPECT_STREQ(table->entries[1].name, "B");
  EXPECT_STREQ(table->entries[1].value, "3");
  ASSERT_EQ(panel_config_put(table.get(), "0", "4"), 0);
  EXPECT_EQ(table->sorted, 0) << "a new name may break the order";
}

TEST(Table, PutCopiesItsArguments) {
  table_ptr table = new_table();
  char name[] = "NAME";
  char value[] = "value";
  ASSERT_EQ(panel_config_put(table.get(), name, value), 0);
  name[0] = 'X';
  value[0] = 'X';
  EXPECT_STREQ(panel_config_find(table.get(), "NAME"), "value");
}

TEST(Table, FindSearchesUnsortedAndSortedTables) {
  table_ptr table = new_table();
  std::vector<std::string> names = {"M", "C", "X", "A", "Q", "B"};
  for (const std::string& name : names)
    ASSERT_EQ(panel_config_put(table.get(), name.c_str(), ("v" + name).c_str()), 0);
  for (int sorted = 0; sorted < 2; sorted++) {
    if (sorted) panel_config_sort(table.get());
    ASSERT_EQ(table->sorted != 0, sorted != 0);
    for (const std::string& name : names)
      EXPECT_STREQ(panel_config_find(table.get(), name.c_str()), ("v" + name).c_str());
    for (const char* absent : {"", "0", "AA", "N", "Z", "m"})
      EXPECT_EQ(panel_config_find(table.get(), absent), nullptr) << absent;
  }
}

TEST(Table, EmptyTableFindsNothing) {
  table_ptr table = new_table();
  ASSERT_EQ(panel_config_reserve(table.get()), 0);
  EXPECT_NE(table->sorted, 0);
  EXPECT_EQ(table->capacity, PANEL_CONFIG_INITIAL_CAPACITY);
  EXPECT_EQ(panel_config_find(table.get(), "A"), nullptr);
}

TEST(Table, GrowthThatWouldOverflowFailsAndLeavesTheTable) {
  panel_config_entry slot{};
  std::size_t huge = SIZE_MAX / sizeof(panel_config_entry) / 2 + 1;
  panel_config table{&slot, huge, huge, 1};
  diag_recorder log;
  errno = 0;
  EXPECT_EQ(panel_config_reserve(&table), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(table.entries, &slot);
  EXPECT_EQ(table.capacity, huge);
  std::vector<harness::logged_message> expected = {
      {LOG_USER | LOG_WARNING,
       std::string("Unable to read configuration: ") + std::strerror(ENOMEM)}};
  EXPECT_EQ(log.messages(), expected);
}

}  // namespace
