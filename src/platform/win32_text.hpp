// Text of Windows operating-system errors. The pure steps (result code,
// message lookup choice, trimming, UTF-16 to UTF-8, code formatting) need no
// OS header, so they build and are tested on every platform; only
// system_message() asks the system and exists on Windows alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::win32 {

// Result codes with this bit set are NT status values; their texts live in
// ntdll.dll rather than in the system message table.
inline constexpr std::uint32_t kNtStatusBit = 0x10000000;

// The HRESULT for a thread's last error: positive errors become
// 0x8007xxxx (Win32 facility), zero and "negative" values pass unchanged.
[[nodiscard]] std::uint32_t result_code(std::uint32_t last_error) noexcept;

// Where FormatMessageW looks a result code up: the message id to ask for and
// whether the table is ntdll.dll's (the NT status bit cleared for the lookup).
struct MessageLookup {
    std::uint32_t id;
    bool from_ntdll;
};
[[nodiscard]] MessageLookup message_lookup(std::uint32_t code) noexcept;

// The system texts end in "\r\n" (sometimes with spaces); drop the tail of
// tab, line feed, vertical tab, form feed, carriage return and space.
[[nodiscard]] std::u16string_view trim_trailing_space(std::u16string_view text) noexcept;

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
[[nodiscard]] std::string to_utf8(std::u16string_view text);

// "0x" and eight upper-case hexadecimal digits.
[[nodiscard]] std::string format_code(std::uint32_t code);

// "{text} ({code})", or "{code}" alone when the trimmed text is empty.
[[nodiscard]] std::string compose_message(std::u16string_view system_text, std::uint32_t code);

#ifdef _WIN32
// The message of an OS failure whose last error was `last_error`, with the
// system's own text for it.
[[nodiscard]] std::string system_message(std::uint32_t last_error);
#endif

}  // namespace velmora::win32
