#include "python/video/py_performance.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "python/convert.hpp"

namespace velmar::python {

namespace {

// video_file is a file name, which need not be UTF-8 (it comes back as the
// str os.fsdecode gives); the other texts are UTF-8, which decode the same.
PyObject* ToPython(const std::string& s) { return FsPathToPython(s); }
PyObject* ToPython(double v) { return PyFloat_FromDouble(v); }
PyObject* ToPython(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* ToPython(bool v) { return PyBool_FromLong(v); }

template <auto Member>
PyObject* GetField(PyObject* self, void*) {
  return ToPython(PerformanceResultClass::Of(self).*Member);
}

// One attribute per field of the record, in the record's order.
PyGetSetDef kGetSet[] = {
#define VELMAR_GETSET(type, name) \
  {#name, GetField<&video::PerformanceResult::name>, nullptr, nullptr, nullptr},
    VELMAR_PERFORMANCE_FIELDS(VELMAR_GETSET)
#undef VELMAR_GETSET
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const Args kToDictArgs{{"to_dict", kSelf}};

Ref ToDict(PyObject* self) {
  // The entries go through an unordered map, so callers cannot come to
  // rely on a key order.
  std::unordered_map<std::string, getter> fields;
  for (const PyGetSetDef* def = kGetSet; def->name != nullptr; ++def) {
    fields.emplace(def->name, def->get);
  }
  Ref dict = Check(PyDict_New());
  for (const auto& [name, get] : fields) {
    Ref value = Check(get(self, nullptr));
    CheckStatus(PyDict_SetItemString(dict.get(), name.c_str(), value.get()));
  }
  return dict;
}

PyMethodDef kMethods[] = {Def<kToDictArgs, ToDict>(), kEndOfMethods};

// No constructor: records come only from measured runs.
PerformanceResultClass g_result_class{{
    .name = "velmar.video.PyPerformanceResult",
    .methods = kMethods,
    .getset = kGetSet,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
}};

}  // namespace

}  // namespace velmar::python
