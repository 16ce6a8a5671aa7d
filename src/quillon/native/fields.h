// A class's fields as one table, and all that is derived from it: the
// __slots__ names, the constructor's parameters and defaults, the accessor
// functions of the properties.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "function.h"
#include "protocols.h"

namespace quillon {

// One field: a private slot behind a property of the same name, set by the
// constructor parameter of that name. A table of these, in slot order, is
// the only place a class writes its fields; the row's index is the `tag` of
// its accessors.
struct FieldSpec {
    const char *name;            // the property and the constructor parameter
    const char *slot;            // its __slots__ entry, mangled by the class
    const char *annotation;      // the constructor parameter's
    const long *default_number;  // the constructor default: this int, or None when null
    FunctionBody get;
    const char *returns;  // the getter's return annotation, or null for none
    FunctionBody set;
    const char *set_parameter;  // the setter's second parameter
    const char *set_annotation;
};

// What is derived from a table at compile time: the accessors of each
// field (their qualified names are made by the class body, "Class.name"),
// the __slots__ names, and `__init__(self, FIELD=default, ...)` in table
// order with the body `init`.
template <const auto &fields, FunctionBody init, typename = std::make_index_sequence<std::size(fields)>>
struct FieldTable;

template <const auto &fields, FunctionBody init, size_t... I>
struct FieldTable<fields, init, std::index_sequence<I...>> {
    static constexpr size_t count = sizeof...(I);
    static_assert(count + 1 <= max_parameters);

    static constexpr FunctionSpec getters[] = {
        {fields[I].name, nullptr, nullptr, {"self"}, {{"return", fields[I].returns}}, fields[I].get, int(I)}...};
    static constexpr FunctionSpec setters[] = {{fields[I].name,
                                                nullptr,
                                                nullptr,
                                                {"self", fields[I].set_parameter},
                                                {{fields[I].set_parameter, fields[I].set_annotation}},
                                                fields[I].set,
                                                int(I)}...};
    static constexpr const char *slots[] = {fields[I].slot...};
    static constexpr FunctionSpec constructor = {
        "__init__", nullptr, nullptr, {"self", fields[I].name...}, {{fields[I].name, fields[I].annotation}...},
        init,       0};
};

// What a module keeps for each field of its class: the names, interned, and
// the caches of the attribute shortcuts (protocols.h).
template <size_t N>
struct FieldState {
    PyObject *names[N];       // the properties
    PyObject *slot_names[N];  // the slots' attributes, as the class mangles them
    SlotCache slots[N];
    PropertyCache properties[N];

    int init(const FieldSpec (&fields)[N], const char *class_name) noexcept {
        for (size_t i = 0; i < N; ++i) {
            names[i] = PyUnicode_InternFromString(fields[i].name);
            slot_names[i] = PyUnicode_FromFormat("_%s%s", class_name, fields[i].slot);
            if (!names[i] || !slot_names[i])
                return -1;
            PyUnicode_InternInPlace(&slot_names[i]);
        }
        return 0;
    }
    // Once the class exists; without shortcuts the caches stay empty.
    void fill_caches(PyObject *cls, bool shortcuts) noexcept {
        if (!shortcuts)
            return;
        for (size_t i = 0; i < N; ++i) {
            slot_cache_init(slots[i], cls, slot_names[i]);
            property_cache_init(properties[i], cls, names[i]);
        }
    }
    template <typename F>
    int each_reference(F &&f) noexcept {
        for (size_t i = 0; i < N; ++i)
            for (PyObject **obj :
                 {&names[i], &slot_names[i], &slots[i].descr, &properties[i].prop, &properties[i].fset})
                if (int rc = f(*obj))
                    return rc;
        return 0;
    }

    // `self.SLOT` and `self.SLOT = value` for field `i`.
    Ref read(PyObject *self, size_t i) noexcept { return read_slot(slots[i], self, slot_names[i]); }
    int write(PyObject *self, size_t i, PyObject *value) noexcept {
        return write_slot(slots[i], self, slot_names[i], value);
    }
};

}  // namespace quillon
