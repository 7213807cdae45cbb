/* The least a native base class with OrvClient's instance layout can do, as a yardstick
 * for bench/dispatch.py: it is not part of the module or its wheel.
 *
 * ReferenceClient's instances hold one pointer (where OrvClient's hold their C++ object)
 * and a dictionary slot that the generic attribute machinery fills on the first
 * assignment; they are allocated by tp_alloc and tracked by the collector because of the
 * dictionary. A Python subclass keeps that slot (it does not get the interpreter-managed
 * dictionary), so a call site on a subclass instance looks its methods up the way it does
 * on an OrvClient subclass.
 *
 * place_order and simulateTickPrice test their arguments' types, as the module's entries
 * do, then call self.placeOrder / self.tickPrice with the same objects: no conversion, no
 * recursion guard, no lookup of our own, just the interpreter's method call. placeOrder
 * and tickPrice themselves are C no-ops, which a subclass without an override reaches.
 *
 * bench/dispatch.py compiles this file for the interpreter that runs it. It builds from
 * CPython 3.7 on; the method call differs before 3.9 (see call_method).
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

typedef struct {
    PyObject_HEAD
    void *held;       /* never used: stands for the pointer to the C++ object */
    PyObject *dict;   /* the instance dictionary, NULL until an attribute is set */
} ReferenceObject;

/* Interned at module initialisation. */
static PyObject *name_placeOrder;
static PyObject *name_tickPrice;

/* self.<name>(*args[1:]), where args[0] is self and nargs counts it; args[0] may be
 * overwritten for the length of the call. A new reference, or NULL with an exception. */
static PyObject *
call_method(PyObject *name, PyObject **args, size_t nargs)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     NULL);
#else
    /* No method call without a bound method before 3.9: fetch the attribute (a bound
     * method for a Python override, a bound C function for our no-op) and call it. */
    PyObject *method = PyObject_GetAttr(args[0], name);
    PyObject *result;
    if (method == NULL) {
        return NULL;
    }
#if PY_VERSION_HEX >= 0x03080000
    /* 3.8: the vector call, with the slot before args + 1 free for the callee. */
    result = _PyObject_Vectorcall(method, args + 1,
                                  (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
#else
    /* 3.7: no vector call; the argument tuple, as the module's own fallback does. */
    {
        size_t i;
        PyObject *tuple = PyTuple_New((Py_ssize_t)(nargs - 1));
        if (tuple == NULL) {
            Py_DECREF(method);
            return NULL;
        }
        for (i = 1; i < nargs; i++) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(tuple, (Py_ssize_t)(i - 1), args[i]);
        }
        result = PyObject_Call(method, tuple, NULL);
        Py_DECREF(tuple);
    }
#endif
    Py_DECREF(method);
    return result;
#endif
}

static int
expect_count(const char *name, Py_ssize_t expected, Py_ssize_t given)
{
    if (given == expected) {
        return 1;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected,
                 given);
    return 0;
}

static PyObject *
place_order(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *stack[4];
    PyObject *result;
    if (!expect_count("place_order", 3, nargs)) {
        return NULL;
    }
    if (!PyLong_Check(args[0]) || !PyUnicode_Check(args[1]) || !PyUnicode_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError,
                        "place_order(order_id: int, contract: str, order: str)");
        return NULL;
    }
    stack[0] = self;
    stack[1] = args[0];
    stack[2] = args[1];
    stack[3] = args[2];
    result = call_method(name_placeOrder, stack, 4);
    if (result == NULL) {
        return NULL;
    }
    Py_DECREF(result);
    Py_RETURN_NONE;
}

/* The last argument is taken and not passed on, as the module's entry does. */
static PyObject *
simulate_tick_price(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *stack[5];
    PyObject *result;
    if (!expect_count("simulateTickPrice", 5, nargs)) {
        return NULL;
    }
    if (!PyLong_Check(args[0]) || !PyLong_Check(args[1]) || !PyFloat_Check(args[2]) ||
        !PyUnicode_Check(args[3]) || !PyUnicode_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError,
                        "simulateTickPrice(ticker_id: int, field: int, price: float, "
                        "attribs: str, unused: str)");
        return NULL;
    }
    stack[0] = self;
    stack[1] = args[0];
    stack[2] = args[1];
    stack[3] = args[2];
    stack[4] = args[3];
    result = call_method(name_tickPrice, stack, 5);
    if (result == NULL) {
        return NULL;
    }
    Py_DECREF(result);
    Py_RETURN_NONE;
}

/* The defaults: nothing happens, as in OrvClient. */
static PyObject *
default_place_order(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    (void)self;
    (void)args;
    if (!expect_count("placeOrder", 3, nargs)) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyObject *
default_tick_price(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    (void)self;
    (void)args;
    if (!expect_count("tickPrice", 4, nargs)) {
        return NULL;
    }
    Py_RETURN_NONE;
}

#define FASTCALL(function) ((PyCFunction)(void (*)(void))(function))

static PyMethodDef reference_methods[] = {
    {"place_order", FASTCALL(place_order), METH_FASTCALL,
     "place_order(order_id, contract, order): calls self.placeOrder with them."},
    {"simulateTickPrice", FASTCALL(simulate_tick_price), METH_FASTCALL,
     "simulateTickPrice(ticker_id, field, price, attribs, unused): calls "
     "self.tickPrice(ticker_id, field, price, attribs)."},
    {"placeOrder", FASTCALL(default_place_order), METH_FASTCALL,
     "placeOrder(order_id, contract, order): does nothing."},
    {"tickPrice", FASTCALL(default_tick_price), METH_FASTCALL,
     "tickPrice(ticker_id, field, price, attribs): does nothing."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef reference_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static int
reference_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(((ReferenceObject *)self)->dict);
    return 0;
}

static int
reference_clear(PyObject *self)
{
    Py_CLEAR(((ReferenceObject *)self)->dict);
    return 0;
}

/* A Python subclass's dealloc calls this one last and releases the type itself. */
static void
reference_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((ReferenceObject *)self)->dict);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject ReferenceClient_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "orv_reference.ReferenceClient",
    .tp_doc = "A subclassable base whose entries call the camel-case methods.",
    .tp_basicsize = sizeof(ReferenceObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_traverse = reference_traverse,
    .tp_clear = reference_clear,
    .tp_methods = reference_methods,
    .tp_getset = reference_getset,
    .tp_dictoffset = offsetof(ReferenceObject, dict),
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = PyType_GenericNew,
    .tp_dealloc = reference_dealloc,
    .tp_free = PyObject_GC_Del,
};

static struct PyModuleDef reference_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "orv_reference",
    .m_doc = "The least a native base class with OrvClient's instance layout does "
             "(bench/dispatch.py's yardstick).",
    .m_size = -1,
};

PyMODINIT_FUNC
PyInit_orv_reference(void)
{
    PyObject *module;
    PyTypeObject *type = &ReferenceClient_Type;
    if (PyType_Ready(type) < 0) {
        return NULL;
    }
    name_placeOrder = PyUnicode_InternFromString("placeOrder");
    name_tickPrice = PyUnicode_InternFromString("tickPrice");
    if (name_placeOrder == NULL || name_tickPrice == NULL) {
        return NULL;
    }
    module = PyModule_Create(&reference_module);
    if (module == NULL) {
        return NULL;
    }
    Py_INCREF(type);
    if (PyModule_AddObject(module, "ReferenceClient", (PyObject *)type) < 0) {
        Py_DECREF(type);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
