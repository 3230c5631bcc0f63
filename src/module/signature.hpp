// One signature per callable, in the spirit of Argument Clinic: its name and
// its parameters in order, each a name and the conversion of its argument.
// The binder's table, the conversions, the text signature its doc string
// carries and the entry points that tie them to the body all come from it.
// (module/declaration.hpp makes a callable of a signature and its body.)
//
//     static constexpr auto signature = py::function("f", py::Param{"a", py::to_u64}, ...);
//     static PyObject* build(std::uint64_t a, ...);   // the body: converted arguments in, new reference out
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binder.hpp"
#include "module/kelvane.hpp"

namespace kelvane::py {

// A parameter: its name, and the conversion its argument goes through.
template <class Convert>
struct Param {
    const char* name;
    Convert convert;
};

// Spelled out for compilers without deduction for aggregates; a function
// given as the conversion is kept as its pointer.
template <class Convert>
Param(const char*, Convert) -> Param<Convert>;

template <class... Converts>
struct Signature {
    // The binder's buffers hold kMaxParams arguments.
    static_assert(sizeof...(Converts) <= kMaxParams,
                  "a callable has more parameters than kMaxParams (module/binder.hpp) allows");

    ParamTable table;
    std::tuple<Param<Converts>...> params;
};

// A module function, `name(params...)`.
template <class... Converts>
consteval Signature<Converts...> function(const char* name, Param<Converts>... params) {
    return {{name, nullptr, {params.name...}, sizeof...(Converts)}, {params...}};
}

// A class's constructor: `ClassName(params...)` in the class's doc string,
// `ClassName.__new__()` in the binding errors.
template <class... Converts>
consteval Signature<Converts...> constructor(const char* class_name, Param<Converts>... params) {
    return {{"__new__", class_name, {params.name...}, sizeof...(Converts)}, {params...}};
}

// The interned parameter names of signature `Sig`: one variable per
// signature, so two callables never share theirs. Start-up alone fills and
// releases them.
template <const auto& Sig>
inline constinit InternedNames interned_names{};

// A signature's table and its interned names, as start-up walks them.
struct SignatureNames {
    const ParamTable* table;
    InternedNames* names;
};

template <const auto&... Sigs>
inline constexpr std::array<SignatureNames, sizeof...(Sigs)> names_of{
    SignatureNames{&Sigs.table, &interned_names<Sigs>}...};

namespace detail {

constexpr const char* doc_name(const ParamTable& table) {
    return table.class_name ? table.class_name : table.function_name;
}

constexpr std::size_t text_signature_length(const ParamTable& table) {
    std::size_t length = std::char_traits<char>::length(doc_name(table)) + std::char_traits<char>::length("()\n--\n\n");
    for (std::size_t i = 0; i < table.count; ++i) {
        length += std::char_traits<char>::length(table.names[i]) + (i > 0 ? 2 : 0);
    }
    return length;
}

template <std::size_t Size>
constexpr void append(std::array<char, Size>& text, std::size_t& at, const char* part) {
    while (*part) text[at++] = *part++;
}

template <const auto& Sig>
consteval auto make_text_signature() {
    constexpr const ParamTable& table = Sig.table;
    std::array<char, text_signature_length(table) + 1> text{};
    std::size_t at = 0;
    append(text, at, doc_name(table));
    append(text, at, "(");
    for (std::size_t i = 0; i < table.count; ++i) {
        if (i > 0) append(text, at, ", ");
        append(text, at, table.names[i]);
    }
    append(text, at, ")\n--\n\n");
    return text;
}

}  // namespace detail

// The doc string of `Sig`'s callable, null-terminated: the interpreter takes
// "name(a, b)\n--\n\n" as the text signature and leaves an empty __doc__.
template <const auto& Sig>
inline constexpr auto text_signature = detail::make_text_signature<Sig>();

// Converts argument `index` of a bound call of `count` arguments, naming it
// in a TypeError. A conversion that may run Python code gets the callout
// that holds the call's objects first.
template <class Convert>
[[gnu::always_inline]] inline decltype(auto) convert_bound(const Param<Convert>& param, BoundArgs& bound,
                                                           std::size_t index, std::size_t count) {
    return convert_argument(param.name, [&]() -> decltype(auto) {
        auto hold = [&bound, count] { bound.hold(count); };
        if constexpr (std::is_invocable_v<const Convert&, PyObject*, decltype(hold)>) {
            return param.convert(bound[index], hold);
        } else {
            return param.convert(bound[index]);
        }
    });
}

namespace detail {

template <const auto& Sig, std::size_t... I>
[[gnu::always_inline]] inline auto convert_each(BoundArgs& bound, std::index_sequence<I...>) {
    // Braced, so evaluated left to right: the arguments convert in parameter
    // order and the first failure raises.
    return std::tuple{convert_bound(std::get<I>(Sig.params), bound, I, Sig.table.count)...};
}

}  // namespace detail

// Every argument of a bound call of `Sig`, converted, as a tuple.
template <const auto& Sig>
[[gnu::always_inline]] inline auto convert_arguments(BoundArgs& bound) {
    return detail::convert_each<Sig>(bound, std::make_index_sequence<std::tuple_size_v<decltype(Sig.params)>>{});
}

// The one operand of a slot (a setter's value, a subscript's index), bound
// with BoundArgs(self, operand) and named by `param`.
template <class Convert>
[[gnu::always_inline]] inline decltype(auto) convert_operand(const Param<Convert>& param, BoundArgs& bound) {
    return convert_bound(param, bound, 0, 1);
}

// Fast-call functions are stored in PyMethodDef's generic slot; the detour
// through void(*)() tells the compiler the cast is deliberate.
template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The fast-call entry of module function `Sig`: binds and converts the
// arguments, then hands them to `Body`. Flattened: the guard, the binder,
// the conversions and the body form one function.
template <const auto& Sig, auto Body>
[[gnu::flatten]] PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard([&] {
        BoundArgs bound(Sig.table, interned_names<Sig>, nullptr, args, static_cast<std::size_t>(nargsf), kwnames);
        return std::apply(Body, convert_arguments<Sig>(bound));
    });
}

// The entry of a function without parameters: the interpreter itself refuses
// any argument (METH_NOARGS).
template <auto Body>
PyObject* noargs(PyObject*, PyObject*) {
    return guard([] { return Body(); });
}

// The method of module function `Sig` with body `Body`.
template <const auto& Sig, auto Body>
PyMethodDef function_method() {
    if constexpr (Sig.table.count == 0) {
        return {Sig.table.function_name, &noargs<Body>, METH_NOARGS, text_signature<Sig>.data()};
    } else {
        return {Sig.table.function_name, as_method(&fastcall<Sig, Body>), METH_FASTCALL | METH_KEYWORDS,
                text_signature<Sig>.data()};
    }
}

}  // namespace kelvane::py
