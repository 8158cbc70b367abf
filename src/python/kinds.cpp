// The table of channel kinds (core/kinds.hpp) as the module's `_kinds`: a
// tuple of plain tuples, which velmora/_kinds.py turns into its Kind rows.
#include "python/kinds.hpp"

#include "core/kinds.hpp"
#include "python/ref.hpp"

namespace velmora::py {
namespace {

Ref text(std::string_view s) { return Ref(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))); }

// Builds a tuple of `items` with `one(item)` each.
template <class Items, class One>
Ref tuple_of(const Items& items, One one) {
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        if (!out) return out;
        Ref value = one(item);
        if (!value) return Ref();
        PyTuple_SetItem(out.get(), i++, value.release());
    }
    return out;
}

Ref row_of(const KindRow& k) {
    Ref fields = tuple_of(k.fields, [](const KindField& f) {
        const char code[2] = {f.code, 0};
        return Ref(Py_BuildValue("(NKs)", text(f.name).release(), static_cast<unsigned long long>(f.offset), code));
    });
    Ref claims = tuple_of(k.claims, [](const KindClaim& c) {
        return Ref(Py_BuildValue("(NKOO)", text(c.role).release(), static_cast<unsigned long long>(c.first),
                                 c.per_entry ? Py_True : Py_False,
                                 c.mode == ClaimMode::Exclusive ? Py_True : Py_False));
    });
    if (!fields || !claims) return Ref();
    return Ref(Py_BuildValue("(NNKIKNN)", text(k.name).release(), text(k.classes).release(),
                             static_cast<unsigned long long>(k.magic), static_cast<unsigned int>(k.version),
                             static_cast<unsigned long long>(k.header_size), fields.release(), claims.release()));
}

}  // namespace

PyObject* kinds_table() { return tuple_of(kKinds, row_of).release(); }

}  // namespace velmora::py
