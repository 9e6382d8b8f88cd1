// user_roots_test.cpp: the per-user roots' defaults, an override and a refused override.
#include "client/user_roots.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

using kst::MapUserRoot;
using kst::UserRoot;

TEST(UserRoots, DefaultsOverridesAndRefusals)
{
    for (const char *name : {"KSTNT_HKEY_USERS", "KSTNT_HKEY_CURRENT_USER", "KSTNT_HKEY_CURRENT_CONFIG"})
        unsetenv(name);
    std::string error;
    auto        user = MapUserRoot(UserRoot::CurrentUser, error);
    ASSERT_TRUE(user) << error;
    EXPECT_EQ(user->root, 2u);
    EXPECT_EQ(user->path, "HKEY_USERS\\S-1-22-1-" + std::to_string(getuid()));
    EXPECT_EQ(MapUserRoot(UserRoot::CurrentConfig, error)->path,
              "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current");

    // Moving HKEY_USERS moves every user's root with it; separators of either kind, repeated, fold.
    setenv("KSTNT_HKEY_USERS", "hkcr//People\\", 1);
    user = MapUserRoot(UserRoot::CurrentUser, error);
    ASSERT_TRUE(user) << error;
    EXPECT_EQ(user->root, 1u);
    EXPECT_EQ(user->path, "People\\S-1-22-1-" + std::to_string(getuid()));

    for (const char *bad : {"HKEY_CURRENT_USER\\X", "HKLM", "HKLM\\..\\X", "nowhere"}) {
        setenv("KSTNT_HKEY_CURRENT_USER", bad, 1);
        EXPECT_FALSE(MapUserRoot(UserRoot::CurrentUser, error)) << bad;
        EXPECT_NE(error.find("KSTNT_HKEY_CURRENT_USER"), std::string::npos) << error;
    }
    unsetenv("KSTNT_HKEY_USERS");
    unsetenv("KSTNT_HKEY_CURRENT_USER");
}

}  // namespace
