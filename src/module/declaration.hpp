// What declares a callable of the module. A declaration is a type, listed in
// module/callables.hpp, which is all start-up registers:
//
//     struct SomeRequest : py::FunctionDeclaration {
//         static constexpr const char* module = "kelvane";     // the module it is placed on
//         static constexpr auto signature = py::function("some_request", py::Param{"a", py::to_u64}, ...);
//         static PyObject* build(std::uint64_t a, ...);          // its body
//     };
//
//     struct SomeClass : py::ClassDeclaration {
//         static constexpr const char* module = "kelvane.channel";
//         static constexpr const char* name = "SomeClass";
//         static constexpr auto& constructors = py::names_of<kSomeSignature, ...>;  // (or py::names_of<>)
//         static PyTypeObject* make(py::ModuleState& state);    // makes it once, into its slots of the state
//     };
//
// A declaration that lacks a part fails to compile, with a message that names
// the part; so does a list in which two callables share a name and a module.
#pragma once

#include <concepts>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

#include "module/signature.hpp"
#include "module/state.hpp"

namespace kelvane::py {

struct FunctionDeclaration {};
struct ClassDeclaration {};

namespace detail {

template <class D>
consteval bool check_function_declaration() {
    static_assert(
        requires {
            { D::module } -> std::convertible_to<const char*>;
        }, "a function's declaration needs `module`: the dotted name of the module it is placed on");
    static_assert(
        requires { D::signature.table; }, "a function's declaration needs `signature`: py::function(name, params...)");
    static_assert(
        requires { &D::build; },
        "a function's declaration needs `build`: its body, converted arguments in, new reference out");
    return true;
}

template <class D>
consteval bool check_class_declaration() {
    static_assert(
        requires {
            { D::module } -> std::convertible_to<const char*>;
        }, "a class's declaration needs `module`: the dotted name of the module it is placed on");
    static_assert(
        requires {
            { D::name } -> std::convertible_to<const char*>;
        }, "a class's declaration needs `name`: its name on that module");
    static_assert(
        requires {
            { std::span<const SignatureNames>(D::constructors) };
        }, "a class's declaration needs `constructors`: py::names_of<its constructors' signatures...>");
    static_assert(
        requires(ModuleState& state) {
            { D::make(state) } -> std::same_as<PyTypeObject*>;
        }, "a class's declaration needs `make`: PyTypeObject* make(py::ModuleState&), which makes the class once");
    return true;
}

template <class D>
consteval bool check_declaration() {
    if constexpr (std::is_base_of_v<FunctionDeclaration, D>) {
        return check_function_declaration<D>();
    } else {
        static_assert(std::is_base_of_v<ClassDeclaration, D>,
                      "a declaration derives from py::FunctionDeclaration or py::ClassDeclaration");
        return check_class_declaration<D>();
    }
}

template <class D>
constexpr std::string_view declared_name() {
    if constexpr (std::is_base_of_v<FunctionDeclaration, D>) {
        return D::signature.table.function_name;
    } else {
        return D::name;
    }
}

template <class... Ds>
consteval bool names_are_unique() {
    constexpr std::string_view modules[] = {Ds::module...};
    constexpr std::string_view names[] = {declared_name<Ds>()...};
    for (std::size_t i = 0; i < sizeof...(Ds); ++i) {
        for (std::size_t j = i + 1; j < sizeof...(Ds); ++j) {
            if (modules[i] == modules[j] && names[i] == names[j]) return false;
        }
    }
    return true;
}

}  // namespace detail

// The module's callables, in the order start-up registers them.
template <class... Declarations>
    requires(detail::check_declaration<Declarations>() && ...)
struct CallableList {
    static_assert(detail::names_are_unique<Declarations...>(), "two declarations give one module the same name");

    // Calls visit(Declaration{}) for each, in order.
    template <class Visit>
    static void each(Visit&& visit) {
        (visit(Declarations{}), ...);
    }
};

// The method a function's declaration becomes: one per declaration.
template <class D>
inline PyMethodDef method_of = function_method<D::signature, &D::build>();

}  // namespace kelvane::py
