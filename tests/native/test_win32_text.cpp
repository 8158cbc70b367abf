// The pure steps of the Windows error text, tested on every platform.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32_text.hpp"

namespace velmora::win32 {
namespace {

TEST(Win32Text, ResultCode) {
    struct Case { std::uint32_t error, code; };
    const Case cases[] = {
        {0, 0},                          // success stays 0
        {2, 0x80070002},                 // ERROR_FILE_NOT_FOUND
        {5, 0x80070005},
        {0x7FFFFFFF, 0x8007FFFF},        // largest positive: only the low 16 bits survive
        {0x00012345, 0x80072345},
        {0x80070002, 0x80070002},        // already a failure code: negative, unchanged
        {0xC0000022, 0xC0000022},
        {0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto& c : cases) EXPECT_EQ(result_code(c.error), c.code) << std::hex << c.error;
}

TEST(Win32Text, MessageLookup) {
    struct Case { std::uint32_t code, id; bool ntdll; };
    const Case cases[] = {
        {0x80070002, 0x80070002, false},
        {0x00000000, 0x00000000, false},
        {0xD0000022, 0xC0000022, true},  // HRESULT_FROM_NT: the NT bit is cleared for ntdll
        {0x10000000, 0x00000000, true},
        {0xFFFFFFFF, 0xEFFFFFFF, true},
    };
    for (const auto& c : cases) {
        const auto lookup = message_lookup(c.code);
        EXPECT_EQ(lookup.id, c.id) << std::hex << c.code;
        EXPECT_EQ(lookup.from_ntdll, c.ntdll) << std::hex << c.code;
    }
}

TEST(Win32Text, TrimTrailingSpace) {
    struct Case { std::u16string_view in, out; };
    const Case cases[] = {
        {u"", u""},
        {u"text", u"text"},
        {u"text.\r\n", u"text."},
        {u"a b \t\n\v\f\r ", u"a b"},
        {u" \t\r\n", u""},
        {u"  leading kept", u"  leading kept"},
        {u"nbsp\u00A0", u"nbsp\u00A0"},  // only the six ASCII spaces are trimmed
    };
    for (const auto& c : cases) EXPECT_EQ(trim_trailing_space(c.in), c.out);
}

TEST(Win32Text, Utf16ToUtf8) {
    struct Case { std::u16string in; std::string out; };
    const Case cases[] = {
        {u"", ""},
        {u"abc", "abc"},
        {std::u16string(1, u'\0') + u"x", std::string(1, '\0') + "x"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},           // surrogate pair
        {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        {{char16_t(0xD800)}, "\xEF\xBF\xBD"},           // lone high at the end
        {{char16_t(0xD800), u'A'}, "\xEF\xBF\xBD" "A"}, // high not followed by low
        {{char16_t(0xDC00), u'A'}, "\xEF\xBF\xBD" "A"}, // lone low
        {{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // reversed pair
        {{char16_t(0xD800), char16_t(0xD83D), char16_t(0xDE00)}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_utf8(c.in), c.out);
}

TEST(Win32Text, FormatCode) {
    EXPECT_EQ(format_code(0), "0x00000000");
    EXPECT_EQ(format_code(0x80070002), "0x80070002");
    EXPECT_EQ(format_code(0xABCDEF), "0x00ABCDEF");
    EXPECT_EQ(format_code(0xFFFFFFFF), "0xFFFFFFFF");
}

TEST(Win32Text, ComposeMessage) {
    struct Case { std::u16string_view text; std::uint32_t code; std::string out; };
    const Case cases[] = {
        {u"The system cannot find the file specified.\r\n", 0x80070002,
         "The system cannot find the file specified. (0x80070002)"},
        {u"Zugriff verweigert \u00FC\r\n", 0x80070005, "Zugriff verweigert \xC3\xBC (0x80070005)"},
        {u" \r\n", 0x80070002, "0x80070002"},
        {u"", 0, "0x00000000"},
    };
    for (const auto& c : cases) EXPECT_EQ(compose_message(c.text, c.code), c.out);
}

}  // namespace
}  // namespace velmora::win32
