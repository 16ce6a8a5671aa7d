// What a module body does to import its names and build its class.
#pragma once

#include "function.h"

namespace quillon {

// `from MODULE import NAME, ...`: an absolute import, then each name bound as
// a module global in order; ImportError "cannot import name 'X'" when absent.
bool import_names(PyObject *module, const char *from, std::initializer_list<const char *> names) noexcept;

// A class namespace filled the way a class body fills it.
class ClassBody {
public:
    ClassBody(PyObject *module, const char *qualname, std::initializer_list<const char *> slots) noexcept;
    bool ok() const noexcept { return static_cast<bool>(ns_); }

    // A plain function member.
    bool add_function(const char *name, const FunctionSpec &spec, PyObject *defaults = nullptr) noexcept;
    // `property(getter)`, then `NAME.setter(setter)` when there is one.
    bool add_property(const char *name, const FunctionSpec &getter, const FunctionSpec *setter) noexcept;
    // `@logging(prefix=__name__)` above a function, or above `@staticmethod`.
    bool add_logged(const char *name, const FunctionSpec &spec, PyObject *defaults, bool is_static) noexcept;

    // `type(NAME, (), namespace)`, bound as the module global NAME.
    bool finish(const char *name) noexcept;

private:
    Ref lookup(const char *name) noexcept;  // namespace, then globals, then builtins
    bool store(const char *name, PyObject *value) noexcept;

    PyObject *module_;
    Ref ns_;
};

}  // namespace quillon
