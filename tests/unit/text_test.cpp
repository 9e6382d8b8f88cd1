// text_test.cpp: the wide and UTF-16 conversions round-trip every scalar value and refuse the rest.
#include "client/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, RoundTripsAndRefusals)
{
    // One of each UTF-8 length, at both ends of its range.
    const std::wstring wide = L"A\x7F\x80\x7FF\x800\xFFFF\x10000\x10FFFF";
    const auto         utf8 = kst::WideToUtf8(wide);
    ASSERT_TRUE(utf8);
    EXPECT_EQ(*utf8, "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(kst::Utf8ToWide(*utf8), wide);
    const auto utf16 = kst::Utf8ToUtf16(*utf8);
    ASSERT_TRUE(utf16);
    EXPECT_EQ(*utf16, (std::u16string{u'A', 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}));
    EXPECT_EQ(kst::Utf16ToUtf8(*utf16), utf8);

    // Overlong, surrogate, beyond U+10FFFF, truncated, stray continuation.
    for (std::string_view bad : {"\xC0\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
        EXPECT_FALSE(kst::IsUtf8(bad)) << testing::PrintToString(bad);
        EXPECT_FALSE(kst::Utf8ToWide(bad));
    }
    EXPECT_FALSE(kst::Utf16ToUtf8(std::u16string{u'a', 0xD800}));
    EXPECT_FALSE(kst::Utf16ToUtf8(std::u16string{0xDC00, u'a'}));
    EXPECT_FALSE(kst::WideToUtf8(std::wstring{static_cast<wchar_t>(0xD800)}));
    EXPECT_FALSE(kst::WideToUtf8(std::wstring{static_cast<wchar_t>(0x110000)}));
}

}  // namespace
