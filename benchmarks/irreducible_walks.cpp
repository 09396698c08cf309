// The irreducible work of the benchmarked tape walks, as a bare C loop: per
// node, the fresh argument tuples (see Note [Fresh argument tuples] in the
// extension), one vectorcall of the rule, and the result stored in a flat
// array, with the cotangent addition where a parent receives a second
// contribution. No tape, no holds, no checks: the bound below which no walk
// that calls its rules from C with fresh tuples can go.
//
// walk(kind, rule, nodes, one, literal, positions, specs, lanes=1): `kind`
// is 0 chain JVP, 1 wide JVP, 2 chain VJP, 3 wide VJP, on the tapes
// bench_walks.py records (a chain of one-parent nodes; a wide tape whose node
// i has parents i-2 and i-1 at slots 0 and 2 and the literal at slot 1). A
// JVP may carry several lanes of tangents.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

namespace {

struct Slots {
    std::vector<PyObject*> items;
    explicit Slots(Py_ssize_t n) : items(static_cast<size_t>(n), nullptr) {}
    ~Slots() {
        for (PyObject* item : items) Py_XDECREF(item);
    }
    PyObject*& operator[](Py_ssize_t i) { return items[static_cast<size_t>(i)]; }
};

PyObject* tuple_of(PyObject* a) {
    PyObject* t = PyTuple_New(1);
    if (t != nullptr) PyTuple_SET_ITEM(t, 0, Py_NewRef(a));
    return t;
}

PyObject* tuple_of(PyObject* a, PyObject* b, PyObject* c) {
    PyObject* t = PyTuple_New(3);
    if (t == nullptr) return nullptr;
    PyTuple_SET_ITEM(t, 0, Py_NewRef(a));
    PyTuple_SET_ITEM(t, 1, Py_NewRef(b));
    PyTuple_SET_ITEM(t, 2, Py_NewRef(c));
    return t;
}

PyObject* or_none(PyObject* obj) { return obj != nullptr ? obj : Py_None; }

bool jvp(bool wide, PyObject* rule, Py_ssize_t nodes, PyObject* one, PyObject* literal) {
    const Py_ssize_t inputs = wide ? 2 : 1;
    const Py_ssize_t total = nodes + inputs;
    Slots values(total), tangents(total);
    for (Py_ssize_t i = 0; i < total; ++i) values[i] = Py_NewRef(one);
    tangents[0] = Py_NewRef(one);
    for (Py_ssize_t i = inputs; i < total; ++i) {
        PyObject* primals;
        PyObject* lane;
        if (wide) {
            primals = tuple_of(values[i - 2], literal, values[i - 1]);
            lane = tuple_of(or_none(tangents[i - 2]), Py_None, or_none(tangents[i - 1]));
        } else {
            primals = tuple_of(values[i - 1]);
            lane = tuple_of(or_none(tangents[i - 1]));
        }
        if (primals == nullptr || lane == nullptr) {
            Py_XDECREF(primals);
            Py_XDECREF(lane);
            return false;
        }
        PyObject* args[] = {values[i], primals, lane, Py_None, Py_None, Py_None};
        PyObject* tangent = PyObject_Vectorcall(rule, args, 6, nullptr);
        Py_DECREF(primals);
        Py_DECREF(lane);
        if (tangent == nullptr) return false;
        tangents[i] = tangent;
    }
    return true;
}

// `lanes` tangents per node, lane l of node i at i * lanes + l: the primal
// tuple is made once per node, a tangent tuple and a call once per lane. The
// one-lane walk above stays as it is, so its figures keep their meaning.
bool jvp_lanes(bool wide, PyObject* rule, Py_ssize_t nodes, PyObject* one, PyObject* literal, Py_ssize_t lanes) {
    const Py_ssize_t inputs = wide ? 2 : 1;
    const Py_ssize_t total = nodes + inputs;
    Slots values(total), tangents(total * lanes);
    for (Py_ssize_t i = 0; i < total; ++i) values[i] = Py_NewRef(one);
    for (Py_ssize_t l = 0; l < lanes; ++l) tangents[l] = Py_NewRef(one);
    for (Py_ssize_t i = inputs; i < total; ++i) {
        PyObject* primals = wide ? tuple_of(values[i - 2], literal, values[i - 1]) : tuple_of(values[i - 1]);
        if (primals == nullptr) return false;
        for (Py_ssize_t l = 0; l < lanes; ++l) {
            PyObject* lane =
                wide ? tuple_of(or_none(tangents[(i - 2) * lanes + l]), Py_None, or_none(tangents[(i - 1) * lanes + l]))
                     : tuple_of(or_none(tangents[(i - 1) * lanes + l]));
            if (lane == nullptr) {
                Py_DECREF(primals);
                return false;
            }
            PyObject* args[] = {values[i], primals, lane, Py_None, Py_None, Py_None};
            PyObject* tangent = PyObject_Vectorcall(rule, args, 6, nullptr);
            Py_DECREF(lane);
            if (tangent == nullptr) {
                Py_DECREF(primals);
                return false;
            }
            tangents[i * lanes + l] = tangent;
        }
        Py_DECREF(primals);
    }
    return true;
}

bool accumulate(PyObject*& slot, PyObject* contribution) {
    if (contribution == Py_None) return true;
    if (slot == nullptr) {
        slot = Py_NewRef(contribution);
        return true;
    }
    PyObject* sum = PyNumber_Add(slot, contribution);
    if (sum == nullptr) return false;
    Py_SETREF(slot, sum);
    return true;
}

bool vjp(bool wide, PyObject* rule, Py_ssize_t nodes, PyObject* one, PyObject* literal, PyObject* positions,
         PyObject* specs) {
    const Py_ssize_t inputs = wide ? 2 : 1;
    const Py_ssize_t total = nodes + inputs;
    Slots values(total), cotangents(total);
    for (Py_ssize_t i = 0; i < total; ++i) values[i] = Py_NewRef(one);
    cotangents[total - 1] = Py_NewRef(one);
    for (Py_ssize_t i = total - 1; i >= inputs; --i) {
        PyObject* cotangent = cotangents[i];
        cotangents[i] = nullptr;
        if (cotangent == nullptr) continue;
        PyObject* primals = wide ? tuple_of(values[i - 2], literal, values[i - 1]) : tuple_of(values[i - 1]);
        if (primals == nullptr) {
            Py_DECREF(cotangent);
            return false;
        }
        PyObject* args[] = {values[i], primals, cotangent, Py_None, positions, Py_None, specs, Py_None};
        PyObject* result = PyObject_Vectorcall(rule, args, 8, nullptr);
        Py_DECREF(primals);
        Py_DECREF(cotangent);
        if (result == nullptr) return false;
        if (!PyList_CheckExact(result) || PyList_GET_SIZE(result) != (wide ? 3 : 1)) {
            Py_DECREF(result);
            PyErr_SetString(PyExc_ValueError, "the rule must return a list with one entry per operand");
            return false;
        }
        const bool ok = wide ? accumulate(cotangents[i - 2], PyList_GET_ITEM(result, 0)) &&
                                   accumulate(cotangents[i - 1], PyList_GET_ITEM(result, 2))
                             : accumulate(cotangents[i - 1], PyList_GET_ITEM(result, 0));
        Py_DECREF(result);
        if (!ok) return false;
    }
    return true;
}

PyObject* walk(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7 && nargs != 8) {
        PyErr_SetString(PyExc_TypeError, "walk(kind, rule, nodes, one, literal, positions, specs, lanes=1)");
        return nullptr;
    }
    const long kind = PyLong_AsLong(args[0]);
    const Py_ssize_t nodes = PyLong_AsSsize_t(args[2]);
    const Py_ssize_t lanes = nargs == 8 ? PyLong_AsSsize_t(args[7]) : 1;
    if (PyErr_Occurred()) return nullptr;
    if (kind < 0 || kind > 3 || nodes < 0 || lanes < 1 || ((kind & 2) != 0 && lanes != 1)) {
        PyErr_SetString(PyExc_ValueError, "kind must be 0 to 3, nodes at least 0, and lanes at least 1 (1 for a VJP)");
        return nullptr;
    }
    const bool wide = (kind & 1) != 0;
    bool ok = false;
    try {
        ok = (kind & 2) != 0 ? vjp(wide, args[1], nodes, args[3], args[4], args[5], args[6])
             : lanes == 1    ? jvp(wide, args[1], nodes, args[3], args[4])
                             : jvp_lanes(wide, args[1], nodes, args[3], args[4], lanes);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)), METH_FASTCALL,
     "Runs one benchmarked walk as a bare C loop."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "irreducible_walks",
    .m_doc = "The irreducible work of the benchmarked walks.",
    .m_size = 0,
    .m_methods = methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_irreducible_walks() { return PyModuleDef_Init(&module_def); }
