// quillon.email: the module body, which imports its names and builds Email.
#include "../_logcall/api.h"
#include "classbuild.h"
#include "module_exec.h"
#include "state.h"

namespace quillon::email {

const FunctionSpec normalize_spec = {
    "__normalize",
    "Email.__normalize",
    nullptr,
    {"emails"},
    {{"emails", "str | list[str] | tuple[str, ...]"}, {"return", "list[str] | None"}},
    normalize_recipients,
    0};

namespace {

const FunctionSpec send_spec = {
    "send", "Email.send", "\n            Send email.\n\n            :return:\n            ", {"self"}, {}, send,
    0};

// The class body: __init__, the fields' properties in table order with the
// normaliser after the credentials, and send.
int build_class(PyObject *module) noexcept {
    ClassBody body(module, EmailState::class_name, EmailFields::slots);
    if (!body.ok())
        return -1;
    Ref init_defaults = field_defaults(email_fields);
    Ref one_none = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!init_defaults || !one_none)
        return -1;
    bool ok = body.add_function("__init__", EmailFields::constructor, init_defaults.get()) &&
              body.add_fields<EmailFields>(email_fields, F_server, F_from) &&
              body.add_logged("_Email__normalize", normalize_spec, one_none.get(), true) &&
              body.add_fields<EmailFields>(email_fields, F_from, FIELD_COUNT) &&
              body.add_logged("send", send_spec, nullptr, false) && body.finish(EmailState::class_name);
    return ok ? 0 : -1;
}

// The shipped logger wraps with quillon._logcall's wrapper, and importing it
// has loaded that module. Nothing is imported here: without it (a stand-in
// logger) the setters simply call what they find.
int find_logcall_wrapper(EmailState *st) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(logcall::module_name));
    if (!name)
        return -1;
    Ref logcall = Ref::steal(PyImport_GetModule(name.get()));
    if (!logcall)
        return PyErr_Occurred() ? -1 : 0;
    PyObject *found;
    if (PyObject_GetOptionalAttrString(logcall.get(), logcall::capsule_attribute, &found) < 0)
        return -1;
    Ref capsule = Ref::steal(found);
    if (!capsule || !PyCapsule_IsValid(capsule.get(), logcall::capsule_name))
        return 0;
    auto *api = static_cast<const logcall::Api *>(PyCapsule_GetPointer(capsule.get(), logcall::capsule_name));
    if (!api->wrapper_type || !api->target)
        return 0;
    st->logcall_wrapper = reinterpret_cast<PyTypeObject *>(Py_NewRef(api->wrapper_type));
    st->logcall_target = api->target;
    return 0;
}

}  // namespace

int EmailState::exec_own(PyObject *module) noexcept {
    if (!(cleaner = choose_cleaner()))
        return -1;
    if (shortcuts(this) && find_logcall_wrapper(this) < 0)
        return -1;
    return build_class(module);
}

}  // namespace quillon::email

PyMODINIT_FUNC PyInit_email() { return quillon::ModuleDefinition<quillon::email::EmailState>::init(); }
