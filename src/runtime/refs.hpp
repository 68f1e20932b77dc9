// Owned references and the error convention shared by all code that calls the C API.
//
// Rules of use:
//   - Wrap every new reference at once: `Ref::own(PyObject_GetAttr(...))` checks the result
//     and throws PyErrOccurred on NULL; `Ref::steal(p)` takes a reference known to be valid.
//   - Take a borrowed reference you need to keep with `Ref::borrow(p)` (adds one); a lookup
//     that may find nothing answers with `Borrowed`, empty when nothing was found.
//   - Hand a reference back to the interpreter with `release()`.
//   - `check()` turns a NULL or -1 result into a throw; a throw always has a Python
//     exception set. Entry points called by the interpreter catch it in one place
//     (`guarded`) and return NULL or -1. No Py_DECREF outside this header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace zarn {

// Thrown only while a Python exception is pending.
struct PyErrOccurred {};

[[noreturn]] inline void fail() { throw PyErrOccurred{}; }

inline PyObject* check(PyObject* p) {
    if (p == nullptr) [[unlikely]]
        fail();
    return p;
}

inline int check(int r) {
    if (r < 0) [[unlikely]]
        fail();
    return r;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // A new reference, checked: throws when `p` is NULL.
    static Ref own(PyObject* p) { return Ref(check(p)); }
    // A new reference that may be NULL (no exception implied).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // A borrowed reference, kept: adds one.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference owned elsewhere (a value in a dict, an item of a list): usable while its owner
// holds the object, never released here. Empty when a lookup found nothing, which is not
// an error.
class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A reference of our own, for use past the point where the owner could let go.
    Ref keep() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_ = nullptr;
};

// `dict[key]` when present, empty when absent; throws when the lookup itself raised (a key
// whose hash or comparison failed).
inline Borrowed dict_get(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) [[unlikely]]
        fail();
    return Borrowed(v);
}

// The same for a key whose hash is known.
inline Borrowed dict_get(PyObject* dict, PyObject* key, Py_hash_t hash) {
    PyObject* v = _PyDict_GetItem_KnownHash(dict, key, hash);
    if (v == nullptr && PyErr_Occurred()) [[unlikely]]
        fail();
    return Borrowed(v);
}

// The same for a key given as text.
inline Borrowed dict_get(PyObject* dict, const char* key) {
    PyObject* v = _PyDict_GetItemStringWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) [[unlikely]]
        fail();
    return Borrowed(v);
}

// Saves the pending exception and restores it on scope exit, so that cleanup that calls
// the C API cannot disturb it.
class ErrorGuard {
public:
    ErrorGuard() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorGuard() { PyErr_Restore(type_, value_, tb_); }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Runs `body` for an interpreter entry point: a throw becomes `on_error` with the
// exception left pending; a C++ allocation failure becomes MemoryError.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const PyErrOccurred&) {
        return on_error;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return on_error;
    }
}

}  // namespace zarn
