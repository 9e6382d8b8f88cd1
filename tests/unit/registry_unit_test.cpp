// registry_unit_test.cpp: the registry's length limits, exactly at, one under and one over each, and its
// paths and lookups, on a key tree loaded from a temporary directory.
#include "registry/operations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// A registry whose LOCAL_MACHINE root is a fresh temporary directory, loaded as the daemon loads it.
class RegistryUnit : public ::testing::Test {
protected:
    void SetUp() override
    {
        char base[] = "/tmp/kst-registry-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        base_ = base;
        root_ = base_ + "/registry/HKEY_LOCAL_MACHINE";
        fs::create_directories(root_ + "/A/B");
        fs::create_directories(root_ + "/TWIN");
        fs::create_directories(root_ + "/twin");
        SetLocalMachineRoot(root_.c_str());
        LoadRegistry();
        lm_ = ResolveKey(kLocalMachineHandle);
        ASSERT_NE(lm_, nullptr);
    }
    void TearDown() override
    {
        UnLoadRegistry();
        fs::remove_all(base_);
    }
    // The identity of the key a path names below from (LOCAL_MACHINE by default), or the last-error word.
    uint64_t Create(std::string path, uint64_t from = kLocalMachineHandle)
    {
        uint64_t key = 0;
        return RegCreateKeyEx(from, path.data(), 0, nullptr, 0, 0, nullptr, &key, nullptr) ? key : GetLastError();
    }

    std::string base_, root_;
    KeyNode    *lm_ = nullptr;
};

// The name field check: 255 characters and a NUL are a name, 256 without one are refused, never read on.
TEST(RegistryLimits, NameFieldNeedsItsNulWithinTheField)
{
    char field[kNameField];
    std::memset(field, 'n', sizeof field);
    EXPECT_EQ(NameArg(field), nullptr);
    field[kNameField - 1] = '\0';
    EXPECT_EQ(NameArg(field), field);
}

// Among keys whose names differ only in case the first in the list wins: after loading the smaller byte
// order, after a create the newest. Growing the index and removing keys keep that, and enumeration
// positions follow the list.
TEST_F(RegistryUnit, CaseTwinsResolveToTheFirstInTheListWhateverTheIndexDoes)
{
    KeyNode *upper = FindKey(lm_, "twin");
    ASSERT_NE(upper, nullptr);
    EXPECT_STREQ(KeyName(upper), "TWIN");
    KeyNode *newest = AddKeyNode(lm_, "Twin");
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(FindKey(lm_, "TWIN"), newest);
    for (int i = 0; i < 3000; ++i)
        ASSERT_NE(AddKeyNode(lm_, std::string("K").append(std::to_string(i))), nullptr);
    EXPECT_EQ(FindKey(lm_, "twin"), newest);
    EXPECT_EQ(NthChild(lm_, 3000), newest);  // the enumeration cursor now stands on it
    RemoveKeyNode(newest);
    EXPECT_EQ(FindKey(lm_, "twin"), upper);
    EXPECT_STREQ(KeyName(NthChild(lm_, 3001)), "TWIN");
    EXPECT_STREQ(KeyName(NthChild(lm_, 3000)), "A");

    // Every ASCII letter folds, in names given by clients and in the index; the neighbours do not.
    char name[] = "abcdefghijklmnopqrstuvwxyz@[`{\\";
    ConvertSubKey(name);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ@[`{/");
    KeyNode *lower = AddKeyNode(lm_, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(FindKey(lm_, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"), lower);
}

// A new key's full path, closing "//" included, holds at most 4095 characters: one leaf character more is
// refused, so the path builder's limit is held exactly at both sides of its NUL.
TEST_F(RegistryUnit, CreateTakesAKeyWhoseFullPathFillsThePathExactly)
{
    const std::string level(200, 'N');
    uint64_t          parent = kLocalMachineHandle;
    std::size_t       full = root_.size() + 2;  // LOCAL_MACHINE's own full path
    while (full + 2 * (level.size() + 2) < kMaxPath) {
        parent = Create(level, parent);
        ASSERT_GT(parent, kLocalMachineHandle);
        full += level.size() + 2;
    }
    const std::size_t room = kMaxPath - 1 - full - 2;  // leaf characters that still fit
    ASSERT_TRUE(room > 0 && room < kNameField);
    EXPECT_EQ(Create(std::string(room + 1, 'X'), parent), kErrFileSystem);
    const uint64_t fits = Create(std::string(room, 'X'), parent);
    ASSERT_GT(fits, kLocalMachineHandle);
    RegPath path;
    ASSERT_TRUE(GetRegFullPath(KeyOfIdentity(fits), path));
    EXPECT_EQ(path.length, kMaxPath - 1);
}

}  // namespace
