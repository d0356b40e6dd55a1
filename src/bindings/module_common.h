#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

// What both extension modules carry besides their own classes: the message sink, the
// backend name, the CPU thread count and _install_hooks.
void bindCommon(pybind11::module_& m);

// What a compiled module uses of the Python package above it: the size checks
// (require_count, require_memory of lumetra._sizes), the table of handed-out addresses
// (register_address, check_address of lumetra._addresses) and the engine class
// (engine_type). The package hands them over once at import (lumetra._backend.install_hooks)
// so that the module imports nothing of it. RuntimeError naming the hook when the package
// has not installed it: the compiled module was imported on its own.
pybind11::object hook(const char* name);

// The public boundary-condition types of lumetra.
void bindOpticsTypes(pybind11::module_& m);

// The Lumetra engine class of the public module.
void bindEngine(pybind11::module_& m);

// pybind11 raises every std::bad_alloc as MemoryError with its what() text; this one says
// what could not be allocated.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// The size checks of lumetra._sizes, through their hooks (MemoryError naming `item` and the
// memory it would need), so the compiled modules and the Python generators refuse alike:
// more `what` ("nodes", "elements", "rays") than the engine holds, or more bytes than are
// available.
void requireCount(const std::string& item, long long count, const char* what, double bytesEach);
void requireMemory(const std::string& item, double bytes);

// On the CPU variant device arrays are host memory and count against what is available.
bool hostHoldsDeviceMemory();

// A curing model's node count as a script gives it: ValueError when negative (`model` names
// the class), MemoryError beyond the most a mesh holds or, at `bytesEach` per node, beyond
// the memory available; what is left fits in int.
int modelNodeCount(const char* model, long long n, double bytesEach);

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

// A raw address a script passes for `kind` ("mesh", "devlink" or "result"): the live engine
// that handed it out and still holds it (lumetra._addresses), or RuntimeError naming `call`
// for a number no engine handed out, an address of another kind, a freed or replaced one.
// 0 passes unchecked (None back), for the models' own null-address messages.
pybind11::object addressOwner(std::uintptr_t address, const char* kind, const char* call);

// Both addresses of a raw reaction step checked with addressOwner; they must come from one
// engine, which `keep` then holds (the model keeps it alive).
void keepOwner(pybind11::object& keep, std::uintptr_t result, std::uintptr_t devlink, const char* call);

// Runs f(); a bare std::bad_alloc on the way (a host vector, a staging copy) becomes a
// MemoryError that names what was being allocated.
template <typename F>
decltype(auto) allocating(const std::string& what, F&& f)
{
    try {
        return f();
    } catch (const OutOfMemory&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(what + ": out of memory");
    }
}

namespace pybind11::detail {
template <>
struct type_caster<EngineObject> {
    PYBIND11_TYPE_CASTER(EngineObject, const_name("lumetra.Lumetra"));

    bool load(handle src, bool)
    {
        if (!isinstance(src, ::hook("engine_type"))) return false;
        value.engine = reinterpret_borrow<object>(src);
        return true;
    }

    static handle cast(const EngineObject& e, return_value_policy, handle) { return e.engine.inc_ref(); }
};
} // namespace pybind11::detail
