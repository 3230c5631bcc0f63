#include "module/binder.hpp"

#include <string>

namespace kelvane::py {
namespace {

std::string full_name(const ParamTable& table) {
    std::string name;
    if (table.class_name) {
        name += table.class_name;
        name += '.';
    }
    name += table.function_name;
    name += "()";
    return name;
}

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message.c_str()); }

[[noreturn]] void too_many_positional(const ParamTable& table, std::size_t given) {
    std::string message = full_name(table) + " takes " + std::to_string(table.count) + " positional arguments but " +
                          std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
}

[[noreturn]] void keyword_error(const ParamTable& table, const char* what, PyObject* keyword) {
    // Keyword names are str from any Python caller; C callers could pass anything.
    const char* format = PyUnicode_Check(keyword) ? "%s %s '%U'" : "%s %s '%S'";
    Ref message = checked(PyUnicode_FromFormat(format, full_name(table).c_str(), what, keyword));
    raise(PyExc_TypeError, message.get());
}

void bind_keyword(const ParamTable& table, const InternedNames& names, PyObject* keyword, PyObject* value,
                  PyObject** out) {
    std::size_t index = 0;
    while (index < table.count && names[index] != keyword) ++index;
    if (index == table.count && PyUnicode_Check(keyword)) {
        index = 0;
        while (index < table.count && PyUnicode_CompareWithASCIIString(keyword, table.names[index]) != 0) ++index;
    }
    if (index == table.count) keyword_error(table, "got an unexpected keyword argument", keyword);
    if (out[index]) keyword_error(table, "got multiple values for argument", keyword);
    out[index] = value;
}

void check_required(const ParamTable& table, std::size_t positional, PyObject* const* out) {
    std::size_t missing[kMaxParams];
    std::size_t count = 0;
    for (std::size_t i = positional; i < table.count; ++i) {
        if (!out[i]) missing[count++] = i;
    }
    if (count == 0) return;
    std::string message = full_name(table) + " missing " + std::to_string(count) + " required positional " +
                          (count == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) message += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        message += '\'';
        message += table.names[missing[i]];
        message += '\'';
    }
    raise_type_error(message);
}

std::size_t bind_positional(const ParamTable& table, PyObject* const* args, std::size_t given, PyObject** out) {
    if (given > table.count) too_many_positional(table, given);
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
    for (std::size_t i = given; i < table.count; ++i) out[i] = nullptr;
    return given;
}

}  // namespace

void intern_names(const ParamTable& table, InternedNames& names) {
    for (std::size_t i = 0; i < table.count; ++i) {
        if (!names[i]) names[i] = checked(PyUnicode_InternFromString(table.names[i])).release();
    }
}

void release_names(InternedNames& names) {
    for (PyObject*& name : names) Py_CLEAR(name);
}

// Every keyword fills a parameter that was still empty, or raises; so when
// the arguments given add up to the parameter count, nothing is missing and
// no second pass is needed.
void bind_vector(const ParamTable& table, const InternedNames& names, PyObject* const* args, std::size_t nargsf,
                 PyObject* kwnames, PyObject** out) {
    const auto given = bind_positional(table, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), out);
    std::size_t filled = given;
    if (kwnames) {
        const auto keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
        for (std::size_t k = 0; k < keywords; ++k) {
            bind_keyword(table, names, PyTuple_GET_ITEM(kwnames, k), args[given + k], out);
        }
        filled += keywords;
    }
    if (filled < table.count) check_required(table, given, out);
}

void bind_arguments(const ParamTable& table, const InternedNames& names, PyObject* args, PyObject* kwargs,
                    PyObject** out) {
    const auto given =
        bind_positional(table, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)), out);
    std::size_t filled = given;
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) bind_keyword(table, names, keyword, value, out);
        filled += static_cast<std::size_t>(PyDict_GET_SIZE(kwargs));
    }
    if (filled < table.count) check_required(table, given, out);
}

PyObject* const* BoundArgs::hold_objects(PyObject* self, PyObject* const* items, std::size_t count,
                                         std::array<PyObject*, kMaxParams>& storage, Held& held) {
    held[kMaxParams] = Ref::borrow(self);
    for (std::size_t i = 0; i < count; ++i) {
        storage[i] = items[i];
        held[i] = Ref::borrow(storage[i]);
    }
    return storage.data();
}

}  // namespace kelvane::py
