// access_policy_test.cpp: the policy file's grammar and the decisions the daemon and kstctl share.
#include "common/access_policy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

AccessPolicy Parse(const std::string &text)
{
    std::string error;
    auto        policy = ParsePolicy(text, "access.conf", error);
    EXPECT_TRUE(policy) << error;
    return policy ? std::move(*policy) : AccessPolicy{};
}

sockaddr_storage Address(const char *text)
{
    sockaddr_storage address{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in &>(address).sin_addr) == 1)
        address.ss_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6 &>(address).sin6_addr) == 1)
        address.ss_family = AF_INET6;
    return address;
}

TEST(AccessPolicy, GrammarAndEveryDecisionFromBothSides)
{
    const AccessPolicy p = Parse("  # comment line\n"
                                 "allow root all\n"
                                 "allow uid:1000 write hklm/Software//Orn  # a comment after a directive\n"
                                 "allow * notify HKCU\\Watched\n"
                                 "allow uid:1000 objects uid:1001 signal,close\n"
                                 "allow remote 10.1.0.0/16\nallow remote ::1\n"
                                 "quota uid:1000 objects=2\nquota * objects=9 waits=unlimited\n"
                                 "reserve root-connections=4\n");
    EXPECT_TRUE(MayDoAll(p, 0));
    EXPECT_FALSE(MayDoAll(p, 1000));
    // A write covers its key and below, never a sibling that only shares the name's start.
    EXPECT_TRUE(MayWriteKey(p, 1000, "HKLM/SOFTWARE/ORN"));
    EXPECT_TRUE(MayWriteKey(p, 1000, "HKLM/SOFTWARE/ORN/X"));
    EXPECT_FALSE(MayWriteKey(p, 1000, "HKLM/SOFTWARE/ORNAMENT"));
    EXPECT_FALSE(MayWriteKey(p, 1001, "HKLM/SOFTWARE/ORN"));
    EXPECT_TRUE(MayWriteKey(p, 1001, "HKLM/HKEY_USERS/S-1-22-1-1001/A")) << "its own HKCU";
    EXPECT_FALSE(MayWriteKey(p, 1001, "HKLM/HKEY_USERS/S-1-22-1-1000")) << "not another's";
    EXPECT_FALSE(MayWriteKey(p, kRemoteUid, "HKLM/HKEY_USERS/S-1-22-1-4294967294"));
    // HKCU in a line means each caller's own subtree.
    EXPECT_TRUE(MayNotifyKey(p, 1001, "HKLM/HKEY_USERS/S-1-22-1-1001/WATCHED/X"));
    EXPECT_FALSE(MayNotifyKey(p, 1001, "HKLM/HKEY_USERS/S-1-22-1-1000/WATCHED"));
    EXPECT_TRUE(MayUseObject(p, 1000, 1001, ObjectVerb::Signal));
    EXPECT_FALSE(MayUseObject(p, 1000, 1001, ObjectVerb::Open));
    EXPECT_FALSE(MayUseObject(p, 1001, 1000, ObjectVerb::Signal));
    EXPECT_TRUE(MayUseObject(p, 1001, 1001, ObjectVerb::Open)) << "its own objects fully";
    EXPECT_TRUE(MayUseObject(p, 0, 1001, ObjectVerb::Signal));
    EXPECT_FALSE(MayOpenByName(p, 0, 1001)) << "a name taken ahead of root is not handed to root";
    EXPECT_TRUE(MayOpenByName(p, 1001, 1001));
    EXPECT_TRUE(MayCallFrom(p, Address("10.1.200.3")));
    EXPECT_FALSE(MayCallFrom(p, Address("10.2.0.1")));
    EXPECT_TRUE(MayCallFrom(p, Address("::1")));
    EXPECT_TRUE(MayCallFrom(p, Address("::ffff:10.1.0.9"))) << "a mapped IPv4 address is the IPv4 one";
    EXPECT_EQ(QuotaLimit(p, 1000, Quota::Objects), 2u) << "the first matching line wins";
    EXPECT_EQ(QuotaLimit(p, 7, Quota::Objects), 9u);
    EXPECT_EQ(QuotaLimit(p, 7, Quota::Waits), kNoLimit);
    EXPECT_EQ(QuotaLimit(p, 7, Quota::Keys), kNoLimit);
    EXPECT_EQ(p.reserve_root_connections, 4u);

    const AccessPolicy none;
    EXPECT_TRUE(MayWriteKey(none, 5, "HKLM/SOFTWARE") && MayCallFrom(none, Address("192.0.2.1")));
    EXPECT_EQ(QuotaLimit(none, 5, Quota::Objects), kNoLimit);
}

TEST(AccessPolicy, AnyBadLineRejectsTheWholeFileNamingItsLine)
{
    for (const auto &[text, message] : std::vector<std::pair<std::string, std::string>>{
             {"allow root all\nallow bob all\n", "access.conf:2: 'bob' names no caller"},
             {"allow uid:x all\n", "access.conf:1: bad uid"},
             {"allow root write SOFTWARE\\X\n", "access.conf:1: 'SOFTWARE\\X' is no key"},
             {"allow root write HKLM\\..\\X\n", "access.conf:1: 'HKLM\\..\\X' is no key"},
             {"allow root objects root open,fly\n", "access.conf:1: 'fly' is no verb"},
             {"allow remote 10.0.0.0/33\n", "access.conf:1: bad prefix"},
             {"quota * objects=-1\n", "access.conf:1: bad number"},
             {"quota * files=3\n", "access.conf:1: 'files=3': quotas are"},
             {"deny root all\n", "access.conf:1: unknown directive"},
             {"allow root all extra\n", "access.conf:1: allow takes"}}) {
        std::string error;
        EXPECT_FALSE(ParsePolicy(text, "access.conf", error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << text << " -> " << error;
    }
    std::string error;
    const auto  policy = ParsePolicy("allow group:no-such-group-here all\n", "access.conf", error);
    ASSERT_TRUE(policy) << "a name that resolves to no one does not stop the start";
    EXPECT_FALSE(MayDoAll(*policy, 0));
    EXPECT_EQ(policy->notes.size(), 1u);
}

}  // namespace
