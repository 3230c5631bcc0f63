#include "module/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "hal/common/src/packets/buffer.hpp"
#include "module/state.hpp"

namespace kelvane::py {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyObject* get_panic_type() {
    PyObject* type = state().panic_type;
    if (type) return type;
    // Released with the rest of the state at finalization: a fault in a late
    // finalizer is still reported, as a RuntimeError.
    if (state().released) return PyExc_RuntimeError;
    fault("Failed to initialize new exception type.");
}

void report(const Fault& fault) {
    std::fprintf(stderr, "kelvane: internal fault at %s:%u: %s\n", fault.where.file_name(),
                 static_cast<unsigned>(fault.where.line()), fault.message.c_str());
    std::fflush(stderr);
}

// Fault messages are kept as UTF-8 with lone surrogates passed through, so
// that any str, as Python code may raise it, comes back out unchanged.
constexpr const char* kSurrogates = "surrogatepass";

// str(object) as such bytes; false if there is no text.
bool text_of(PyObject* object, std::string& out) {
    Ref text = Ref::steal(PyObject_Str(object));
    Ref bytes = text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", kSurrogates)) : Ref();
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

[[noreturn]] void resume_panic(Ref exception, std::source_location where) {
    std::string message;
    if (!text_of(exception.get(), message)) message = "Unwrapped panic from Python code";
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    if (PyErr_GivenExceptionMatches(exception.get(), PyExc_SystemExit)) {
        // Printing a SystemExit would end the process in the middle of the
        // call; show it without that side effect.
        PyErr_DisplayException(exception.get());
    } else {
        PyErr_SetRaisedException(exception.release());
        PyErr_PrintEx(0);
    }
    throw Fault{std::move(message), where, true};
}

}  // namespace

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorAlreadySet{};
}

void raise(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    throw ErrorAlreadySet{};
}

void raise_pending() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) raise(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* panic_type = state().panic_type;
    if (panic_type && PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        resume_panic(std::move(exception), std::source_location::current());
    }
    PyErr_SetRaisedException(exception.release());
    throw ErrorAlreadySet{};
}

void fault(std::string message, std::source_location where) { throw Fault{std::move(message), where}; }

PyObject* make_panic_type() {
    return checked(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr))
        .release();
}

void creation_failed(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    fault("Python API call failed", where);
}

void prefix_type_error(const char* name) {
    Ref original = Ref::steal(PyErr_GetRaisedException());
    if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    // str() of the original runs Python code; what it raises replaces the
    // original, and a PanicException from it is resumed like any other.
    Ref message = checked(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    Ref replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

void raise_wrong_type(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) {
        PyErr_Clear();
        qualname = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
        if (!qualname) raise_pending();
    }
    Ref message = checked(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
    raise(PyExc_TypeError, message.get());
}

void raise_panic(const Fault& fault) noexcept {
    try {
        if (!fault.reported) report(fault);
        PyObject* type = get_panic_type();
        Ref message = Ref::steal(
            PyUnicode_DecodeUTF8(fault.message.data(), static_cast<Py_ssize_t>(fault.message.size()), kSurrogates));
        if (!message) {
            // Still raise the right type, even if its text could not be made.
            PyErr_Clear();
            PyErr_SetNone(type);
            return;
        }
        PyErr_SetObject(type, message.get());
    } catch (const Fault& inner) {
        report(inner);
        abort_at_boundary();
    } catch (...) {
        abort_at_boundary();
    }
}

void raise_panic_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const packets::EncodeError& error) {
            raise_panic(Fault{std::string("called `Result::unwrap()` on an `Err` value: ") + error.what(),
                              std::source_location::current()});
        } catch (const std::exception& error) {
            raise_panic(Fault{error.what(), std::source_location::current()});
        } catch (...) {
            raise_panic(Fault{"unknown C++ exception", std::source_location::current()});
        }
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace kelvane::py
