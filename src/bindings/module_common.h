#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

// What both extension modules carry besides their own classes: the message sink, the
// backend name and the CPU thread count.
void bindCommon(pybind11::module_& m);

// The public boundary-condition types of lumetra.
void bindOpticsTypes(pybind11::module_& m);

// The Lumetra engine class of the public module.
void bindEngine(pybind11::module_& m);

// The optics engine, a lumetra.Lumetra, as an argument of the curing modules. They do not
// link the engine's code and use it through its Python methods; a type of its own lets
// overload resolution tell it from a raw address (a NumPy integer included).
struct EngineObject {
    pybind11::object engine;
};

// One of the engine's addresses for a curing model, asked for at every call (a load_mesh of
// another node count moves the result array): `getter` is the engine method that hands it
// out. RuntimeError naming `call` when the engine has nothing to give yet (after the
// engine's own message).
std::uintptr_t engineAddress(const EngineObject& engine, const char* call, const char* getter);

namespace pybind11::detail {
template <>
struct type_caster<EngineObject> {
    PYBIND11_TYPE_CASTER(EngineObject, const_name("lumetra.Lumetra"));

    bool load(handle src, bool)
    {
        if (!isinstance(src, module_::import("lumetra").attr("Lumetra"))) return false;
        value.engine = reinterpret_borrow<object>(src);
        return true;
    }

    static handle cast(const EngineObject& e, return_value_policy, handle) { return e.engine.inc_ref(); }
};
} // namespace pybind11::detail
