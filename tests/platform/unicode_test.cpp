// Counted strings and the bounded printf: results, and above all that
// nothing is ever written past the destination.
#include "platform/kernel/unicode.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

// A destination of Capacity characters between two fences that must stay whole.
template <std::size_t Capacity>
struct Fenced {
    static constexpr WCHAR kFence = 0xFEFE;
    std::array<WCHAR, 4> Before;
    std::array<WCHAR, Capacity> Buffer;
    std::array<WCHAR, 4> After;

    Fenced()
    {
        Before.fill(kFence);
        Buffer.fill(kFence);
        After.fill(kFence);
    }
    UNICODE_STRING String()
    {
        return UNICODE_STRING{0, static_cast<USHORT>(Capacity * sizeof(WCHAR)), Buffer.data()};
    }
    bool FencesWhole() const
    {
        for (std::size_t i = 0; i < 4; ++i) {
            if (Before[i] != kFence || After[i] != kFence) {
                return false;
            }
        }
        return true;
    }
};

TEST(UnicodePrintf, FormatsTheConversionsDriversUse)
{
    auto format = [](auto... args) {
        Fenced<64> out;
        UNICODE_STRING s = out.String();
        const NTSTATUS status = RtlUnicodeStringPrintf(&s, args...);
        EXPECT_TRUE(out.FencesWhole());
        return std::pair{status, std::u16string(platform::View(s))};
    };
    const std::pair<NTSTATUS, std::u16string> results[] = {
        format(u"%ws%ws%d", u"\\Device\\", u"X9TRmdm", 3),
        format(u"USB\\Vid_%04x&Pid_%04x&Mi_%02x", 0x0abc, 0x1d2e, 2),
        format(u"DisableIf_%02x", 0x0A),
        format(u"%X|%u|%i|%d", 0xBEEFu, 4000000000u, -7, -2147483647 - 1),
        format(u"[%5d][%-5d][%05d]", 42, 42, -42),
        format(u"%s and %hs and %S", u"wide", "narrow", "narrow too"),
        format(u"%c%c 100%%", u'O', u'K'),
        format(u"%.3ws|%I64x|%llu", u"abcdef", 0x123456789ull, 18446744073709551615ull),
        format(u"%ws", static_cast<const WCHAR*>(nullptr)),
    };
    const std::pair<NTSTATUS, std::u16string> expected[] = {
        {STATUS_SUCCESS, u"\\Device\\X9TRmdm3"},
        {STATUS_SUCCESS, u"USB\\Vid_0abc&Pid_1d2e&Mi_02"},
        {STATUS_SUCCESS, u"DisableIf_0a"},
        {STATUS_SUCCESS, u"BEEF|4000000000|-7|-2147483648"},
        {STATUS_SUCCESS, u"[   42][42   ][-0042]"},
        {STATUS_SUCCESS, u"wide and narrow and narrow too"},
        {STATUS_SUCCESS, u"OK 100%"},
        {STATUS_SUCCESS, u"abc|123456789|18446744073709551615"},
        {STATUS_SUCCESS, u"(null)"},
    };
    for (std::size_t i = 0; i < std::size(results); ++i) {
        EXPECT_EQ(results[i].first, expected[i].first) << "case " << i;
        EXPECT_EQ(platform::Utf16ToUtf8(results[i].second), platform::Utf16ToUtf8(expected[i].second)) << "case " << i;
    }
}

TEST(UnicodePrintf, OverflowKeepsWhatFitsAndNothingMore)
{
    Fenced<8> out;
    UNICODE_STRING s = out.String();
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%ws%d", u"\\Device\\X9TRmdm", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(platform::View(s), u"\\Device\\");
    EXPECT_TRUE(out.FencesWhole());

    // An odd MaximumLength gives the whole characters below it.
    Fenced<8> odd;
    UNICODE_STRING t = odd.String();
    t.MaximumLength = 7;
    EXPECT_EQ(RtlUnicodeStringPrintf(&t, u"abcdefgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(platform::View(t), u"abc");
    EXPECT_EQ(odd.Buffer[3], Fenced<8>::kFence);
}

TEST(UnicodePrintf, MalformedFormatsAreRefused)
{
    Fenced<16> out;
    UNICODE_STRING s = out.String();
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%d"), STATUS_INVALID_PARAMETER);           // no argument
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%ws", 5), STATUS_INVALID_PARAMETER);        // number for a string
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%d", u"text"), STATUS_INVALID_PARAMETER);   // string for a number
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%q", 1), STATUS_INVALID_PARAMETER);         // unknown conversion
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"ends in %", 1), STATUS_INVALID_PARAMETER);  // cut short
    EXPECT_TRUE(out.FencesWhole());
}

TEST(UnicodePrintf, NulTerminatedFormOfTheSame)
{
    WCHAR buffer[12];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof(buffer), u"Mi_%02x", 1), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"Mi_01");
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof(buffer), u"%ws", u"0123456789abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"0123456789a");
}

TEST(CountedStrings, CopyAppendCompare)
{
    WCHAR storage[6];
    UNICODE_STRING dest{0, sizeof(storage), storage};
    UNICODE_STRING abc = RTL_CONSTANT_STRING(u"abc");
    UNICODE_STRING abcdefgh = RTL_CONSTANT_STRING(u"abcdefgh");

    RtlCopyUnicodeString(&dest, &abcdefgh); // cut to the capacity
    EXPECT_EQ(platform::View(dest), u"abcdef");
    RtlCopyUnicodeString(&dest, &abc);
    EXPECT_EQ(platform::View(dest), u"abc");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"de"), STATUS_SUCCESS);
    EXPECT_EQ(platform::View(dest), u"abcde");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"fg"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(platform::View(dest), u"abcde");

    UNICODE_STRING upper = RTL_CONSTANT_STRING(u"ABC");
    EXPECT_TRUE(RtlEqualUnicodeString(&abc, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&abc, &upper, FALSE));
    EXPECT_LT(RtlCompareUnicodeString(&abc, &abcdefgh, FALSE), 0);
}

TEST(CountedStrings, AnsiConversion)
{
    UNICODE_STRING key = RTL_CONSTANT_STRING(u"X9TRmdm\u00e9\u4e2d");
    EXPECT_EQ(RtlxUnicodeStringToAnsiSize(&key), 10u);
    ANSI_STRING allocated{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&allocated, &key, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(allocated.Buffer, allocated.Length), "X9TRmdm\xe9?");
    RtlFreeAnsiString(&allocated);

    char small[4];
    ANSI_STRING bounded{0, sizeof(small), small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&bounded, &key, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(small), "X9T");
}

TEST(CountedStrings, Utf8RoundTrip)
{
    for (const std::string text : {"", "COM3", "H\xc3\xa9llo", "\xf0\x9f\x93\xb1 handset"}) {
        EXPECT_EQ(platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)), text);
    }
    EXPECT_EQ(platform::Utf8ToUtf16("\xff"), u"\ufffd");
}

} // namespace
