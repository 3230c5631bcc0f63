// How failures travel inside the binding layer: as C++ exceptions, caught only
// by the entry guard (module/kelvane.hpp), which turns them into Python
// exceptions.
#pragma once

#include <source_location>
#include <string>

#include "module/ref.hpp"

namespace kelvane::py {

// A Python exception is pending; the guard only has to return the failure value.
struct ErrorAlreadySet {};

// An internal fault: a broken invariant or an object the interpreter should
// always be able to make. Reaches Python as PanicException.
struct Fault {
    std::string message;
    std::source_location where;
    bool reported = false;  // already written to stderr
};

// Sets `type(message)` as the pending exception and unwinds.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, PyObject* message);

// Unwinds with the exception the interpreter reported. A PanicException
// raised by Python code is resumed as a fault, not treated as an error.
[[noreturn]] void raise_pending();

[[noreturn]] void fault(std::string message, std::source_location where = std::source_location::current());

// A new PanicException type. Start-up makes the one the module uses, where a
// failure can still fail the import, so that no later call has to make it
// while memory may be short.
PyObject* make_panic_type();

// For objects the interpreter should always be able to create (the packet
// bytes): prints the pending error and faults.
[[noreturn]] void creation_failed(std::source_location where = std::source_location::current());

// A new reference from an interpreter call, or unwinds with its error.
inline Ref checked(PyObject* result) {
    if (!result) raise_pending();
    return Ref::steal(result);
}

inline void checked_status(int status) {
    if (status < 0) raise_pending();
}

// Puts "argument '<name>': " in front of a pending exception whose type is
// exactly TypeError; any other exception passes through unchanged. Unwinds
// like raise_pending() if making the new message fails.
void prefix_type_error(const char* name);

// Runs one conversion, naming its argument if it fails with a TypeError.
// Always inlined: it is a few instructions around the conversion on every
// argument of every call, and the handler costs nothing until it runs.
template <class Convert>
[[gnu::always_inline]] inline decltype(auto) convert_argument(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        prefix_type_error(name);
        throw;
    }
}

// "'<qualname of obj's type>' object cannot be converted to '<target>'"
[[noreturn]] void raise_wrong_type(PyObject* obj, const char* target);

// Turns a fault or an escaped C++ exception into PanicException. Never throws:
// a failure inside it aborts the process.
void raise_panic(const Fault& fault) noexcept;
void raise_panic_from_current_exception() noexcept;

}  // namespace kelvane::py
