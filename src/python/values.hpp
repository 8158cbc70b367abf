// The value codec on Python objects: encoding chosen by a value's Python type,
// decoding chosen by a type tag, and the list-level pack/unpack built on them.
// Failures are raised as Python exceptions (ValueError for the codec's own
// checks; the interpreter's own exceptions pass through) and signalled by
// false / nullptr. Nothing is appended or consumed on failure.
#pragma once

#include "python/support.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec.hpp"
#include "python/ref.hpp"

namespace velmora::py {

// One value's encoding, described without copying it: a small inline head
// (the bytes of a bool/int/float, or a str's 4-byte count) followed by a body
// borrowed from the object (a str's UTF-8, a bytes/bytearray's contents).
// Valid while the object lives and no Python code runs.
struct EncodedView {
    std::uint8_t head[8];
    std::size_t head_len = 0;
    const std::uint8_t* body = nullptr;
    std::size_t body_len = 0;

    std::size_t size() const noexcept { return head_len + body_len; }
    // Copies the whole encoding to `dst` (which has room for size() bytes).
    void copy_to(std::uint8_t* dst) const noexcept;
};

// Whether this build takes any object that exports a buffer (the buffer
// protocol is in the limited API from 3.11 on).
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
inline constexpr bool kBufferProtocol = true;
#else
inline constexpr bool kBufferProtocol = false;
#endif

// Keeps an exporter's buffer pinned (it cannot be resized or freed) while an
// encoding borrows it; released with the hold.
class BufferHold {
public:
    BufferHold() = default;
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    ~BufferHold() { release(); }
    void release() noexcept;
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    Py_buffer view{};
#endif
    bool held = false;
};

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
// Takes `obj`'s buffer (`flags` plus its shape and format) into `hold`, and
// refuses one that is not plain data (core/formats.hpp): a ValueError, and
// nothing held.
[[nodiscard]] bool take_plain_buffer(PyObject* obj, BufferHold& hold, int flags);
#endif

// Describes `value`'s encoding. bytes, str and numbers cannot change; a
// bytearray can (the caller stages it if Python code or another thread may
// run before the copy). With a `hold`, any other buffer exporter is taken as
// raw C-contiguous bytes and pinned by it; without one (values inside lists)
// it is an unsupported type.
[[nodiscard]] bool encode_view(PyObject* value, EncodedView& out, BufferHold* hold);

// A writable, C-contiguous destination: a bytearray, or (3.11+) any writable
// buffer, pinned by `hold`.
[[nodiscard]] bool writable_target(PyObject* obj, const char* name, BufferHold& hold, std::uint8_t*& data,
                                   std::size_t& len);

// Appends the encoding of `value` to `out`.
[[nodiscard]] bool encode_value(PyObject* value, std::string& out);

// Decodes one value of form `tag` from [data, data + len). Never reads at or
// past `len`. Returns a new reference and sets `consumed`, or nullptr.
PyObject* decode_value(const std::uint8_t* data, std::uint64_t len, std::string_view tag,
                       std::uint64_t& consumed);

// Encodes every element of one value list, in order (lists inside fail as
// unsupported). Used for a pushed list and for list items of pack_items.
// `out` is left as it was before the call on failure.
[[nodiscard]] bool encode_list(PyObject* list, std::string& out);

// Packs a write_mixed item list: list items unfold one level, others encode as
// themselves. `out` is left as it was before the call on failure (empty,
// for a fresh buffer).
[[nodiscard]] bool pack_items(PyObject* items, std::string& out);

// Unpacks [data, data + len) by a schema of (tag, count) tuples. Returns a new
// list and sets `consumed`, or nullptr.
PyObject* unpack_schema(const std::uint8_t* data, std::uint64_t len, PyObject* schema,
                        std::uint64_t& consumed);

// A schema converted before any data is looked at, so that no Python code
// (a count's __index__) runs while shared memory is locked. Conversion stops
// at the first bad entry and keeps its exception; decode() raises it only
// once every entry before it has decoded, so callers see the same error as a
// decode that converted each entry as it went.
class ParsedSchema {
public:
    ParsedSchema() = default;
    ParsedSchema(const ParsedSchema&) = delete;
    ParsedSchema& operator=(const ParsedSchema&) = delete;

    // Converts `schema` (a list). False only when the conversion itself failed
    // in a way that is not an entry's error (an exception is then set).
    [[nodiscard]] bool parse(PyObject* schema);

    // The end of the bytes that decoding the good entries reads from
    // [data, data + len) (see run_end).
    [[nodiscard]] std::uint64_t extent(const std::uint8_t* data, std::uint64_t len) const noexcept;

    // Decodes from `data`, which holds at least extent() bytes of a range of
    // `len` bytes. Returns the list and sets `consumed`, or raises.
    PyObject* decode(const std::uint8_t* data, std::uint64_t len, std::uint64_t& consumed);

private:
    struct Entry {
        Form form;
        std::uint64_t count;
    };
    // Entries live inline up to kInline (the common case: no allocation per call).
    static constexpr std::size_t kInline = 16;
    void add(Entry e);
    template <class F>
    void for_each(F f) const;

    Entry inline_[kInline];
    std::size_t count_ = 0;
    std::vector<Entry> more_;
    Ref err_type_, err_value_, err_tb_;  // the first bad entry's exception
};

}  // namespace velmora::py
