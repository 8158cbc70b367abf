// Python side of the value codec: picks an encoding by a value's Python type
// and turns the core's decoded scalars into Python objects.
#include "python/values.hpp"
#include "python/wait_host.hpp"

#include <cstring>
#include <optional>
#include <span>

#include "core/codec.hpp"
#include "core/formats.hpp"
#include "python/ref.hpp"

namespace velmora::py {

void EncodedView::copy_to(std::uint8_t* dst) const noexcept {
    std::memcpy(dst, head, head_len);
    if (body_len != 0) std::memcpy(dst + head_len, body, body_len);
}

namespace {

// ---- encoding -----------------------------------------------------------------

template <class T>
bool set_head(EncodedView& out, T v) noexcept {
    static_assert(sizeof(T) <= sizeof out.head);
    store_le(out.head, v);
    out.head_len = sizeof(T);
    return true;
}

bool set_body(EncodedView& out, const char* data, Py_ssize_t len) noexcept {
    out.body = reinterpret_cast<const std::uint8_t*>(data);
    out.body_len = static_cast<std::size_t>(len);
    return true;
}

bool encode_int(PyObject* value, EncodedView& out) {
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    return set_head(out, static_cast<std::int64_t>(v));
}

bool encode_float(PyObject* value, EncodedView& out) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return false;
    return set_head(out, v);
}

// The count is checked before anything is described, so an over-long text is
// refused rather than framed with a truncated count.
bool encode_str(PyObject* value, EncodedView& out) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &len);
    if (utf8 == nullptr) return false;
    if (Status fits = check_str_size(static_cast<std::uint64_t>(len)); !fits) {
        raise(fits.error());
        return false;
    }
    set_head(out, static_cast<std::uint32_t>(len));
    return set_body(out, utf8, len);
}

bool encode_bytes(PyObject* value, EncodedView& out) {
    const char* data = PyBytes_AsString(value);
    const Py_ssize_t len = PyBytes_Size(value);
    if (data == nullptr || len < 0) return false;
    return set_body(out, data, len);
}

bool encode_bytearray(PyObject* value, EncodedView& out) {
    const char* data = PyByteArray_AsString(value);
    const Py_ssize_t len = PyByteArray_Size(value);
    if (data == nullptr || len < 0) return false;
    return set_body(out, data, len);
}

// Raises the unsupported-type error naming the type's __name__; whatever
// reading that attribute raises is reported instead.
bool unsupported(PyObject* value) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!name) return false;
    Ref text(PyObject_Str(name.get()));
    if (!text) return false;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (utf8 == nullptr) return false;
    raise(unsupported_type(std::string_view(utf8, static_cast<std::size_t>(len))));
    return false;
}

// Restores a buffer's size when the operation that appends to it fails (or
// throws), so callers never see half an encoding.
class SizeRollback {
public:
    explicit SizeRollback(std::string& buf) noexcept : buf_(buf), mark_(buf.size()) {}
    ~SizeRollback() {
        if (!committed_) buf_.resize(mark_);
    }
    SizeRollback(const SizeRollback&) = delete;
    SizeRollback& operator=(const SizeRollback&) = delete;
    bool commit() noexcept { return committed_ = true; }

private:
    std::string& buf_;
    std::size_t mark_;
    bool committed_ = false;
};

// ---- decoding -----------------------------------------------------------------

struct ToPython {
    PyObject* operator()(bool v) const { return PyBool_FromLong(v ? 1 : 0); }
    PyObject* operator()(std::int64_t v) const { return PyLong_FromLongLong(v); }
    PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
    // Ill-formed UTF-8 becomes U+FFFD per maximal subpart, never an error.
    PyObject* operator()(std::span<const std::uint8_t> utf8) const {
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(utf8.data()),
                                    static_cast<Py_ssize_t>(utf8.size()), "replace");
    }
};

PyObject* to_python(const Scalar& value) { return std::visit(ToPython{}, value); }

// One schema element at `pos`; advances `pos` past it on success.
PyObject* decode_one(Form form, const std::uint8_t* data, std::uint64_t len, std::uint64_t& pos) {
    Result<Decoded> r = decode_element(form, data, len, pos);
    if (!r) return raise(r.error());
    PyObject* obj = to_python(r.value().value);
    if (obj != nullptr) pos += r.value().consumed;
    return obj;
}

// `count` elements: the value itself for a count of 1, else a list. The list
// grows as elements decode, so a huge count fails at the data's end instead
// of reserving room for it.
PyObject* decode_run(Form form, const std::uint8_t* data, std::uint64_t len, std::uint64_t count,
                     std::uint64_t& pos) {
    if (count == 1) return decode_one(form, data, len, pos);
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (std::uint64_t k = 0; k < count; ++k) {
        Ref item(decode_one(form, data, len, pos));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

// Reads a (tag, count) entry. The tag view lives in the tuple's str, so the
// caller keeps `entry` alive while it uses the tag.
bool read_entry(PyObject* entry, std::string_view& tag, std::uint64_t& count) {
    if (!PyTuple_Check(entry)) {
        raise(Error::value("schema entries must be (type_tag, count) tuples"));
        return false;
    }
    PyObject* tag_obj = PyTuple_GetItem(entry, 0);
    if (tag_obj == nullptr || !to_text(tag_obj, tag)) return false;
    PyObject* count_obj = PyTuple_GetItem(entry, 1);
    return count_obj != nullptr && to_u64(count_obj, count);
}

}  // namespace

// ---- public operations ----------------------------------------------------------

void BufferHold::release() noexcept {
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    // A thread ended at interpreter exit no longer holds the interpreter lock.
    if (held && !thread_ending()) PyBuffer_Release(&view);
#endif
    held = false;
}

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
bool take_plain_buffer(PyObject* obj, BufferHold& hold, int flags) {
    hold.release();
    if (PyObject_GetBuffer(obj, &hold.view, flags | PyBUF_ND | PyBUF_FORMAT) < 0) return false;
    hold.held = true;
    if (hold.view.format == nullptr || format_is_plain(hold.view.format)) return true;  // none: unsigned bytes
    raise(PyExc_ValueError, Reason::invalid_argument,
          "a buffer of format '" + std::string(hold.view.format) + "' is not plain data: it cannot go through shared memory");
    hold.release();
    return false;
}

namespace {

bool encode_buffer(PyObject* value, EncodedView& out, BufferHold& hold) {
    if (!take_plain_buffer(value, hold, PyBUF_SIMPLE)) return false;
    return set_body(out, static_cast<const char*>(hold.view.buf), hold.view.len);
}

}  // namespace
#endif

bool writable_target(PyObject* obj, const char* name, BufferHold& hold, std::uint8_t*& data, std::size_t& len) {
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    if (PyObject_CheckBuffer(obj) && !PyBytes_Check(obj)) {
        if (!take_plain_buffer(obj, hold, PyBUF_WRITABLE)) return false;
        data = static_cast<std::uint8_t*>(hold.view.buf);
        len = static_cast<std::size_t>(hold.view.len);
        return true;
    }
    const char* expected = "a writable buffer";
#else
    (void)hold;
    if (PyByteArray_Check(obj)) {
        data = reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(obj));
        len = static_cast<std::size_t>(PyByteArray_Size(obj));
        return data != nullptr;
    }
    const char* expected = "bytearray";
#endif
    Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (type_name)
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, not %U", name, expected, type_name.get());
    return false;
}

bool encode_view(PyObject* value, EncodedView& out, BufferHold* hold) {
    out = EncodedView{};
    // bool before int: a bool is an int subclass but takes one byte.
    if (PyBool_Check(value)) return set_head(out, static_cast<std::uint8_t>(value == Py_True));
    if (PyLong_Check(value)) return encode_int(value, out);
    if (PyFloat_Check(value)) return encode_float(value, out);
    if (PyUnicode_Check(value)) return encode_str(value, out);
    if (PyBytes_Check(value)) return encode_bytes(value, out);
    if (PyByteArray_Check(value)) return encode_bytearray(value, out);
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    if (hold != nullptr && PyObject_CheckBuffer(value)) return encode_buffer(value, out, *hold);
#else
    (void)hold;
#endif
    return unsupported(value);
}

bool encode_value(PyObject* value, std::string& out) {
    EncodedView view;
    if (!encode_view(value, view, nullptr)) return false;
    // resize either succeeds or throws leaving `out` as it was; nothing runs
    // Python code between describing the value and copying it.
    const std::size_t at = out.size();
    out.resize(at + view.size());
    view.copy_to(reinterpret_cast<std::uint8_t*>(out.data() + at));
    return true;
}

namespace {

// Appends `encode(item)` for every item of `list`, all or nothing.
template <class Encode>
bool encode_each(PyObject* list, std::string& out, Encode encode) {
    SizeRollback rollback(out);
    const Py_ssize_t n = PyList_Size(list);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GetItem(list, i);
        if (item == nullptr || !encode(item, out)) return false;
    }
    return rollback.commit();
}

}  // namespace

bool encode_list(PyObject* list, std::string& out) { return encode_each(list, out, encode_value); }

bool pack_items(PyObject* items, std::string& out) {
    return encode_each(items, out, [](PyObject* item, std::string& buf) {
        return PyList_Check(item) ? encode_list(item, buf) : encode_value(item, buf);
    });
}

PyObject* decode_value(const std::uint8_t* data, std::uint64_t len, std::string_view tag,
                       std::uint64_t& consumed) {
    Result<Decoded> r = decode_scalar(data, len, tag);
    if (!r) return raise(r.error());
    PyObject* obj = to_python(r.value().value);
    if (obj != nullptr) consumed = r.value().consumed;
    return obj;
}

void ParsedSchema::add(Entry e) {
    if (count_ < kInline) inline_[count_++] = e;
    else more_.push_back(e);
}

template <class F>
void ParsedSchema::for_each(F f) const {
    for (std::size_t i = 0; i < count_; ++i)
        if (!f(inline_[i])) return;
    for (const Entry& e : more_)
        if (!f(e)) return;
}

bool ParsedSchema::parse(PyObject* schema) {
    count_ = 0;
    more_.clear();
    const Py_ssize_t n = PyList_Size(schema);
    if (n < 0) return false;
    // The size is re-read on every pass: a count's __index__ may run Python
    // code that changes the schema list, and each entry is held while in use.
    for (Py_ssize_t i = 0; i < PyList_Size(schema); ++i) {
        Ref entry = Ref::borrow(PyList_GetItem(schema, i));
        if (!entry) return false;
        std::string_view tag;
        std::uint64_t count = 0;
        std::optional<Form> form;
        if (read_entry(entry.get(), tag, count) && !(form = lookup_tag(tag))) raise(unknown_schema_tag(tag));
        if (!form) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            err_type_ = Ref(type), err_value_ = Ref(value), err_tb_ = Ref(tb);
            return true;
        }
        add({*form, count});
    }
    return true;
}

std::uint64_t ParsedSchema::extent(const std::uint8_t* data, std::uint64_t len) const noexcept {
    std::uint64_t pos = 0;
    for_each([&](const Entry& e) {
        const RunExtent run = run_extent(e.form, e.count, data, len, pos);
        pos = run.end;
        // A run that stops short is where the decode fails: nothing after it is read.
        return run.complete;
    });
    return pos;
}

PyObject* ParsedSchema::decode(const std::uint8_t* data, std::uint64_t len, std::uint64_t& consumed) {
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    std::uint64_t pos = 0;
    bool ok = true;
    for_each([&](const Entry& e) {
        Ref value(decode_run(e.form, data, len, e.count, pos));
        return ok = value && PyList_Append(result.get(), value.get()) == 0;
    });
    if (!ok) return nullptr;
    if (err_type_) {
        PyErr_Restore(err_type_.release(), err_value_.release(), err_tb_.release());
        return nullptr;
    }
    consumed = pos;
    return result.release();
}

PyObject* unpack_schema(const std::uint8_t* data, std::uint64_t len, PyObject* schema,
                        std::uint64_t& consumed) {
    ParsedSchema parsed;
    if (!parsed.parse(schema)) return nullptr;
    return parsed.decode(data, len, consumed);
}

}  // namespace velmora::py
