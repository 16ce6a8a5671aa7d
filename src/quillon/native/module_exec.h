// A module's exec for a state with the package's common part: filled from
// the module's tables, the class built, the fields' caches taken from it.
#pragma once

#include "fields.h"
#include "module.h"

namespace quillon {

// A module's exec: the common state from the module's tables (State::name,
// text_values, keyword_specs, import_specs, lookup_specs), the fields' names
// (field_specs, class_name), what is the module's own (State::exec_own, which
// builds the class), and last the fields' caches from the class.
template <typename State>
int exec_module(PyObject *module) noexcept {
    // The shared layer finds the core at the start of the state.
    static_assert(std::is_standard_layout_v<State>);
    State *st = static_cast<State *>(PyModule_GetState(module));
    auto &common = st->common;
    static_assert(std::size(State::text_values) == std::tuple_size_v<decltype(common.texts)>);
    static_assert(std::size(State::keyword_specs) == std::tuple_size_v<decltype(common.kwnames)>);
    static_assert(std::size(State::lookup_specs) == std::tuple_size_v<decltype(common.objects)>);
    static_assert(rows_in_order(State::keyword_specs) && rows_in_order(State::lookup_specs));
    if (core_init(&common.core, module, State::name) < 0 ||
        intern_all(State::text_values, common.texts.data(), common.texts.size()) < 0)
        return -1;
    for (size_t k = 0; k < common.kwnames.size(); ++k)
        if (!(common.kwnames[k] = make_kwnames(State::keyword_specs[k].names, common.texts.data())))
            return -1;
    for (const ImportSpec &spec : State::import_specs)
        if (!import_names(module, spec.from, spec.names))
            return -1;
    for (size_t i = 0; i < common.objects.size(); ++i)
        if (!(common.objects[i] = look_up(State::lookup_specs[i].module, State::lookup_specs[i].attribute)))
            return -1;
    if (st->fields.init(State::field_specs, State::class_name) < 0 || st->exec_own(module) < 0)
        return -1;
    Ref cls = Ref::steal(PyObject_GetAttrString(module, State::class_name));
    if (!cls)
        return -1;
    st->fields.fill_caches(cls.get(), common.core.shortcuts);
    return 0;
}

}  // namespace quillon
