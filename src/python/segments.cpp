#include "python/segments.hpp"

namespace velmora::py {

bool arg_create_segment(PyObject* name, PyObject* replace, SegmentArg& out) {
    out.none = name == Py_None;
    if (!out.none && !arg_text(name, "name", out.name)) return false;
    if (!omitted(replace)) {
        const int flag = PyObject_IsTrue(replace);
        if (flag < 0) return false;
        out.replace = flag != 0;
    }
    if (out.replace && out.none) {
        raise(PyExc_ValueError, Reason::invalid_argument,
              "replace=True needs a name: an anonymous segment (name None) is always new");
        return false;
    }
    return true;
}

thread_local bool DescriptorOpen::allowed_ = false;

bool arg_open_segment(PyObject* name, SegmentArg& out) {
    if (DescriptorOpen::allowed() && PyLong_Check(name) && !PyBool_Check(name)) {
        std::int64_t fd = 0;
        if (!arg_i64(name, "name", fd)) return false;
        out.fd = static_cast<std::intptr_t>(fd);
        return true;
    }
    return arg_text(name, "name", out.name);
}

Result<PlatformHandle> create_segment(const SegmentArg& arg, std::uint64_t size) {
    if (arg.anonymous()) return PlatformHandle::create_anonymous(size);
    return PlatformHandle::create(arg.name, size, arg.replace);
}

void undo_create(const SegmentArg& arg) noexcept {
    if (!arg.anonymous()) (void)PlatformHandle::remove(arg.name);
}

Result<HeldSegment> hold_if_anonymous(const PlatformHandle& handle) {
    if (!handle.anonymous()) return HeldSegment();
    auto copy = handle.duplicate();
    if (!copy) return copy.error();
    return HeldSegment(std::make_shared<const PlatformHandle>(std::move(copy).value()));
}

std::string shown_name(std::string_view name, bool anonymous) {
    if (anonymous) return "None";
    std::string out(1, '\'');
    out.append(name);
    out.push_back('\'');
    return out;
}

}  // namespace velmora::py
