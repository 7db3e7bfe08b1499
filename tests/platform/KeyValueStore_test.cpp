#include "platform/KeyValueStore.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {
using test::TempDir;

const std::string kKey = "Software\\Qor\\Vidoria\\settings";

TEST(KeyValueStore, TypedValuesRoundTripThroughTheFile) {
  TempDir dir;
  const std::vector<std::string> strings = {"", "plain", "  leading and trailing  ", "a=b;c#d [x]",
                                            "two\nlines\r\n", "tab\there", "back\\slash\\", "100% ü 日本"};
  {
    TKeyValueStore store(dir / "v.ini");
    for (size_t i = 0; i < strings.size(); ++i) store.WriteString(kKey, "s" + std::to_string(i), strings[i]);
    store.WriteInteger(kKey, "big", -(int64_t{1} << 60));
    store.WriteBool(kKey, "flag", true);
    store.WriteBinary(kKey + "\\Nested", "bin", {0x00, 0xFF, 0x10});
    ASSERT_TRUE(store.Save());
  }
  TKeyValueStore store(dir / "v.ini");
  ASSERT_TRUE(store.Load());
  for (size_t i = 0; i < strings.size(); ++i) EXPECT_EQ(store.ReadString(kKey, "s" + std::to_string(i)), strings[i]);
  EXPECT_EQ(store.ReadInteger(kKey, "big"), -(int64_t{1} << 60));
  EXPECT_EQ(store.ReadBool(kKey, "flag"), true);
  EXPECT_EQ(store.ReadBinary(kKey + "\\Nested", "bin"), (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
  EXPECT_EQ(store.SubKeys(kKey), std::vector<std::string>{"Nested"});
  EXPECT_FALSE(store.ReadInteger(kKey, "s1").has_value()) << "a string is not an integer";
  store.DeleteKey(kKey);
  EXPECT_FALSE(store.KeyExists(kKey));
}

TEST(KeyValueStore, InstancesKeepEachOthersValues) {
  TempDir dir;
  TKeyValueStore a(dir / "v.ini"), b(dir / "v.ini");
  ASSERT_TRUE(a.Load());
  ASSERT_TRUE(b.Load());
  a.WriteString("Software\\Qor\\Vidoria", "Completion_Status", "3");
  b.WriteString(kKey, "Gen_Theme", "Dark");
  ASSERT_TRUE(a.Save());
  ASSERT_TRUE(b.Save());  // b never saw a's value, yet must not drop it
  TKeyValueStore c(dir / "v.ini");
  ASSERT_TRUE(c.Load());
  EXPECT_EQ(c.ReadString("Software\\Qor\\Vidoria", "Completion_Status"), "3");
  EXPECT_EQ(c.ReadString(kKey, "Gen_Theme"), "Dark");
}

TEST(KeyValueStore, DamagedFilesLoadEmptyWithAReason) {
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"binary", std::string("\x00\x01\x02[x]\nA=1\n", 12)},
      {"invalid UTF-8", "[k]\nA=\xC3\x28\n"},
      {"truncated header", "[Software\\Qor"},
      {"truncated line", "[k]\nA=1\nGen_Work"},
      {"value before any key", "A=1\n"},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    test::WriteFile(dir / "v.ini", c.text);
    TKeyValueStore store(dir / "v.ini");
    std::string error;
    EXPECT_FALSE(store.Load(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(store.KeyExists("k"));
    // Saving over it keeps the damaged file aside for the user.
    store.WriteString("k", "B", "2");
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(test::ReadFile(dir / "v.ini.damaged"), c.text);
  }
  TempDir dir;
  TKeyValueStore missing(dir / "v.ini");
  EXPECT_TRUE(missing.Load()) << "no file yet is a first start, not damage";
}

TEST(KeyValueStore, FailedSaveKeepsChangesPending) {
  TempDir dir;
  // A folder where the file should be: the rename fails even for root.
  std::filesystem::create_directories(dir / "v.ini");
  TKeyValueStore store(dir / "v.ini");
  store.WriteString(kKey, "A", "1");
  std::string error;
  EXPECT_FALSE(store.Save(&error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(store.HasPendingChanges());
  EXPECT_EQ(store.ReadString(kKey, "A"), "1");
}

}  // namespace
}  // namespace vidoria
