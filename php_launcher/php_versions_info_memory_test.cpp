// Allocation of the registry records: growth of the handler array, release
// through the static reader, and allocation failures injected through the
// hooks.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "harness/php_registry.hpp"
#include "php_launcher/php_versions_info.hpp"

namespace {

using harness::counting_allocator;
using harness::handler_json;
using harness::parsed_registry;
using harness::registry_json;

bool all_zero(const php_handler& slot) {
  static const php_handler zero = {};
  return memcmp(&slot, &zero, sizeof slot) == 0;
}

struct growth_case {
  size_t handlers;
  size_t capacity;
  size_t reallocations;
};

class HandlerArrayGrowth : public testing::TestWithParam<growth_case> {};

TEST_P(HandlerArrayGrowth, StartsAt18ThenDoubles) {
  const growth_case& c = GetParam();
  counting_allocator hooks;
  {
    parsed_registry parsed(registry_json(c.handlers), &hooks.hooks);
    ASSERT_EQ(parsed.code(), JSON_OK);
    const php_versions_info& root = *parsed.root();
    EXPECT_EQ(root.count, c.handlers);
    EXPECT_EQ(root.capacity, c.capacity);
    // The reader context and the root come from `allocate`, the array from `reallocate`.
    EXPECT_EQ(hooks.calls, 2 + c.reallocations);
    for (size_t i = 0; i < root.count; i++)
      EXPECT_EQ(std::string(root.items[i].id), "h" + std::to_string(i));
    for (size_t i = root.count; i < root.capacity; i++)
      EXPECT_TRUE(all_zero(root.items[i])) << "slot " << i;
  }
  EXPECT_TRUE(hooks.live.empty());
}

INSTANTIATE_TEST_SUITE_P(Capacities, HandlerArrayGrowth,
                         testing::Values(growth_case{0, 0, 0}, growth_case{1, 18, 1},
                                         growth_case{17, 18, 1}, growth_case{18, 18, 1},
                                         growth_case{19, 36, 2}, growth_case{36, 36, 2},
                                         growth_case{37, 72, 3}, growth_case{145, 288, 5}));

TEST(RepeatedPhpMember, LastArrayAloneIsVisible) {
  parsed_registry parsed("{\"php\":[" + handler_json("a") + "," + handler_json("b") + "," +
                         handler_json("c") + "],\"php\":[" + handler_json("d") + "]}");
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_EQ(parsed.root()->count, 1u);
  EXPECT_EQ(parsed.root()->capacity, 18u);
  EXPECT_STREQ(parsed.item(0).id, "d");
}

TEST(RepeatedPhpMember, CapacityStaysAndEmptyArrayResetsCount) {
  std::string first = registry_json(19);
  first.pop_back();  // drop the root's closing brace
  parsed_registry parsed(first + ",\"php\":[" + handler_json("x", ",\"system\":true") + "," +
                         handler_json("y") + "]}");
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_EQ(parsed.root()->count, 2u);
  EXPECT_EQ(parsed.root()->capacity, 36u);
  EXPECT_STREQ(parsed.item(0).id, "x");
  EXPECT_EQ(parsed.item(0).system, 1);
  EXPECT_STREQ(parsed.item(1).id, "y");

  parsed_registry emptied("{\"php\":[" + handler_json("a") + "],\"php\":[]}");
  ASSERT_EQ(emptied.code(), JSON_OK);
  EXPECT_EQ(emptied.root()->count, 0u);
  EXPECT_EQ(emptied.root()->capacity, 18u);
}

// Allocation calls during a parse of 19 handlers: 1 reader, 2 root,
// 3 first growth (18), 4 second growth (36).
struct refusal_case {
  size_t refused_call;
  bool reader_made;
  bool root_made;
  size_t count;
  size_t capacity;
};

class AllocationFailure : public testing::TestWithParam<refusal_case> {};

TEST_P(AllocationFailure, ReportsOutOfMemoryAndLeaksNothing) {
  const refusal_case& c = GetParam();
  counting_allocator hooks(c.refused_call);
  {
    parsed_registry parsed(registry_json(19), &hooks.hooks);
    ASSERT_EQ(parsed.reader() != nullptr, c.reader_made);
    ASSERT_EQ(parsed.root() != nullptr, c.root_made);
    if (c.root_made) {
      EXPECT_EQ(parsed.code(), JSON_OUT_OF_MEMORY);
      EXPECT_EQ(parsed.root()->count, c.count);
      EXPECT_EQ(parsed.root()->capacity, c.capacity);
      EXPECT_EQ(parsed.root()->items == nullptr, c.capacity == 0);
      if (c.count > 0) {
        EXPECT_STREQ(parsed.item(c.count - 1).id, ("h" + std::to_string(c.count - 1)).c_str());
      }
    }
  }
  EXPECT_TRUE(hooks.live.empty());
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, AllocationFailure,
                         testing::Values(refusal_case{1, false, false, 0, 0},
                                         refusal_case{2, true, false, 0, 0},
                                         refusal_case{3, true, true, 0, 0},
                                         refusal_case{4, true, true, 18, 18}));

TEST(StaticReader, ResetsToEmptyTextAndDefaultHooks) {
  json_allocator defaults;
  json_default_allocator(&defaults);
  counting_allocator counting;

  json_reader* reader = json_static_reader(&counting.hooks);
  EXPECT_EQ(reader->allocator.user, &counting);
  reader->error_code = JSON_BAD_ESCAPE;
  reader->error_detail = "detail";

  json_reader* again = json_static_reader(nullptr);
  EXPECT_EQ(again, reader);
  ASSERT_NE(again->start, nullptr);
  EXPECT_EQ(again->cursor, again->start);
  EXPECT_EQ(*again->start, '\0');
  EXPECT_EQ(again->error_detail, nullptr);
  EXPECT_EQ(again->error_code, JSON_OK);
  EXPECT_EQ(again->allocator.user, defaults.user);
  EXPECT_EQ(again->allocator.allocate, defaults.allocate);
  EXPECT_EQ(again->allocator.reallocate, defaults.reallocate);
  EXPECT_EQ(again->allocator.free, defaults.free);
}

TEST(StaticReader, ReleasesRecordsAfterTheirReaderIsGone) {
  counting_allocator hooks;
  std::string text = registry_json(20);
  json_reader* reader = json_reader_create(text.data(), &hooks.hooks);
  ASSERT_NE(reader, nullptr);
  php_versions_info* root = php_versions_info_create(reader);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(php_versions_info_parse(reader, root), JSON_OK);
  json_reader_destroy(reader);
  ASSERT_EQ(hooks.live.size(), 2u);  // the root and its array

  php_versions_info_free(json_static_reader(&hooks.hooks), root);
  EXPECT_TRUE(hooks.live.empty());
  EXPECT_EQ(hooks.frees, 3u);
}

TEST(RegistryRelease, ClearEmptiesTheRootAndKeepsIt) {
  counting_allocator hooks;
  parsed_registry parsed(registry_json(3), &hooks.hooks);
  ASSERT_EQ(parsed.code(), JSON_OK);
  php_versions_info_clear(parsed.reader(), parsed.root());
  EXPECT_EQ(parsed.root()->count, 0u);
  EXPECT_EQ(parsed.root()->capacity, 0u);
  EXPECT_EQ(parsed.root()->items, nullptr);
  EXPECT_EQ(hooks.live.size(), 2u);  // the reader context and the root
}

TEST(RegistryLoad, SucceedsWithDefaultHooks) {
  std::string text = registry_json(2);
  php_versions_info* root = reinterpret_cast<php_versions_info*>(&text);  // overwritten by the load
  ASSERT_EQ(php_versions_info_load(&root, text.data()), 0);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->count, 2u);
  EXPECT_STREQ(root->items[1].id, "h1");
  php_versions_info_free(json_static_reader(nullptr), root);
}

}  // namespace
