// The value codec on Python objects: encoding chosen by a value's Python type,
// decoding chosen by a type tag, and the list-level pack/unpack built on them.
// Failures are raised as Python exceptions (ValueError for the codec's own
// checks; the interpreter's own exceptions pass through) and signalled by
// false / nullptr. Nothing is appended or consumed on failure.
#pragma once

#include "module/py_support.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

[[nodiscard]] bool encode_view(PyObject* value, EncodedView& out);

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

}  // namespace velmora::py
