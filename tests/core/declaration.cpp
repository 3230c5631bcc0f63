// A declaration joins the module's list of callables. scripts/core-test
// checks this file with -fsyntax-only: as it is, it must compile; with one
// part left out (-DWITHOUT_MODULE, -DWITHOUT_SIGNATURE, -DWITHOUT_BUILD), with
// more parameters than the binder holds (-DTOO_MANY_PARAMS) or with a name
// the module already has (-DDUPLICATE_NAME), it must not, and the compiler's
// message must say why.
#include "module/callables.hpp"

namespace kelvane::callables {

struct ProbeRequest : py::FunctionDeclaration {
#ifndef WITHOUT_MODULE
    static constexpr const char* module = "kelvane";
#endif
#ifndef WITHOUT_SIGNATURE
#if defined(TOO_MANY_PARAMS)
    static constexpr auto signature = py::function(
        "probe_request", py::Param{"a", py::to_u64}, py::Param{"b", py::to_u64}, py::Param{"c", py::to_u64},
        py::Param{"d", py::to_u64}, py::Param{"e", py::to_u64}, py::Param{"f", py::to_u64});
#elif defined(DUPLICATE_NAME)
    static constexpr auto signature = py::function("sys_reset", py::Param{"id", py::to_u32});
#else
    static constexpr auto signature = py::function("probe_request", py::Param{"id", py::to_u32});
#endif
#endif
#ifndef WITHOUT_BUILD
    static PyObject* build(std::uint32_t id) { return PyLong_FromUnsignedLong(id); }
#endif
};

}  // namespace kelvane::callables

int main() {
    [[maybe_unused]] kelvane::CallablesWith<kelvane::callables::ProbeRequest> list;
    return 0;
}
