#pragma once
// Method tables hold every C function as a PyCFunction; the flags beside it tell CPython the
// real signature (METH_FASTCALL | METH_KEYWORDS, METH_O, ...), so the cast is how tables are built.

#include <Python.h>

namespace quorvelin::py {

template <class F>
constexpr PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace quorvelin::py
