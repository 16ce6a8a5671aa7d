// What a module body does to build its class: the namespace a class body
// fills, and the constructor's defaults from the field table.
#pragma once

#include "fields.h"

namespace quillon {

// The constructor's defaults, one per field.
Ref field_defaults(std::span<const FieldSpec> fields) noexcept;

// A class namespace filled the way a class body fills it.
class ClassBody {
public:
    ClassBody(PyObject *module, const char *qualname, std::span<const char *const> slots) noexcept;
    bool ok() const noexcept { return static_cast<bool>(ns_); }

    // A plain function member.
    bool add_function(const char *name, const FunctionSpec &spec, PyObject *defaults = nullptr) noexcept;
    // `property(getter)`, then `NAME.setter(setter)` when there is one.
    bool add_property(const char *name, const FunctionSpec &getter, const FunctionSpec *setter) noexcept;
    // The properties of fields [first, last) of a table, in table order.
    template <typename Table>
    bool add_fields(const FieldSpec *fields, size_t first, size_t last) noexcept {
        for (size_t i = first; i < last; ++i)
            if (!add_property(fields[i].name, Table::getters[i], &Table::setters[i]))
                return false;
        return true;
    }
    // `@logging(prefix=__name__)` above a function, or above `@staticmethod`.
    bool add_logged(const char *name, const FunctionSpec &spec, PyObject *defaults, bool is_static) noexcept;

    // `type(NAME, (), namespace)`, bound as the module global NAME.
    bool finish(const char *name) noexcept;

private:
    Ref lookup(const char *name) noexcept;  // namespace, then globals, then builtins
    bool store(const char *name, PyObject *value) noexcept;

    PyObject *module_;
    Ref qualname_;
    Ref ns_;
};

}  // namespace quillon
