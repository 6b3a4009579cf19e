// The Python face of the module: registration, argument binding for `run`,
// and the conversion of replies and errors. Everything else lives in the core
// library; this file only converts. It is the one file that sees PyObject*.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "base/interrupt_check.h"
#include "base/thread_ready.h"
#include "host/memory_return.h"
#include "host/run_command.h"
#include "text/content_hash.h"

namespace {

// Owns one strong reference, so an early return cannot leak it.
class PyRef {
public:
    explicit PyRef(PyObject* object = nullptr) : object_(object) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_;
};

constexpr const char* MODULE_NAME = "brightloom_index_native";
constexpr const char* FUNCTION_NAME = "run()";
constexpr const char* PARAMETER_NAMES[] = {"command", "payload_json"};
constexpr Py_ssize_t PARAMETER_COUNT = 2;

constexpr const char* PANIC_DOC =
    "Raised when native code called from Python panics (an internal fault).\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it is\n"
    "normally not caught by handlers for Exception and propagates all the way up\n"
    "the stack, ending the interpreter.";
constexpr const char* GENERIC_FAULT_TEXT = "internal fault in native code";

// Process-wide state, touched with the interpreter lock held except for the
// interpreter identity, which is claimed by one compare-and-swap.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;
PyObject* panic_exception = nullptr;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    MODULE_NAME,
    "",       // __doc__
    0,        // no per-module state
    nullptr,  // no method table: `run` is added by the module body
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Raises `message` as PanicException, creating the class on first need, after
// writing the diagnostic to standard error.
void raise_panic(const char* message, int line) {
    std::fprintf(stderr, "%s: internal fault in thread %lu at %s:%d: %s\n", MODULE_NAME,
                 static_cast<unsigned long>(pthread_self()), __FILE__, line, message);
    if (panic_exception == nullptr) {
        panic_exception = PyErr_NewExceptionWithDoc("brightloom_index_native.PanicException",
                                                    PANIC_DOC, PyExc_BaseException, nullptr);
        // Creating the class can only fail for lack of memory; that error is
        // set and is the truthful answer, so it is raised instead.
        if (panic_exception == nullptr) return;
    }
    PyErr_SetString(panic_exception, message);
}

constexpr const char* UNKNOWN_TYPE_NAME = "<failed to extract type name>";

// Raises the TypeError for an argument that is not a `str`. A type's
// __qualname__ can be any str, lone surrogates and NUL characters included:
// it is inserted whole when it has a UTF-8 form, and replaced by a fixed text
// (with the conversion's error cleared) when it has none.
void raise_not_a_string(PyObject* argument, const char* parameter) {
    PyRef qualified_name(PyType_GetQualName(Py_TYPE(argument)));
    if (qualified_name && PyUnicode_AsUTF8AndSize(qualified_name.get(), nullptr) != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
                     parameter, qualified_name.get());
        return;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyString'",
                 parameter, UNKNOWN_TYPE_NAME);
}

// The UTF-8 text of a `str` argument, or null with TypeError (or the
// interpreter's UnicodeEncodeError for lone surrogates) set.
const char* argument_text(PyObject* argument, const char* parameter, Py_ssize_t* size) {
    PyTypeObject* type = Py_TYPE(argument);
    if (type != &PyUnicode_Type && !PyType_IsSubtype(type, &PyUnicode_Type)) {
        raise_not_a_string(argument, parameter);
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(argument, size);
}

void raise_missing_arguments(PyObject* const slots[PARAMETER_COUNT]) {
    std::string names;
    int missing = 0;
    for (Py_ssize_t i = 0; i < PARAMETER_COUNT; ++i) {
        if (slots[i] == nullptr) ++missing;
    }
    for (Py_ssize_t i = 0, listed = 0; i < PARAMETER_COUNT; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) names += (listed + 1 == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
        names += std::string("'") + PARAMETER_NAMES[i] + "'";
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", FUNCTION_NAME, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
}

// Binds positional and keyword arguments to the two slots, in the same order
// of checks as a Python function: too many positionals first, then each
// keyword, then the missing ones. Returns false with TypeError set.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* slots[PARAMETER_COUNT]) {
    if (nargs > PARAMETER_COUNT) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", FUNCTION_NAME,
                     static_cast<int>(PARAMETER_COUNT), nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) return false;
        // Compared without a UTF-8 form, which a name holding a lone
        // surrogate does not have: such a name is simply unexpected.
        Py_ssize_t slot;
        if (PyUnicode_CompareWithASCIIString(keyword, PARAMETER_NAMES[1]) == 0) {
            slot = 1;
        } else if (PyUnicode_CompareWithASCIIString(keyword, PARAMETER_NAMES[0]) == 0) {
            slot = 0;
        } else {
            // %U writes the whole name; the UTF-8 text would stop at a NUL.
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", FUNCTION_NAME,
                         keyword);
            return false;
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", FUNCTION_NAME,
                         PARAMETER_NAMES[slot]);
            return false;
        }
        slots[slot] = args[nargs + k];
    }
    if (slots[0] == nullptr || slots[1] == nullptr) {
        raise_missing_arguments(slots);
        return false;
    }
    return true;
}

// The interrupt check of a call: a signal that arrived while a system call
// blocked runs its Python handler here. True when the handler raised (Ctrl-C
// raises KeyboardInterrupt), leaving that exception set.
bool signal_handler_raised() { return PyErr_CheckSignals() != 0; }

PyObject* run_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[PARAMETER_COUNT] = {nullptr, nullptr};
    if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;

    Py_ssize_t command_size = 0, payload_size = 0;
    const char* command = argument_text(slots[0], PARAMETER_NAMES[0], &command_size);
    if (command == nullptr) return nullptr;
    const char* payload = argument_text(slots[1], PARAMETER_NAMES[1], &payload_size);
    if (payload == nullptr) return nullptr;
    // Any Python thread may call: its first C++ exception (std::bad_alloc
    // when memory runs out) must not be what ends the process.
    if (!brightloom::ready_thread_for_exceptions()) return PyErr_NoMemory();

    // The one place where C++ exceptions stop: nothing may unwind into the
    // interpreter. Running out of memory is reported as such; anything else
    // is a broken invariant and becomes PanicException.
    try {
        const brightloom::MemoryReturn memory_return(static_cast<std::size_t>(payload_size));
        brightloom::InterruptScope interrupt_scope(signal_handler_raised);
        brightloom::Result<std::string> reply =
            brightloom::run_command(std::string_view(command, static_cast<std::size_t>(command_size)),
                                    std::string_view(payload, static_cast<std::size_t>(payload_size)));
        // The handler's exception (KeyboardInterrupt) is set and is the
        // answer, whatever the abandoned command made of its stop.
        if (interrupt_scope.interrupted()) return nullptr;
        if (!reply.ok()) {
            const std::string& message = reply.error().message;
            PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
            if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
            return nullptr;
        }
        return PyUnicode_FromStringAndSize(reply->data(), static_cast<Py_ssize_t>(reply->size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what()[0] != '\0' ? fault.what() : GENERIC_FAULT_TEXT, __LINE__);
        return nullptr;
    } catch (...) {
        raise_panic(GENERIC_FAULT_TEXT, __LINE__);
        return nullptr;
    }
}

PyMethodDef run_definition = {
    "run",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "run(command, payload_json)\n--\n\n",
};

// Sets up, at import, what the core would otherwise set up on first use,
// where failing is harder to survive: libstdc++'s thread-local data of this
// thread, and OpenSSL with its SHA-256 (an OpenSSL whose first use runs out
// of memory on a scan worker is left half made and crashes later). False with
// MemoryError set.
bool prepare_core() {
    if (!brightloom::ready_thread_for_exceptions()) {
        PyErr_NoMemory();
        return false;
    }
    try {
        brightloom::prepare_content_hash();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Adds `run` to a fresh module and lists it in __all__.
bool add_module_members(PyObject* module) {
    static PyObject* name_attribute = PyUnicode_InternFromString("__name__");
    static PyObject* all_attribute = PyUnicode_InternFromString("__all__");
    if (name_attribute == nullptr || all_attribute == nullptr) return false;

    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function(PyCMethod_New(&run_definition, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef function_name(PyObject_GetAttr(function.get(), name_attribute));
    if (!function_name) return false;

    PyRef all(PyObject_GetAttr(module, all_attribute));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyRef fresh(PyList_New(0));
        if (!fresh || PyObject_SetAttr(module, all_attribute, fresh.get()) != 0) return false;
        if (PyList_Append(fresh.get(), function_name.get()) != 0) {
            PyErr_Clear();
            raise_panic("could not append __name__ to __all__", __LINE__);
            return false;
        }
    } else if (!PyList_Check(all.get()) || PyList_Append(all.get(), function_name.get()) != 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__", __LINE__);
        return false;
    }
    return PyObject_SetAttr(module, function_name.get(), function.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_brightloom_index_native() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "brightloom_index_native does not yet support sub-interpreters: it can be "
                        "imported in only one interpreter per process");
        return nullptr;
    }
    if (cached_module != nullptr) return Py_NewRef(cached_module);
    if (!prepare_core()) return nullptr;

    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) return nullptr;
    if (!add_module_members(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    // The cache keeps its own reference for the life of the process.
    cached_module = Py_NewRef(module);
    return module;
}
