#include "core/abc.hpp"

#include <array>
#include <cstring>
#include <vector>

namespace tavik {

KeptAnswers kept_answers = {};

namespace {

// The type of each column, as column_of() numbers them.
const std::array<PyTypeObject*, kColumns> types = {&PyUnicode_Type, &PyLong_Type,      &PyDict_Type,
                                                   &PyList_Type,    &PyFloat_Type,     &PyBool_Type,
                                                   Py_TYPE(Py_None), &PyBytes_Type,    &PyTuple_Type};

bool& changed = kept_answers.changed;
bool usable = false;

// ABCMeta's two methods as abc.py defines them, which a kept answer stands in
// for; their code is compared with this compiled.
constexpr const char* kMetaSource =
    "class _:\n"
    "    def __instancecheck__(cls, instance):\n"
    "        \"\"\"Override for isinstance(instance, cls).\"\"\"\n"
    "        return _abc_instancecheck(cls, instance)\n"
    "    def __subclasscheck__(cls, subclass):\n"
    "        \"\"\"Override for issubclass(subclass, cls).\"\"\"\n"
    "        return _abc_subclasscheck(cls, subclass)\n";

KeptFunction instancecheck;  // ABCMeta.__instancecheck__, mirrored in kept_answers
KeptFunction subclasscheck;  // ABCMeta.__subclasscheck__

// A row's __subclasshook__, which a registry answer stands in for: kept
// (into kept_answers.hook) when the first such answer is taken.
struct Hook {
    bool tried = false;
    KeptFunction function;
    PyObject* classmethod = nullptr;  // as found through the ABC's MRO
};
std::array<Hook, kRows> hooks;

// The _abc module whose functions the methods call, and its state.
PyObject* abc_module = nullptr;

Ref interned(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

// What `abc` (a class) finds for `name` through its MRO, borrowed.
PyObject* class_lookup(PyObject* abc, const char* name) {
    Ref key = interned(name);
    return key ? _PyType_Lookup(reinterpret_cast<PyTypeObject*>(abc), key.get()) : nullptr;
}

// The set's lookup as first_with_hash() follows it, checked on sets of ints
// (whose hashes are themselves) laid out by the set itself: each member is
// the first entry with its hash, and a hash none has leads to a free slot.
bool lookup_order_holds() {
    for (long size : {3L, 40L}) {
        Ref set = Ref::steal(PySet_New(nullptr));
        if (!set) return false;
        std::vector<Ref> members;
        for (long i = 0; i < size; ++i) {
            // Crowded low bits, so that probing goes past the first slot.
            Ref n = Ref::steal(PyLong_FromLong(i * 64 + (i % 3)));
            if (!n || PySet_Add(set.get(), n.get()) < 0) return false;
            members.push_back(n);
        }
        for (const Ref& n : members) {
            PyObject* found = first_with_hash(set.get(), PyObject_Hash(n.get()));
            if (!found || PyObject_RichCompareBool(found, n.get(), Py_EQ) != 1) return false;
        }
        for (long i = 0; i < size; ++i) {
            if (first_with_hash(set.get(), i * 64 + 5)) return false;
        }
    }
    PyErr_Clear();
    return true;
}

// Whether `impl` (of `abc`) is laid out as AbcData: its size, the sets its
// traversal visits (the fields that are set, in order), and the copies and
// version that _abc._get_dump gives. 0 when not.
int check_layout(PyObject* abc, PyObject* impl) {
    if (Py_TYPE(impl)->tp_basicsize != static_cast<Py_ssize_t>(sizeof(AbcData)) || !Py_TYPE(impl)->tp_traverse) {
        return 0;
    }
    auto* data = reinterpret_cast<AbcData*>(impl);
    std::vector<PyObject*> visited;
    auto visit = [](PyObject* o, void* arg) {
        static_cast<std::vector<PyObject*>*>(arg)->push_back(o);
        return 0;
    };
    Py_TYPE(impl)->tp_traverse(impl, visit, &visited);
    std::vector<PyObject*> fields;
    fields.push_back(reinterpret_cast<PyObject*>(Py_TYPE(impl)));
    for (PyObject* f : {data->registry, data->cache, data->negative}) {
        if (f && !PySet_CheckExact(f)) return 0;
        if (f) fields.push_back(f);
    }
    if (visited != fields) return 0;
    Ref dump = Ref::steal(PyObject_CallMethod(abc_module, "_get_dump", "O", abc));
    if (!dump) return -1;
    if (!PyTuple_Check(dump.get()) || PyTuple_GET_SIZE(dump.get()) != 4) return 0;
    PyObject* copies[] = {data->registry, data->cache, data->negative};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* copy = PyTuple_GET_ITEM(dump.get(), i);
        if (!PySet_Check(copy) || PySet_GET_SIZE(copy) != (copies[i] ? PySet_GET_SIZE(copies[i]) : 0)) return 0;
    }
    unsigned long long version = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(dump.get(), 3));
    if (PyErr_Occurred()) return -1;
    return version == data->negative_version ? 1 : 0;
}

// `fn` is the _abc module's function `name` (every one has that module as
// its self; a function cannot be made from Python code with a C body).
bool is_abc_function(PyObject* fn, const char* name) {
    return fn && PyCFunction_Check(fn) && PyCFunction_GET_SELF(fn) == abc_module &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_name, name) == 0;
}

// The _abc module's state as AbcState: the module's state size, its type of
// _abc_data (checked per ABC) and its counter, which get_cache_token returns.
int keep_counter(PyObject* instancecheck_c) {
    PyObject* module = PyCFunction_GET_SELF(instancecheck_c);
    if (!module || !PyModule_Check(module)) return 0;
    abc_module = Py_NewRef(module);
    PyModuleDef* def = PyModule_GetDef(module);
    void* state = PyModule_GetState(module);
    if (!def || !state || def->m_size != static_cast<Py_ssize_t>(sizeof(AbcState))) {
        PyErr_Clear();
        return 0;
    }
    Ref token = Ref::steal(PyObject_CallMethod(module, "get_cache_token", nullptr));
    if (!token) return -1;
    std::uint64_t now = PyLong_AsUnsignedLongLong(token.get());
    if (PyErr_Occurred()) return -1;
    kept_answers.state = static_cast<const AbcState*>(state);
    return kept_answers.state->counter == now ? 1 : 0;
}

// What the interpreter's answers go through for instances of `meta`: its
// two methods (abc.py's own code), the _abc functions they call, and the
// _abc module's counter.
int keep_meta(PyTypeObject* meta) {
    KeptAnswers& k = kept_answers;
    k.meta = meta;
    auto* m = reinterpret_cast<PyObject*>(meta);
    if (!watch_type(m, &changed)) return 0;
    PyObject* ic = class_lookup(m, "__instancecheck__");
    PyObject* sc = ic ? class_lookup(m, "__subclasscheck__") : nullptr;
    if (!sc) return PyErr_Occurred() ? -1 : 0;
    if (!instancecheck.take(ic) || !subclasscheck.take(sc)) return 0;
    k.instancecheck = reinterpret_cast<const PyFunctionObject*>(instancecheck.function);
    k.instancecheck_code = instancecheck.code;
    k.subclasscheck = reinterpret_cast<const PyFunctionObject*>(subclasscheck.function);
    k.subclasscheck_code = subclasscheck.code;
    PyObject* globals = PyFunction_GET_GLOBALS(ic);
    if (PyFunction_GET_GLOBALS(sc) != globals) return 0;
    int r = 0;
    PyObject* check = PyDict_GetItemString(globals, "_abc_instancecheck");
    if (!check || !PyCFunction_Check(check) || (r = keep_counter(check)) <= 0) return r;
    if (!is_abc_function(check, "_abc_instancecheck") ||
        !is_abc_function(PyDict_GetItemString(globals, "_abc_subclasscheck"), "_abc_subclasscheck")) {
        return 0;
    }
    r = k.names.add(globals, "_abc_instancecheck");
    if (r > 0) r = k.names.add(globals, "_abc_subclasscheck");
    if (r <= 0) return r;
    for (int i = 0; i < kColumns; ++i) {
        k.hash[i] = PyObject_Hash(reinterpret_cast<PyObject*>(types[i]));
        if (k.hash[i] == -1) return -1;
    }
    usable = true;
    return 1;
}

// What keep_meta() leaves to the first answer taken, to keep import short:
// that the code kept of the two methods is abc.py's (a later change of
// either is seen at every use), and that set lookups follow the order that
// first_with_hash() reads. When either fails, nothing is kept.
bool meta_verified() {
    static int verified = 0;  // 1 holds, -1 does not, 0 not known yet
    if (verified == 0) {
        Ref source = Ref::steal(PyUnicode_FromString(kMetaSource));
        int r = source ? is_code_of(instancecheck.code, source.get()) : -1;
        if (r > 0) r = is_code_of(subclasscheck.code, source.get());
        if (r > 0 && !lookup_order_holds()) r = 0;
        if (r < 0) PyErr_Clear();  // nothing kept; the answer stands as given
        verified = r > 0 ? 1 : -1;
        if (verified < 0) changed = true;
    }
    return verified > 0;
}

// The hook of `abc`, kept when it is the classmethod collections.abc gives
// its ABCs: "if cls is X: return _check_methods(C, ...)" and "return
// NotImplemented", with X not `abc`, so that for `abc` it returns
// NotImplemented and does nothing else.
int keep_hook(Hook& hook, PyObject* abc) {
    PyObject* cm = class_lookup(abc, "__subclasshook__");
    if (!cm || !Py_IS_TYPE(cm, &PyClassMethod_Type) ||
        PyClassMethod_Type.tp_basicsize != static_cast<Py_ssize_t>(sizeof(ClassMethod))) {
        return PyErr_Occurred() ? -1 : 0;
    }
    // A data descriptor of the metaclass would be found before it.
    PyObject* on_meta = class_lookup(reinterpret_cast<PyObject*>(kept_answers.meta), "__subclasshook__");
    if (on_meta && Py_TYPE(on_meta)->tp_descr_set) return 0;
    Ref fn = Ref::steal(PyObject_GetAttrString(cm, "__func__"));
    if (!fn) return -1;
    if (reinterpret_cast<ClassMethod*>(cm)->callable != fn.get() || !PyFunction_Check(fn.get())) return 0;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fn.get()));
    if (PyTuple_GET_SIZE(code->co_names) != 3) return 0;
    PyObject* x = PyTuple_GET_ITEM(code->co_names, 0);
    if (!PyUnicode_CheckExact(x) || !PyUnicode_IsIdentifier(x)) return 0;
    // The method names it checks, as the source spells them.
    Ref names = Ref::steal(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; names && i < PyTuple_GET_SIZE(code->co_consts); ++i) {
        PyObject* c = PyTuple_GET_ITEM(code->co_consts, i);
        if (!PyUnicode_CheckExact(c)) return 0;
        names = Ref::steal(PyUnicode_FromFormat("%U, %R", names.get(), c));
    }
    Ref source = names ? Ref::steal(PyUnicode_FromFormat("class _:\n"
                                                         "    def __subclasshook__(cls, C):\n"
                                                         "        if cls is %U:\n"
                                                         "            return _check_methods(C%U)\n"
                                                         "        return NotImplemented\n",
                                                         x, names.get()))
                       : Ref();
    if (!source) return -1;
    int r = is_code_of(reinterpret_cast<PyObject*>(code), source.get());
    if (r <= 0) return r;
    PyObject* globals = PyFunction_GET_GLOBALS(fn.get());
    PyObject* builtins = reinterpret_cast<PyFunctionObject*>(fn.get())->func_builtins;
    if (!watch_namespace(globals) || !is_kept(globals) || !watch_namespace(builtins) || !is_kept(builtins)) return 0;
    PyObject* named = PyDict_GetItemWithError(globals, x);
    if (!named || named == abc || PyDict_GetItemString(globals, "NotImplemented") ||
        PyDict_GetItemString(builtins, "NotImplemented") != Py_NotImplemented) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Entries& read = kept_answers.names;
    r = read.add(globals, x);
    if (r > 0) r = read.add(globals, "NotImplemented");
    if (r > 0) r = read.add(builtins, "NotImplemented");
    if (r <= 0 || !hook.function.take(fn.get())) return r;
    hook.classmethod = Py_NewRef(cm);
    return 1;
}

bool hook_kept(int row) {
    Hook& hook = hooks[static_cast<std::size_t>(row)];
    KeptAnswers::Hook& inline_hook = kept_answers.hook[row];
    if (!hook.tried) {
        hook.tried = true;
        int r = keep_hook(hook, kept_answers.abc[row]);
        if (r < 0) PyErr_Clear();  // nothing kept; the answer stands as given
        if (r > 0) {
            inline_hook.function = reinterpret_cast<const PyFunctionObject*>(hook.function.function);
            inline_hook.code = hook.function.code;
            inline_hook.classmethod = reinterpret_cast<const ClassMethod*>(hook.classmethod);
        }
    }
    return inline_hook.classmethod != nullptr;
}

// `entry` an exact weak reference to `type`.
bool refers_to(PyObject* entry, PyTypeObject* type) {
    if (!PyWeakref_CheckRefExact(entry)) return false;
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(entry, &target) <= 0) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(target);  // a static type
    return target == reinterpret_cast<PyObject*>(type);
}

// After the interpreter answered `answer` for a row and column (-1: asked
// by someone else, the answer not known here): the entry that the state it
// left gives that answer from, held, as the inline test reads it.
void take(int row, int column, int answer) {
    KeptAnswers& k = kept_answers;
    KeptAnswer& kept = k.answer[row][column];
    Py_CLEAR(kept.entry);
    kept.kept = kUnkept;
    if (changed || !meta_verified()) return;
    const AbcData* data = k.impl[row];
    Py_hash_t hash = k.hash[column];
    PyObject* found = first_with_hash(data->cache, hash);
    Kept kind = kInCache;
    if (!found) {
        if (data->negative_version != k.state->counter) return;
        found = first_with_hash(data->negative, hash);
        kind = kInNegative;
        if (!found) {
            if (answer != 1 || !hook_kept(row)) return;
            found = first_with_hash(data->registry, hash);
            kind = kInRegistry;
        }
    }
    if (!found || (answer >= 0 && (kind == kInNegative) == (answer != 0)) || !refers_to(found, types[column])) {
        return;
    }
    kept.entry = Py_NewRef(found);
    kept.kept = kind;
}

}  // namespace

int keep_abc_answers(PyObject* abc) {
    KeptAnswers& k = kept_answers;
    PyTypeObject* meta = Py_TYPE(abc);
    if (k.meta && meta != k.meta) return 0;
    if (!k.meta) {
        int r = keep_meta(meta);
        if (r <= 0) {
            changed = true;
            return r;
        }
    }
    if (!usable) return 0;
    for (int row = 0; row < kRows; ++row) {
        if (k.abc[row] == abc) return 0;
        if (k.abc[row]) continue;
        Ref impl = Ref::steal(PyObject_GetAttrString(abc, "_abc_impl"));
        if (!impl) return -1;
        // __subclasscheck__ in the ABC's own MRO would be called instead of
        // the metaclass's.
        if (Py_TYPE(impl.get()) != k.state->data_type || class_lookup(abc, "__subclasscheck__") ||
            !watch_type(abc, &changed)) {
            changed = true;
            return PyErr_Occurred() ? -1 : 0;
        }
        int laid_out = check_layout(abc, impl.get());
        if (laid_out <= 0) {
            changed = true;
            return laid_out;
        }
        k.abc[row] = Py_NewRef(abc);
        k.impl[row] = reinterpret_cast<AbcData*>(impl.release());
        return 0;
    }
    return 0;
}

void keep_answer_found(PyTypeObject* type, PyObject* cls) {
    int row = row_of(cls);
    int column = column_of(type);
    if (usable && row >= 0 && column >= 0 && Py_TYPE(cls) == kept_answers.meta &&
        !kept_answers.answer[row][column].entry) {
        take(row, column, -1);
    }
}

bool kept_answers_refreshed() {
    // What the inline test leaves out: the entries compared again after the
    // epoch moved, the global events read after the monitoring version did.
    return usable && kept_answers.names.unchanged() && !python_is_observed();
}

int isinstance_and_keep(PyObject* obj, PyObject* cls) {
    KeptAnswers& k = kept_answers;
    if (kept_answers_refreshed()) {
        int kept = kept_isinstance(obj, cls);
        if (kept != kNotKept) return kept;
    }
    int r = PyObject_IsInstance(obj, cls);
    if (r < 0 || !usable) return r;
    int row = row_of(cls);
    int column = column_of(Py_TYPE(obj));
    if (row >= 0 && column >= 0 && Py_TYPE(cls) == k.meta) take(row, column, r);
    return r;
}

}  // namespace tavik
