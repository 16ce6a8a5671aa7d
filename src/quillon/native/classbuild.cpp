// What a module body does to build its class.
#include "classbuild.h"

#include "errors.h"
#include "protocols.h"

namespace quillon {

Ref field_defaults(std::span<const FieldSpec> fields) noexcept {
    Ref defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
    if (!defaults)
        return {};
    Py_ssize_t i = 0;
    for (const FieldSpec &field : fields) {
        PyObject *value = field.default_number ? PyLong_FromLong(*field.default_number) : Py_NewRef(Py_None);
        if (!value)
            return {};
        PyTuple_SET_ITEM(defaults.get(), i++, value);
    }
    return defaults;
}

ClassBody::ClassBody(PyObject *module, const char *qualname, std::span<const char *const> slots) noexcept
    : module_(module) {
    Ref ns = Ref::steal(PyDict_New());
    Ref qual = Ref::steal(PyUnicode_FromString(qualname));
    Ref slot_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(slots.size())));
    if (!ns || !qual || !slot_names)
        return;
    Py_ssize_t i = 0;
    for (const char *slot : slots) {
        PyObject *text = PyUnicode_InternFromString(slot);
        if (!text)
            return;
        PyTuple_SET_ITEM(slot_names.get(), i++, text);
    }
    if (PyDict_SetItemString(ns.get(), "__module__", core_state(module)->module_name) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__slots__", slot_names.get()) < 0)
        return;
    qualname_ = std::move(qual);
    ns_ = std::move(ns);
}

Ref ClassBody::lookup(const char *name) noexcept {
    PyObject *found = nullptr;
    int rc = PyDict_GetItemStringRef(ns_.get(), name, &found);
    if (rc > 0)
        return Ref::steal(found);
    if (rc < 0)
        return {};
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key)
        return {};
    return lookup_global(PyModule_GetDict(module_), core_state(module_)->builtins, key.get());
}

bool ClassBody::store(const char *name, PyObject *value) noexcept {
    return PyDict_SetItemString(ns_.get(), name, value) == 0;
}

bool ClassBody::add_function(const char *name, const FunctionSpec &spec, PyObject *defaults) noexcept {
    Ref fn = make_function(module_, spec, defaults, qualname_.get());
    return fn && store(name, fn.get());
}

bool ClassBody::add_property(const char *name, const FunctionSpec &getter, const FunctionSpec *setter) noexcept {
    Ref property = lookup("property");
    Ref get = make_function(module_, getter, nullptr, qualname_.get());
    if (!property || !get)
        return false;
    Ref prop = Ref::steal(PyObject_CallOneArg(property.get(), get.get()));
    if (!prop || !store(name, prop.get()))
        return false;
    if (!setter)
        return true;
    // As `@NAME.setter` does: the name is looked up afresh.
    Ref current = lookup(name);
    if (!current)
        return false;
    Ref with_setter = Ref::steal(PyObject_GetAttrString(current.get(), "setter"));
    Ref set = make_function(module_, *setter, nullptr, qualname_.get());
    if (!with_setter || !set)
        return false;
    Ref both = Ref::steal(PyObject_CallOneArg(with_setter.get(), set.get()));
    return both && store(name, both.get());
}

namespace {

// A logger.py of the user's own, found first on the path, is imported in its
// place; when it does `import logging`, what quillon calls is the standard
// library's module. Say which file that was.
QUILLON_COLD void note_logger_source() noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    Ref name = Ref::steal(PyUnicode_FromString("logger"));
    Ref logger = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref{};
    Ref where;
    if (logger) {
        where = Ref::steal(PyObject_GetAttrString(logger.get(), "__file__"));
        if (!where || !PyUnicode_Check(where.get())) {
            PyErr_Clear();
            where = Ref::steal(PyObject_Repr(logger.get()));
        }
    }
    PyErr_Clear();  // the note is a help; the exception itself goes on as it was
    add_note(exc,
             "quillon takes its decorator factory 'logging' from the top-level module 'logger'; "
             "the module imported as 'logger' is %S",
             where ? where.get() : Py_None);
    PyErr_SetRaisedException(exc);
}

}  // namespace

bool ClassBody::add_logged(const char *name, const FunctionSpec &spec, PyObject *defaults,
                           bool is_static) noexcept {
    // The decorator expression is evaluated before the function exists.
    Ref factory = lookup("logging");
    Ref prefix = lookup("__name__");
    if (!factory || !prefix)
        return false;
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "prefix"));
    if (!kwnames)
        return false;
    PyObject *kwargs[] = {prefix.get()};
    Ref decorator = Ref::steal(PyObject_Vectorcall(factory.get(), kwargs, 0, kwnames.get()));
    if (!decorator) {
        note_logger_source();
        return false;
    }
    Ref fn = make_function(module_, spec, defaults, qualname_.get());
    if (!fn)
        return false;
    if (is_static) {
        Ref staticmethod = lookup("staticmethod");
        if (!staticmethod)
            return false;
        fn = Ref::steal(PyObject_CallOneArg(staticmethod.get(), fn.get()));
        if (!fn)
            return false;
    }
    Ref decorated = Ref::steal(PyObject_CallOneArg(decorator.get(), fn.get()));
    if (!decorated) {
        note_logger_source();
        return false;
    }
    return store(name, decorated.get());
}

bool ClassBody::finish(const char *name) noexcept {
    Ref type = lookup("type");
    Ref args = Ref::steal(Py_BuildValue("(s()O)", name, ns_.get()));
    if (!type || !args)
        return false;
    Ref cls = Ref::steal(PyObject_Call(type.get(), args.get(), nullptr));
    if (!cls)
        return false;
    return PyDict_SetItemString(PyModule_GetDict(module_), name, cls.get()) == 0;
}

}  // namespace quillon
