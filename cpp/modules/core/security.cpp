// kavrel_trader.core.security: the instrument records `Security`, `Stock`, `Currency`,
// `Commodity` and `Futures`.
//
// The five classes are CPython heap types built with PyType_FromSpecWithBases, the kinds
// deriving from `Security`. They behave like the frozen dataclasses the framework expects:
//
//  - six read-only fields stored in the object (member descriptors: attribute reads are as
//    fast as a slot read), construction by position or keyword with the messages of a
//    dataclass __init__;
//  - immutability: setting or deleting any attribute raises dataclasses.FrozenInstanceError;
//  - `Security` compares by code, name and exchange value and hashes the text
//    "name|code|exchange value"; a kind compares equal only to the same class with all six
//    fields equal, and hashes the tuple of its six fields. Both rules sit directly in the
//    tp_richcompare / tp_hash slots, and the hash is cached in the object;
//  - dataclass-style repr; pickle and copy in the state form a frozen dataclass uses with
//    protocol 2 and up (copyreg.__newobj__ plus a field dict), so such pickles load in either;
//  - the dataclass description (__dataclass_fields__), so fields(), replace() and asdict() work.
//
// Python subclasses work as subclasses of the dataclasses would: a subclass of `Security`
// keeps the base rule, a subclass of a kind keeps the kind rule with its exact-class check,
// and a subclass may have its own __init__ calling super().__init__. (A subclass decorated
// with @dataclass cannot set the fields: its __init__ goes through object.__setattr__.)

#include <pybind11/pybind11.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define KV_T_OBJECT_EX T_OBJECT_EX
#define KV_T_PYSSIZET T_PYSSIZET
#define KV_READONLY READONLY
#else
#define KV_T_OBJECT_EX Py_T_OBJECT_EX
#define KV_T_PYSSIZET Py_T_PYSSIZET
#define KV_READONLY Py_READONLY
#endif

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "py/module_entry.hpp"
#include "py/pyhelpers.hpp"

namespace kv {
namespace security {
namespace {

constexpr int kFields = 6;
constexpr int kKinds = 5;  // Security and the four kinds
enum Field { F_CODE = 0, F_NAME = 1, F_LOT = 2, F_EXCHANGE = 3, F_EXPIRY = 4, F_QUOTE_CCY = 5 };

const char* const kFieldNames[kFields] = {"code",     "security_name", "lot_size",
                                          "exchange", "expiry_date",   "quote_currency"};
const char* const kKindNames[kKinds] = {"Security", "Stock", "Currency", "Commodity", "Futures"};

struct SecObject {
    PyObject_HEAD
    PyObject* fields[kFields];
    Py_hash_t hash;       // -1 until first computed
    PyObject* weakrefs;
    int ready;            // fields set, by construction or by unpickling
};

// Module-lifetime state (modules are never unloaded; one interpreter).
struct State {
    PyTypeObject* types[kKinds] = {};          // [0] Security, [1..4] Stock, Currency, Commodity, Futures
    PyObject* default_lot[kKinds] = {};
    PyObject* default_exchange[kKinds] = {};
    PyObject* init_name[kKinds] = {};           // function name used in argument errors
    PyObject* field_names[kFields] = {};        // interned
    PyObject* empty = nullptr;                  // ""
    PyObject* value_name = nullptr;             // "value"
    PyObject* qualname_name = nullptr;          // "__qualname__"
    PyObject* frozen_error = nullptr;           // dataclasses.FrozenInstanceError
    PyObject* newobj = nullptr;                 // copyreg.__newobj__
    PyObject* slotnames = nullptr;              // copyreg._slotnames
    PyObject* exchange_type = nullptr;          // the Exchange enumeration seen at import
    bool exchange_values_str = false;           // every Exchange member's value is a str
};
State S;

int sec_init(PyObject* self, PyObject* args, PyObject* kwds);

// ---------------------------------------------------------------- helpers

inline SecObject* as_sec(PyObject* o) { return reinterpret_cast<SecObject*>(o); }

inline bool is_own_exact_type(PyTypeObject* t) {
    for (int i = 0; i < kKinds; ++i)
        if (t == S.types[i]) return true;
    return false;
}

// Which of our five classes defines the behaviour of instances of `t`: the first of them in
// t's MRO (0 = Security, the base rule; 1..4 = a kind, the kind rule).
int kind_of(PyTypeObject* t) {
    for (int i = 0; i < kKinds; ++i)
        if (t == S.types[i]) return i;
    PyObject* mro = t->tp_mro;
    if (mro && PyTuple_Check(mro)) {
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(mro); ++j) {
            PyObject* b = PyTuple_GET_ITEM(mro, j);
            for (int i = 0; i < kKinds; ++i)
                if (b == reinterpret_cast<PyObject*>(S.types[i])) return i;
        }
    }
    return 0;
}

// Index of a field name, or -1. Names are str (the attribute machinery guarantees it).
int field_index(PyObject* name) {
    for (int i = 0; i < kFields; ++i)
        if (name == S.field_names[i]) return i;
    if (!PyUnicode_Check(name)) return -1;
    for (int i = 0; i < kFields; ++i)
        if (PyUnicode_Compare(name, S.field_names[i]) == 0) return i;  // cannot fail on two str
    return -1;
}

// The default of an optional field (lot_size onwards) for a kind, as a borrowed reference.
PyObject* field_default(int kind, int i) {
    switch (i) {
        case F_LOT: return S.default_lot[kind];
        case F_EXCHANGE: return S.default_exchange[kind];
        case F_EXPIRY: return Py_None;
        default: return S.empty;  // F_QUOTE_CCY
    }
}

// An owned reference released at scope exit.
struct Ref {
    PyObject* p;
    explicit Ref(PyObject* o = nullptr) : p(o) {}
    ~Ref() { Py_XDECREF(p); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    explicit operator bool() const { return p != nullptr; }
    PyObject* release() {
        PyObject* o = p;
        p = nullptr;
        return o;
    }
};

// `obj.<field i>` (new reference). Our own classes read the slot; anything else, including a
// Python subclass that may redefine a field as a property, goes through attribute lookup as
// the Python methods would.
PyObject* read_field(PyObject* obj, int i) {
    if (is_own_exact_type(Py_TYPE(obj))) {
        PyObject* v = as_sec(obj)->fields[i];
        if (!v) {
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                         Py_TYPE(obj)->tp_name, S.field_names[i]);
            return nullptr;
        }
        Py_INCREF(v);
        return v;
    }
    return PyObject_GetAttr(obj, S.field_names[i]);
}

// ---------------------------------------------------------------- construction

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 an unexpected keyword argument error suggests the closest parameter name
// ("... Did you mean 'code'?"). The interpreter's rule: a Levenshtein distance over the UTF-8
// bytes (move cost 2, case-only change 1), at most a third of the characters changed.
constexpr size_t kMaxSuggestLen = 40;
constexpr size_t kMoveCost = 2;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? 1 : kMoveCost;
}

size_t levenshtein(const char* a, size_t na, const char* b, size_t nb, size_t max_cost) {
    while (na && nb && a[0] == b[0]) { ++a; ++b; --na; --nb; }
    while (na && nb && a[na - 1] == b[nb - 1]) { --na; --nb; }
    if (na == 0 || nb == 0) return (na + nb) * kMoveCost;
    if (na > kMaxSuggestLen || nb > kMaxSuggestLen) return max_cost + 1;
    if (nb < na) { std::swap(a, b); std::swap(na, nb); }
    if ((nb - na) * kMoveCost > max_cost) return max_cost + 1;
    size_t row[kMaxSuggestLen];
    for (size_t i = 0; i < na; ++i) row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t bi = 0; bi < nb; ++bi) {
        size_t distance = result = bi * kMoveCost;
        size_t minimum = static_cast<size_t>(-1);
        for (size_t ai = 0; ai < na; ++ai) {
            size_t substitute = distance + substitution_cost(b[bi], a[ai]);
            distance = row[ai];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[ai] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// The parameter name (of self and the six fields) closest to `keyword`, or NULL.
const char* suggest_keyword(PyObject* keyword) {
    static const char* const params[] = {"self", "code", "security_name", "lot_size",
                                         "exchange", "expiry_date", "quote_currency"};
    Py_ssize_t n = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &n);
    if (!name) {
        PyErr_Clear();  // the message then goes without a suggestion
        return nullptr;
    }
    const char* best = nullptr;
    size_t best_distance = static_cast<size_t>(-1);
    for (const char* p : params) {
        const size_t np = std::strlen(p);
        if (np == static_cast<size_t>(n) && std::memcmp(p, name, np) == 0) continue;
        size_t max_distance = (static_cast<size_t>(n) + np + 3) * kMoveCost / 6;
        if (best) max_distance = std::min(max_distance, best_distance - 1);
        const size_t d = levenshtein(name, static_cast<size_t>(n), p, np, max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) {
            best = p;
            best_distance = d;
        }
    }
    return best;
}
#endif

// Binds (args, kwds) to the six fields as a Python function
// `__init__(self, code, security_name, lot_size=..., exchange=..., expiry_date=None,
// quote_currency="")` would, with the interpreter's own messages. On success `out` holds six
// new references.
int bind_arguments(int kind, PyObject* args, PyObject* kwds, PyObject* out[kFields]) {
    PyObject* name = S.init_name[kind];
    PyObject* vals[kFields] = {};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs && i < kFields; ++i) vals[i] = PyTuple_GET_ITEM(args, i);

    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", name);
                return -1;
            }
            const int j = field_index(key);
            if (j < 0) {
                // `self` is a parameter too, always bound by position.
                if (PyUnicode_CompareWithASCIIString(key, "self") == 0) {
                    PyErr_Format(PyExc_TypeError,
                                 "%U() got multiple values for argument '%S'", name, key);
                    return -1;
                }
#if PY_VERSION_HEX >= 0x030D0000
                if (const char* hint = suggest_keyword(key)) {
                    PyErr_Format(PyExc_TypeError,
                                 "%U() got an unexpected keyword argument '%S'. "
                                 "Did you mean '%s'?", name, key, hint);
                    return -1;
                }
#endif
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             name, key);
                return -1;
            }
            if (vals[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             name, key);
                return -1;
            }
            vals[j] = value;
        }
    }
    if (nargs > kFields) {
        PyErr_Format(PyExc_TypeError,
                     "%U() takes from 3 to 7 positional arguments but %zd were given", name,
                     nargs + 1);
        return -1;
    }
    if (!vals[F_CODE] && !vals[F_NAME]) {
        PyErr_Format(PyExc_TypeError,
                     "%U() missing 2 required positional arguments: 'code' and 'security_name'",
                     name);
        return -1;
    }
    if (!vals[F_CODE] || !vals[F_NAME]) {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: '%s'", name,
                     vals[F_CODE] ? "security_name" : "code");
        return -1;
    }
    for (int i = 0; i < kFields; ++i) {
        if (!vals[i]) vals[i] = field_default(kind, i);
        Py_INCREF(vals[i]);
        out[i] = vals[i];
    }
    return 0;
}

void set_fields(SecObject* self, PyObject* vals[kFields]) {
    for (int i = 0; i < kFields; ++i) Py_XSETREF(self->fields[i], vals[i]);
    self->hash = -1;
    self->ready = 1;
}

// Construction binds the arguments here, in one step. Two cases leave the record empty for
// __init__ (or __setstate__) to fill: a Python subclass with its own __init__ (which will
// call ours through super().__init__ with arguments of its choosing), and a call without
// arguments (unpickling calls cls.__new__(cls); a plain Stock() then fails in __init__ with
// the missing-argument message).
PyObject* sec_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    const bool bind = type->tp_init == sec_init &&
                      (PyTuple_GET_SIZE(args) > 0 || (kwds && PyDict_GET_SIZE(kwds) > 0));
    PyObject* vals[kFields];
    if (bind && bind_arguments(kind_of(type), args, kwds, vals) < 0) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        if (bind)
            for (PyObject* v : vals) Py_DECREF(v);
        return nullptr;
    }
    as_sec(self)->hash = -1;
    if (bind) set_fields(as_sec(self), vals);
    return self;
}

// A record is set once. Called after construction (with the same arguments) it has nothing
// left to do; on a record left empty by __new__ it binds the arguments.
int sec_init(PyObject* self, PyObject* args, PyObject* kwds) {
    SecObject* s = as_sec(self);
    if (s->ready) return 0;
    PyObject* vals[kFields];
    if (bind_arguments(kind_of(Py_TYPE(self)), args, kwds, vals) < 0) return -1;
    set_fields(s, vals);
    return 0;
}

// ---------------------------------------------------------------- lifetime / GC

int sec_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* v : as_sec(self)->fields) Py_VISIT(v);
    return 0;
}

int sec_clear(PyObject* self) {
    for (PyObject*& v : as_sec(self)->fields) Py_CLEAR(v);
    return 0;
}

void sec_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, sec_dealloc)
    if (as_sec(self)->weakrefs) PyObject_ClearWeakRefs(self);
    sec_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------- immutability

int sec_setattro(PyObject* self, PyObject* name, PyObject* value) {
    // As a frozen dataclass: every name on our own classes, the field names on subclasses.
    if (is_own_exact_type(Py_TYPE(self)) || field_index(name) >= 0) {
        PyErr_Format(S.frozen_error,
                     value ? "cannot assign to field %R" : "cannot delete field %R", name);
        return -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// ---------------------------------------------------------------- hashing

// hash(f"{security_name}|{code}|{exchange.value}")
Py_hash_t base_hash(PyObject* self) {
    Ref name(read_field(self, F_NAME));
    Ref name_s(name ? PyObject_Format(name.p, S.empty) : nullptr);
    if (!name_s) return -1;
    Ref code(read_field(self, F_CODE));
    Ref code_s(code ? PyObject_Format(code.p, S.empty) : nullptr);
    if (!code_s) return -1;
    Ref exch(read_field(self, F_EXCHANGE));
    Ref value(exch ? PyObject_GetAttr(exch.p, S.value_name) : nullptr);
    Ref value_s(value ? PyObject_Format(value.p, S.empty) : nullptr);
    if (!value_s) return -1;
    Ref key(PyUnicode_FromFormat("%U|%U|%U", name_s.p, code_s.p, value_s.p));
    return key ? PyObject_Hash(key.p) : -1;
}

// (code, security_name, lot_size, exchange, expiry_date, quote_currency)
PyObject* field_tuple(PyObject* self) {
    Ref t(PyTuple_New(kFields));
    if (!t) return nullptr;
    for (int i = 0; i < kFields; ++i) {
        PyObject* v = read_field(self, i);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.p, i, v);
    }
    return t.release();
}

// hash((code, security_name, lot_size, exchange, expiry_date, quote_currency))
Py_hash_t kind_hash(PyObject* self) {
    Ref t(field_tuple(self));
    return t ? PyObject_Hash(t.p) : -1;
}

Py_hash_t sec_hash(PyObject* self) {
    SecObject* s = as_sec(self);
    if (s->hash != -1) return s->hash;
    // Fields may hold records themselves; bound the depth like Python code would be.
    if (Py_EnterRecursiveCall(" while hashing a security")) return -1;
    Py_hash_t h = kind_of(Py_TYPE(self)) ? kind_hash(self) : base_hash(self);
    Py_LeaveRecursiveCall();
    if (h != -1) s->hash = h;  // errors are not cached
    return h;
}

// ---------------------------------------------------------------- equality

// `a == b` as the start of an `and` chain: returns the comparison result (new reference)
// and sets *stop when it is false (or on error, with NULL returned).
PyObject* chain_step(PyObject* a, PyObject* b, bool* stop) {
    PyObject* r = PyObject_RichCompare(a, b, Py_EQ);
    if (!r) {
        *stop = true;
        return nullptr;
    }
    int t = PyObject_IsTrue(r);
    if (t < 0) {
        Py_DECREF(r);
        *stop = true;
        return nullptr;
    }
    *stop = (t == 0);
    return r;
}

// self.code == other.code and self.security_name == other.security_name
//     and self.exchange.value == other.exchange.value
PyObject* base_eq(PyObject* self, PyObject* other) {
    for (int i : {F_CODE, F_NAME}) {
        Ref a(read_field(self, i));
        if (!a) return nullptr;
        Ref b(read_field(other, i));
        if (!b) return nullptr;
        bool stop = false;
        Ref r(chain_step(a.p, b.p, &stop));
        if (stop) return r.release();
    }
    Ref ea(read_field(self, F_EXCHANGE));
    if (!ea) return nullptr;
    // A member of the Exchange seen at import whose values are all str: reading its value
    // cannot fail, so it is read only when the other side holds a different object. The same
    // member on both sides compares its str value with itself: equal.
    const bool known = Py_TYPE(ea.p) == reinterpret_cast<PyTypeObject*>(S.exchange_type) &&
                       S.exchange_values_str;
    Ref va(known ? nullptr : PyObject_GetAttr(ea.p, S.value_name));
    if (!known && !va) return nullptr;
    Ref eb(read_field(other, F_EXCHANGE));
    if (!eb) return nullptr;
    if (known && eb.p == ea.p) Py_RETURN_TRUE;
    if (!va) va.p = PyObject_GetAttr(ea.p, S.value_name);
    if (!va) return nullptr;
    Ref vb(PyObject_GetAttr(eb.p, S.value_name));
    return vb ? PyObject_RichCompare(va.p, vb.p, Py_EQ) : nullptr;
}

// The generated equality of a kind, for two records of exactly the same class.
PyObject* kind_eq(PyObject* self, PyObject* other) {
#if PY_VERSION_HEX >= 0x030D0000
    // Field by field, identity first: self is other or (self.code == other.code and ...)
    if (self == other) Py_RETURN_TRUE;
    Ref r;
    for (int i = 0; i < kFields; ++i) {
        Ref a(read_field(self, i));
        if (!a) return nullptr;
        Ref b(read_field(other, i));
        if (!b) return nullptr;
        bool stop = false;
        Py_XDECREF(r.release());
        r.p = chain_step(a.p, b.p, &stop);
        if (stop) break;
    }
    return r.release();
#else
    // Tuple comparison: (self.code, ...) == (other.code, ...)
    if (is_own_exact_type(Py_TYPE(self))) {  // other has the same class: read the slots
        PyObject** fa = as_sec(self)->fields;
        PyObject** fb = as_sec(other)->fields;
        bool complete = true;
        for (int i = 0; i < kFields; ++i) complete = complete && fa[i] && fb[i];
        if (complete) {
            for (int i = 0; i < kFields; ++i) {
                // Own references: a field's __eq__ may refill a record that __init__ or
                // __setstate__ left unfinished, releasing the values being compared.
                Ref a(read_field(self, i));
                if (!a) return nullptr;
                Ref b(read_field(other, i));
                if (!b) return nullptr;
                int k = PyObject_RichCompareBool(a.p, b.p, Py_EQ);
                if (k < 0) return nullptr;
                if (!k) Py_RETURN_FALSE;
            }
            Py_RETURN_TRUE;
        }
    }
    Ref a(field_tuple(self));
    if (!a) return nullptr;
    Ref b(field_tuple(other));
    if (!b) return nullptr;
    for (int i = 0; i < kFields; ++i) {
        int k = PyObject_RichCompareBool(PyTuple_GET_ITEM(a.p, i), PyTuple_GET_ITEM(b.p, i), Py_EQ);
        if (k < 0) return nullptr;
        if (!k) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
#endif
}

// One slot for both rules. The interpreter's operand dispatch (reflected operation first when
// the right operand's class is a subclass of the left's, NotImplemented falling back to the
// other side, identity for two NotImplemented) then gives the same results as the Python
// methods: the base rule whenever a plain Security takes part, the kind rule only between
// two records of the same class.
PyObject* sec_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    PyObject* r;
    if (kind_of(Py_TYPE(self))) {
        if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
        r = kind_eq(self, other);
    } else {
        r = base_eq(self, other);
    }
    if (!r) return nullptr;
    if (PyBool_Check(r)) {
        if (op == Py_EQ) return r;
        const bool eq = r == Py_True;
        Py_DECREF(r);
        return PyBool_FromLong(!eq);
    }
    // A field comparison that answered with another object (a numpy bool, an array): the
    // result is its truth, as a comparison of field tuples gives it, and for `!=` the negated
    // truth, as object.__ne__ derives it.
    int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (t < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? t : !t);
}

// ---------------------------------------------------------------- text form

PyObject* sec_repr(PyObject* self) {
    int rc = Py_ReprEnter(self);
    if (rc != 0) return rc > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject* result = nullptr;
    Ref qualname(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), S.qualname_name));
    Ref f(qualname ? field_tuple(self) : nullptr);
    if (f) {
        result = PyUnicode_FromFormat(
            "%S(code=%R, security_name=%R, lot_size=%R, exchange=%R, expiry_date=%R, "
            "quote_currency=%R)",
            qualname.p, PyTuple_GET_ITEM(f.p, 0), PyTuple_GET_ITEM(f.p, 1),
            PyTuple_GET_ITEM(f.p, 2), PyTuple_GET_ITEM(f.p, 3), PyTuple_GET_ITEM(f.p, 4),
            PyTuple_GET_ITEM(f.p, 5));
    }
    Py_ReprLeave(self);
    return result;
}

// ---------------------------------------------------------------- pickle / copy

// The values of a Python subclass's __slots__ (those that are set), as pickle's default
// reduction collects them; NULL on error, None when there are none.
PyObject* slot_state(PyObject* self) {
    Ref names(PyObject_CallFunctionObjArgs(S.slotnames, reinterpret_cast<PyObject*>(Py_TYPE(self)), nullptr));
    Ref list(names ? PySequence_Tuple(names.p) : nullptr);  // own copy: getattr runs Python code
    if (!list) return nullptr;
    Ref slots(PyDict_New());
    if (!slots) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(list.p); ++i) {
        PyObject* name = PyTuple_GET_ITEM(list.p, i);
        Ref v(PyObject_GetAttr(self, name));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();  // an unset slot
            continue;
        }
        if (PyDict_SetItem(slots.p, name, v.p) < 0) return nullptr;
    }
    if (PyDict_GET_SIZE(slots.p) == 0) Py_RETURN_NONE;
    return slots.release();
}

// (copyreg.__newobj__, (cls,), state): the form a frozen dataclass pickles to, the state
// being the field dict plus, for a Python subclass, its instance __dict__ and, when it has
// set __slots__, the (dict, slots dict) pair.
PyObject* sec_reduce(PyObject* self, PyObject*) {
    Ref state(PyDict_New());
    if (!state) return nullptr;
    SecObject* s = as_sec(self);
    for (int i = 0; i < kFields; ++i)
        if (s->fields[i] && PyDict_SetItem(state.p, S.field_names[i], s->fields[i]) < 0) return nullptr;
    if (!is_own_exact_type(Py_TYPE(self))) {
        Ref d(PyObject_GenericGetDict(self, nullptr));
        if (!d) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();  // a subclass with __slots__: no instance dict
        } else if (PyDict_Check(d.p) && PyDict_Update(state.p, d.p) < 0) {
            return nullptr;
        }
        Ref slots(slot_state(self));
        if (!slots) return nullptr;
        if (slots.p != Py_None) {
            PyObject* pair = PyTuple_Pack(2, state.p, slots.p);
            if (!pair) return nullptr;
            Py_SETREF(state.p, pair);
        }
    }
    return Py_BuildValue("O(O)O", S.newobj, reinterpret_cast<PyObject*>(Py_TYPE(self)), state.p);
}

int setstate_item(PyObject* self, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(key)->tp_name);
        return -1;
    }
    const int i = field_index(key);
    if (i >= 0) {
        Py_INCREF(value);
        Py_XSETREF(as_sec(self)->fields[i], value);
        return 0;
    }
    return PyObject_GenericSetAttr(self, key, value);  // a subclass's own attributes
}

// Restores a record made empty by cls.__new__(cls): `state` is a dict of fields (and a
// subclass's attributes), or the (dict, slots dict) pair of slotted classes. A record that is
// already set refuses, as it refuses any assignment.
PyObject* sec_setstate(PyObject* self, PyObject* state) {
    SecObject* s = as_sec(self);
    if (s->ready) {
        PyErr_Format(S.frozen_error, "cannot assign to field %R", S.field_names[F_CODE]);
        return nullptr;
    }
    PyObject* parts[2] = {state, nullptr};
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
        parts[0] = PyTuple_GET_ITEM(state, 0);
        parts[1] = PyTuple_GET_ITEM(state, 1);
    }
    for (PyObject* part : parts) {
        if (!part || part == Py_None) continue;
        if (!PyDict_Check(part)) {
            PyErr_Format(PyExc_TypeError, "%.100s state must be a dict, not '%.100s'",
                         Py_TYPE(self)->tp_name, Py_TYPE(part)->tp_name);
            return nullptr;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(part, &pos, &key, &value))
            if (setstate_item(self, key, value) < 0) return nullptr;
    }
    // Fields absent from an older state take their defaults; code and name stay unset.
    const int kind = kind_of(Py_TYPE(self));
    for (int i = F_LOT; i < kFields; ++i)
        if (!s->fields[i]) {
            s->fields[i] = field_default(kind, i);
            Py_INCREF(s->fields[i]);
        }
    s->hash = -1;
    s->ready = 1;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- type specs

PyMemberDef sec_members[] = {
    {"code", KV_T_OBJECT_EX, offsetof(SecObject, fields) + 0 * sizeof(PyObject*), KV_READONLY, nullptr},
    {"security_name", KV_T_OBJECT_EX, offsetof(SecObject, fields) + 1 * sizeof(PyObject*), KV_READONLY, nullptr},
    {"lot_size", KV_T_OBJECT_EX, offsetof(SecObject, fields) + 2 * sizeof(PyObject*), KV_READONLY, nullptr},
    {"exchange", KV_T_OBJECT_EX, offsetof(SecObject, fields) + 3 * sizeof(PyObject*), KV_READONLY, nullptr},
    {"expiry_date", KV_T_OBJECT_EX, offsetof(SecObject, fields) + 4 * sizeof(PyObject*), KV_READONLY, nullptr},
    {"quote_currency", KV_T_OBJECT_EX, offsetof(SecObject, fields) + 5 * sizeof(PyObject*), KV_READONLY, nullptr},
    {"__weaklistoffset__", KV_T_PYSSIZET, offsetof(SecObject, weakrefs), KV_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef sec_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(sec_reduce), METH_NOARGS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(sec_setstate), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

const char* const kDocs[kKinds] = {"Base class for different asset types", "Cash equity",
                                   "Foreign exchange", "Commodity", "Futures"};
const char* const kTypeNames[kKinds] = {
    "kavrel_trader.core.security.Security", "kavrel_trader.core.security.Stock",
    "kavrel_trader.core.security.Currency", "kavrel_trader.core.security.Commodity",
    "kavrel_trader.core.security.Futures"};

PyType_Slot kSlots[kKinds][16];
PyType_Spec kSpecs[kKinds];

PyTypeObject* make_type(int kind) {
    PyType_Slot* s = kSlots[kind];
    int n = 0;
    auto add = [&](int slot, void* fn) { s[n++] = PyType_Slot{slot, fn}; };
    add(Py_tp_doc, const_cast<char*>(kDocs[kind]));
    add(Py_tp_new, reinterpret_cast<void*>(sec_new));
    add(Py_tp_init, reinterpret_cast<void*>(sec_init));
    add(Py_tp_dealloc, reinterpret_cast<void*>(sec_dealloc));
    add(Py_tp_traverse, reinterpret_cast<void*>(sec_traverse));
    add(Py_tp_clear, reinterpret_cast<void*>(sec_clear));
    add(Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del));
    add(Py_tp_hash, reinterpret_cast<void*>(sec_hash));
    add(Py_tp_richcompare, reinterpret_cast<void*>(sec_richcompare));
    add(Py_tp_repr, reinterpret_cast<void*>(sec_repr));
    add(Py_tp_setattro, reinterpret_cast<void*>(sec_setattro));
    if (kind == 0) {
        // Members and methods live on Security; the kinds find them through the MRO.
        add(Py_tp_members, sec_members);
        add(Py_tp_methods, sec_methods);
    }
    s[n] = PyType_Slot{0, nullptr};
    kSpecs[kind] = PyType_Spec{kTypeNames[kind], static_cast<int>(sizeof(SecObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                               s};
    PyObject* bases = nullptr;
    if (kind != 0) {
        bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(S.types[0]));
        if (!bases) throw py::error_already_set();
    }
    PyObject* t = PyType_FromSpecWithBases(&kSpecs[kind], bases);
    Py_XDECREF(bases);
    if (!t) throw py::error_already_set();
    // The interpreter's own messages name a type by tp_name ("'<' not supported between
    // instances of 'Stock' and 'Stock'"); for a class defined in Python that is the bare
    // class name. The dotted spec name only served to set __module__, which stays in the
    // type's dict (with __name__ and __qualname__, it is what pickling and repr read).
    reinterpret_cast<PyTypeObject*>(t)->tp_name = kKindNames[kind];
    return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace

void define_module(py::module_& m) {
    m.doc() = "Instrument records: Security and its kinds Stock, Currency, Commodity, Futures.";

    // from kavrel_trader.core.constants import Exchange
    py::object exchange = py::module_::import("kavrel_trader.core.constants").attr("Exchange");
    m.attr("Exchange") = exchange;
    py::object frozen = py::module_::import("dataclasses").attr("FrozenInstanceError");
    py::object newobj = py::module_::import("copyreg").attr("__newobj__");
    py::object slotnames = py::module_::import("copyreg").attr("_slotnames");

    for (int i = 0; i < kFields; ++i) S.field_names[i] = kv::intern(kFieldNames[i]);
    S.empty = kv::intern("");
    S.value_name = kv::intern("value");
    S.qualname_name = kv::intern("__qualname__");
    S.frozen_error = frozen.release().ptr();
    S.newobj = newobj.release().ptr();
    S.slotnames = slotnames.release().ptr();
    S.exchange_type = exchange.inc_ref().ptr();

    // Equal securities carry the same Exchange member; when every member's value is a str,
    // comparing a member's value with itself needs no lookup.
    bool all_str = true;
    for (py::handle member : exchange) {
        py::object v = member.attr("value");
        if (!PyUnicode_CheckExact(v.ptr())) all_str = false;
    }
    S.exchange_values_str = all_str;

    // Defaults, read from Exchange once as a dataclass evaluates them at class creation.
    const char* exch_default[kKinds] = {nullptr, "SEHK", "IDEALPRO", "IDEALPRO", "SMART"};
    const long lot_default[kKinds] = {0, 1, 1000, 1000, 1000};
    for (int k = 0; k < kKinds; ++k) {
        if (k == 0) {
            Py_INCREF(Py_None);
            S.default_lot[k] = Py_None;
            Py_INCREF(Py_None);
            S.default_exchange[k] = Py_None;
        } else {
            S.default_lot[k] = PyLong_FromLong(lot_default[k]);
            if (!S.default_lot[k]) throw py::error_already_set();
            S.default_exchange[k] = py::object(exchange.attr(exch_default[k])).release().ptr();
        }
#if PY_VERSION_HEX >= 0x030A0000
        // Argument errors name the function by qualified name from 3.10 on.
        S.init_name[k] = PyUnicode_FromFormat("%s.__init__", kKindNames[k]);
        if (!S.init_name[k]) throw py::error_already_set();
#else
        S.init_name[k] = kv::intern("__init__");
#endif
    }

    for (int k = 0; k < kKinds; ++k) {
        S.types[k] = make_type(k);  // the state keeps this reference for the process
        py::handle type(reinterpret_cast<PyObject*>(S.types[k]));
#if PY_VERSION_HEX >= 0x030A0000
        py::tuple match_args(kFields);
        for (int i = 0; i < kFields; ++i)
            match_args[static_cast<size_t>(i)] = py::reinterpret_borrow<py::object>(S.field_names[i]);
        type.attr("__match_args__") = match_args;
#endif
        m.attr(kKindNames[k]) = type;
    }

    // The dataclass description of each class (as fields(), replace(), asdict() and
    // is_dataclass() read it), taken from a frozen dataclass of the same shape.
    py::module_ dataclasses = py::module_::import("dataclasses");
    py::object optional = py::module_::import("typing").attr("Optional");
    py::handle str_t(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::handle int_t(reinterpret_cast<PyObject*>(&PyLong_Type));
    py::object field = dataclasses.attr("field");
    for (int k = 0; k < kKinds; ++k) {
        auto with_default = [&](PyObject* v) {
            return field(py::arg("default") = py::reinterpret_borrow<py::object>(v));
        };
        py::list shape_fields;
        shape_fields.append(py::make_tuple("code", str_t));
        shape_fields.append(py::make_tuple("security_name", str_t));
        shape_fields.append(py::make_tuple("lot_size", optional[int_t], with_default(S.default_lot[k])));
        shape_fields.append(py::make_tuple("exchange", optional[exchange],
                                           with_default(S.default_exchange[k])));
        shape_fields.append(py::make_tuple("expiry_date", optional[str_t], with_default(Py_None)));
        shape_fields.append(py::make_tuple("quote_currency", str_t, with_default(S.empty)));
        py::object shape = dataclasses.attr("make_dataclass")(kKindNames[k], shape_fields,
                                                              py::arg("frozen") = true);
        py::handle type(reinterpret_cast<PyObject*>(S.types[k]));
        type.attr("__dataclass_fields__") = shape.attr("__dataclass_fields__");
        type.attr("__dataclass_params__") = shape.attr("__dataclass_params__");
    }
}

}  // namespace security
}  // namespace kv

KV_MODULE(security, m) { kv::security::define_module(m); }
