// The enumerations of the records: members, from_value and member properties.
//
// The plain path asks the module's current binding every time. The shortcut, while the module
// still binds the class it had at load and that class still has its from_value, answers from
// what the class itself holds: a member given as is, and the member of a known str value
// (_value2member_map_), which is what from_value returns for them.
#include <array>
#include <cstring>

#include "matcher.hpp"

namespace orva::matcher {

namespace {

struct EnumClass {
  PyObject* name = nullptr;        // interned module attribute name
  PyObject* cls = nullptr;         // the class bound at load (owned)
  PyObject* from_value = nullptr;  // the attribute found on the class at load (owned), or null
  PyObject* value_map = nullptr;   // cls._value2member_map_ (owned), or null
  uint64_t module_version = 0;     // module dict version at which the checks below last held
  unsigned type_version = 0;       // the class's version tag then (a change of the class drops it)
};

// Filled once at load and never resized: entries stay where they are for the life of the
// process, and their references are never released.
std::array<EnumClass, 8> g_enums;
size_t g_enum_count = 0;

PyObject* module_entry(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(g_module), name);
  if (!v && PyErr_Occurred()) throw_error();
  return v;
}

#if ORVA_FASTPATHS
// The metaclass's getattro seen at load (EnumMeta's).
getattrofunc g_meta_getattro = nullptr;

// Whether `cls` is one of the classes bound at load, with the metaclass getattro seen then.
bool is_loaded_enum(PyObject* cls) {
  if (Py_TYPE(cls)->tp_getattro != g_meta_getattro) return false;
  for (size_t i = 0; i < g_enum_count; ++i)
    if (g_enums[i].cls == cls) return true;
  return false;
}

// Properties of members (SuccessCode.code, Action.BUY.value, ...) depend on the member alone:
// remembered per member, name and the descriptor found on the member's class, so a property
// replaced on the class is called again. A fixed table, never resized; entries are owned and
// never released; a full table just stops remembering.
struct MemberAttr {
  PyObject* obj = nullptr;
  PyObject* name = nullptr;
  PyObject* descr = nullptr;
  PyObject* value = nullptr;
};
std::array<MemberAttr, 32> g_member_attrs;

// The data descriptor that alone decides obj.<name>, when obj is a member of a loaded enum.
PyObject* member_descriptor(PyObject* obj, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro != PyObject_GenericGetAttr || !is_loaded_enum(reinterpret_cast<PyObject*>(type)))
    return nullptr;
  PyObject* descr = type_lookup(type, name);
  if (!descr || !Py_TYPE(descr)->tp_descr_set) return nullptr;
  return descr;
}

Ref known_member_attr(PyObject* obj, PyObject* name) {
  PyObject* descr = member_descriptor(obj, name);
  if (!descr) return Ref();
  for (const MemberAttr& a : g_member_attrs)
    if (a.obj == obj && a.name == name && a.descr == descr) return Ref::borrow(a.value);
  return Ref();
}

void remember_member_attr(PyObject* obj, PyObject* name, PyObject* value) {
  PyObject* descr = member_descriptor(obj, name);
  if (!descr) return;
  for (MemberAttr& a : g_member_attrs) {
    if (a.obj && !(a.obj == obj && a.name == name)) continue;
    // A free entry, or this member's with a descriptor replaced since.
    PyObject* old_descr = a.descr;
    PyObject* old_value = a.value;
    const bool fresh = !a.obj;
    a.obj = obj;
    a.name = name;
    a.descr = descr;
    a.value = value;
    Py_INCREF(descr);
    Py_INCREF(value);
    if (fresh) {
      Py_INCREF(obj);
      Py_INCREF(name);
    }
    // Released last: a release may run Python code, and the entry is complete by now.
    Py_XDECREF(old_descr);
    Py_XDECREF(old_value);
    return;
  }
}

// The load-time record of `enum_name` while the module still binds that class and the class
// still has its own from_value. Checked again only when the module's dict or the class changed
// (their version tags).
const EnumClass* unchanged(PyObject* enum_name) {
  for (size_t i = 0; i < g_enum_count; ++i) {
    EnumClass& e = g_enums[i];
    if (e.name != enum_name) continue;
    if (!e.from_value || !e.value_map) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(e.cls);
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    const uint64_t version = dict_version(PyModule_GetDict(g_module));
    if (version == e.module_version && e.type_version && type_version(type) &&
        type_version(type) == e.type_version)
      return &e;
#endif
    if (module_entry(enum_name) != e.cls) return nullptr;
    // The type's method cache answers this look-up; no Python code runs.
    if (type_lookup(type, ORVA_NAME("from_value")) != e.from_value) return nullptr;
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    e.module_version = version;
    e.type_version = type_version(type);
#endif
    return &e;
  }
  return nullptr;
}
#endif

}  // namespace

void load_enums() {
#if ORVA_FASTPATHS
  g_meta_getattro = nullptr;
#endif
  for (const char* text :
       {"Action", "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType", "OCType", "SuccessCode"}) {
    EnumClass e;
    e.name = Ref::steal(PyUnicode_InternFromString(text)).release();
    PyObject* cls = module_entry(e.name);
    (void)cls;  // recorded for the shortcuts only
#if ORVA_FASTPATHS
    if (cls && PyType_Check(cls)) {
      e.cls = Ref::borrow(cls).release();
      e.from_value = Ref::borrow(type_lookup(reinterpret_cast<PyTypeObject*>(cls), ORVA_NAME("from_value")))
                         .release();
      PyObject* map = PyObject_GetAttrString(cls, "_value2member_map_");
      if (!map) PyErr_Clear();
      if (map && PyDict_CheckExact(map)) e.value_map = map;
      else Py_XDECREF(map);
    }
#endif
    g_enums[g_enum_count++] = e;
#if ORVA_FASTPATHS
    if (e.cls) g_meta_getattro = Py_TYPE(e.cls)->tp_getattro;
#endif
  }
}

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
namespace {

// Members found through the module's bindings, remembered while the module's dict keeps its
// version tag (any change of a module global gives it a new one): an Enum class's members
// cannot be reassigned, so the same binding gives the same member. A fixed table, never
// resized; emptied when the module changes, its references released after it is emptied.
struct KnownMember {
  PyObject* enum_name;
  PyObject* member_name;
  PyObject* member;  // owned
};
std::array<KnownMember, 32> g_known_members;
size_t g_known_count = 0;
uint64_t g_known_version = 0;

uint64_t module_version() { return dict_version(PyModule_GetDict(g_module)); }

void forget_members(uint64_t version) {
  const std::array<KnownMember, 32> old = g_known_members;
  const size_t n = g_known_count;
  g_known_count = 0;
  g_known_version = version;
  for (size_t i = 0; i < n; ++i) Py_DECREF(old[i].member);
}

}  // namespace
#endif

Ref enum_member(PyObject* enum_name, PyObject* member_name) {
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  if (fastpaths_on() && module_version() == g_known_version)
    for (size_t i = 0; i < g_known_count; ++i)
      if (g_known_members[i].enum_name == enum_name && g_known_members[i].member_name == member_name)
        return Ref::borrow(g_known_members[i].member);
#endif
  Ref cls = global(enum_name);
  Ref member = getattr(cls.get(), member_name);
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  // Remembered if the module still binds that class now (the getattr may have run Python code).
  if (fastpaths_on() && reinterpret_cast<PyObject*>(Py_TYPE(member.get())) == cls.get() && is_loaded_enum(cls.get()) &&
      PyUnicode_CHECK_INTERNED(enum_name) && PyUnicode_CHECK_INTERNED(member_name) &&
      module_entry(enum_name) == cls.get()) {
    const uint64_t version = module_version();
    if (version != g_known_version) forget_members(version);
    if (g_known_count < g_known_members.size() && module_version() == version) {
      g_known_members[g_known_count++] = KnownMember{enum_name, member_name, Ref(member).release()};
    }
  }
#endif
  return member;
}

Ref member_attr(PyObject* obj, PyObject* name) {
#if ORVA_FASTPATHS
  if (fastpaths_on()) {
    if (Ref v = known_member_attr(obj, name)) return v;
    Ref value = getattr(obj, name);
    remember_member_attr(obj, name, value.get());
    return value;
  }
#endif
  return getattr(obj, name);
}

#if ORVA_FASTPATHS
namespace {

// Kept for the life of the process: a refresh overwrites the pointers without releasing the old
// ones (members and their texts live as long as their classes anyway), so a pointer read from the
// snapshot stays valid whatever runs later.
EnumSnapshot g_snapshot;
bool g_snapshot_valid = false;

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
uint64_t g_snapshot_module_version = 0;
unsigned g_snapshot_type_versions[kEnumCount];

bool types_unchanged(const unsigned* versions) {
  for (size_t i = 0; i < kEnumCount; ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_enums[i].cls);
    if (!type_version(type) || type_version(type) != versions[i]) return false;
  }
  return true;
}

bool snapshot_holds() {
  return module_version() == g_snapshot_module_version && types_unchanged(g_snapshot_type_versions);
}
#else
// Without dict versions: the module still binds each class (a look-up and an identity compare each,
// skipped while the dict watchers tell the module's dict is unchanged since they last held), and
// each class is unchanged since the snapshot was read (its guard).
TypeGuard g_snapshot_guards[kEnumCount];
PlainDictGuard g_snapshot_bindings;
// The watch events counted when every guard below last answered unchanged (valid: g_events_seen).
uint64_t g_snapshot_events = 0;
bool g_events_seen = false;

bool snapshot_guarded() {
  // The look-ups first: a guard's answer holds only while nothing runs after it.
  PyObject* bindings = PyModule_GetDict(g_module);
  if (!g_snapshot_bindings.unchanged(bindings)) {
    g_snapshot_bindings.mark(bindings);  // before the look-ups (str keys: no Python code runs)
    bool bound = true;
    try {
      for (size_t i = 0; bound && i < kEnumCount; ++i) bound = module_entry(g_enums[i].name) == g_enums[i].cls;
    } catch (PyError&) {
      g_snapshot_bindings.forget();
      throw;
    }
    if (!bound) {
      g_snapshot_bindings.forget();
      return false;
    }
  }
  for (size_t i = 0; i < kEnumCount; ++i)
    if (!g_snapshot_guards[i].unchanged(reinterpret_cast<PyTypeObject*>(g_enums[i].cls))) return false;
  return true;
}

// No watched class or dict changed since the guards all held: they still do.
bool snapshot_holds() {
  bool counted = false;
  const uint64_t events = WatchEvents::now(&counted);
  if (counted && g_events_seen && events == g_snapshot_events) return true;
  g_events_seen = false;
  if (!snapshot_guarded()) return false;
  // Read before the guards' own marks could not have been told apart: count again after them.
  g_snapshot_events = WatchEvents::now(&counted);
  g_events_seen = counted;
  return true;
}
#endif

PyObject* kept(Ref r) { return r.release(); }

const EnumSnapshot* refresh_snapshot() {
  g_snapshot_valid = false;
#if !(ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS)
  g_events_seen = false;  // the guards are marked afresh below: their check at the end is a full one
#endif
  if (g_enum_count != kEnumCount) return nullptr;
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  const uint64_t before = module_version();
  unsigned versions[kEnumCount];
#endif
  for (size_t i = 0; i < kEnumCount; ++i) {
    // SuccessCode has no from_value: only its binding counts.
    if (i == kSuccessCode ? module_entry(g_enums[i].name) != g_enums[i].cls || !g_enums[i].cls
                          : !unchanged(g_enums[i].name))
      return nullptr;
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    auto* type = reinterpret_cast<PyTypeObject*>(g_enums[i].cls);
    if (!type_version(type)) return nullptr;
    versions[i] = type_version(type);
#endif
  }
#if !(ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS)
  for (size_t i = 0; i < kEnumCount; ++i) g_snapshot_guards[i].mark(reinterpret_cast<PyTypeObject*>(g_enums[i].cls));
#endif
  EnumSnapshot s;
  for (size_t i = 0; i < kEnumCount; ++i) {
    s.cls[i] = g_enums[i].cls;
    s.map[i] = g_enums[i].value_map;
  }
  s.buy = kept(enum_member(ORVA_NAME("Action"), ORVA_NAME("BUY")));
  s.sell = kept(enum_member(ORVA_NAME("Action"), ORVA_NAME("SELL")));
  s.buy_value = kept(member_attr(s.buy, ORVA_NAME("value")));
  s.lmt = kept(enum_member(ORVA_NAME("PriceType"), ORVA_NAME("LMT")));
  s.rod = kept(enum_member(ORVA_NAME("OrderType"), ORVA_NAME("ROD")));
  s.ioc = kept(enum_member(ORVA_NAME("OrderType"), ORVA_NAME("IOC")));
  s.fok = kept(enum_member(ORVA_NAME("OrderType"), ORVA_NAME("FOK")));
  s.op_new = kept(enum_member(ORVA_NAME("OperationType"), ORVA_NAME("NEW")));
  s.create = kept(enum_member(ORVA_NAME("SuccessCode"), ORVA_NAME("CreateOrder")));
  s.create_code = kept(member_attr(s.create, ORVA_NAME("code")));
  s.create_message = kept(member_attr(s.create, ORVA_NAME("message")));
  // Used only if nothing changed while the members were read (a property may run any code).
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  if (module_version() != before || !types_unchanged(versions)) return nullptr;
  g_snapshot_module_version = before;
  std::memcpy(g_snapshot_type_versions, versions, sizeof versions);
#else
  if (!snapshot_holds()) return nullptr;
#endif
  g_snapshot = s;
  g_snapshot_valid = true;
  return &g_snapshot;
}

}  // namespace

const EnumSnapshot* enum_snapshot() {
  if (!fastpaths_on()) return nullptr;
  try {
    if (g_snapshot_valid && snapshot_holds()) return &g_snapshot;
    return refresh_snapshot();
  } catch (PyError&) {
    // A look-up that fails is left to the plain path, which meets it where it would.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return nullptr;
  }
}

namespace {

// Per enumeration, the text last looked up (held: kept for the life of the process, or until the
// next one replaces it) and the member it found, while the value map keeps its version tag (the
// map holds the member). Requests repeat the same few text objects.
#if ORVA_USE_DICT_VERSIONS
struct LastMember {
  PyObject* map = nullptr;
  uint64_t version = 0;
  PyObject* text = nullptr;
  PyObject* member = nullptr;
};
LastMember g_last_member[kEnumCount];
#elif ORVA_USE_DICT_WATCHERS
// The same, while a dict watcher has seen no change of the value map since the look-up.
struct LastMember {
  PlainDictGuard map;
  PyObject* text = nullptr;
  PyObject* member = nullptr;
};
LastMember g_last_member[kEnumCount];
#endif

}  // namespace

PyObject* snapshot_member(const EnumSnapshot& s, EnumId id, PyObject* value) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == s.cls[id]) return value;
  if (!PyUnicode_CheckExact(value) || !s.map[id]) return nullptr;
  PyObject* map = s.map[id];
#if ORVA_USE_DICT_VERSIONS
  const uint64_t version = dict_version(map);
  LastMember& last = g_last_member[id];
  if (last.text == value && last.map == map && last.version == version) return last.member;
#elif ORVA_USE_DICT_WATCHERS
  LastMember& last = g_last_member[id];
  if (last.text == value && last.map.unchanged(map)) return last.member;
  last.map.mark(map);  // before the look-up: a change it makes is seen
#endif
  // An exact str key: the look-up compares texts only, no Python code runs.
  PyObject* m = PyDict_GetItemWithError(map, value);
  if (!m) {
#if ORVA_USE_DICT_WATCHERS
    last.map.forget();
#endif
    PyErr_Clear();
    return nullptr;
  }
#if ORVA_USE_DICT_VERSIONS
  PyObject* old = last.text;
  Py_INCREF(value);
  last = LastMember{map, version, value, m};
  Py_XDECREF(old);  // a str: releasing it runs no Python code
#elif ORVA_USE_DICT_WATCHERS
  PyObject* old = last.text;
  Py_INCREF(value);
  last.text = value;
  last.member = m;
  Py_XDECREF(old);  // a str: releasing it runs no Python code
#endif
  return m;
}
#endif

Ref from_value(PyObject* enum_name, PyObject* value) {
#if ORVA_FASTPATHS
  if (fastpaths_on()) {
    if (const EnumClass* e = unchanged(enum_name)) {
      if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == e->cls) return Ref::borrow(value);
      if (PyUnicode_CheckExact(value)) {
        // An exact str key: the look-up compares texts only, no Python code runs.
        PyObject* m = PyDict_GetItemWithError(e->value_map, value);
        if (m) return Ref::borrow(m);
        if (PyErr_Occurred()) throw_error();
      }
    }
  }
#endif
  Ref cls = global(enum_name);
  return call_method(cls.get(), ORVA_NAME("from_value"), {value});
}

}  // namespace orva::matcher
