#pragma once

// The declarative binding layer: argument tables and native types.
//
// Adding a method to a class:
//
//   // 1. The table: each argument's name, converter and default, once.
//   const Args kSaveArgs{{"save", kSelf, "Save failed: "},
//                        Required<ToPath>{"path"}, Optional<ToU64>{"count", 10}};
//   // 2. The implementation gets converted values; it may throw (see errors.hpp).
//   Ref Save(PyObject* self, std::string path, uint64_t count) {
//     return NewInt(Unwrap(core::Save(Thing::Of(self), path, count)));
//   }
//   // 3. One line in the class's method list.
//   PyMethodDef kMethods[] = {Def<kSaveArgs, Save>(), kEndOfMethods};
//
// The table gives the text signature ("save($self, path, count=None)\n--\n\n"),
// the parser (PyArg_ParseTupleAndKeywords, so the messages are CPython's own),
// the conversion of each argument in order, and the error boundary with the
// call's failure prefix: a velmar::Error thrown by Unwrap becomes the
// RuntimeError of its kind, "Save failed: <message>" (errors.hpp). A table
// without arguments gives a METH_NOARGS method. Module functions are made
// the same way with kNoSelf.
//
// A Python type around a native record T:
//
//   const Args kThingArgs{{"Thing"}, Required<ToU64>{"size"}};
//   Thing MakeThing(uint64_t size) { return Thing(size); }
//   NativeType<Thing> g_thing_type{{.name = "velmar.video.Thing",
//                                   .constructor = Constructor<kThingArgs, MakeThing>(),
//                                   .methods = kMethods}};
//
// NativeType builds the record first and allocates the Python object after,
// so a failure in either leaks nothing; it owns dealloc and creates the type
// object on first use. `Type()` returns the type, `Wrap(T&&)` a new instance,
// `Of(self)` the record of an instance and `Find(obj)` that of any object (or
// null). There is one NativeType per record type.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velmar::python {

// ---------------------------------------------------------------------------
// Argument tables

// The value type a converter `T Convert(PyObject* obj, const char* arg)`
// gives. Converters throw PythonErrorSet with a message naming `arg`.
template <auto Convert>
using ValueOf = std::invoke_result_t<decltype(Convert), PyObject*, const char*>;

// An argument the caller must give.
template <auto Convert>
struct Required {
  const char* name;

  ValueOf<Convert> Take(PyObject* obj) const { return Convert(obj, name); }
};

// An argument that may be left out. None takes the default too, unless
// `none_is_default` is false (then None goes to the converter, which
// usually refuses it).
template <auto Convert>
struct Optional {
  const char* name;
  ValueOf<Convert> fallback;
  const char* shown = "None";  // the default as the text signature shows it
  bool none_is_default = true;

  ValueOf<Convert> Take(PyObject* obj) const {
    if (obj == nullptr || (none_is_default && obj == Py_None)) return fallback;
    return Convert(obj, name);
  }
};

enum Receiver { kNoSelf, kSelf };

// What a table says about its callable as a whole.
struct Callable {
  const char* name;
  Receiver receiver = kNoSelf;  // kSelf puts "$self" first in the signature
  const char* failure = "";     // the prefix of the RuntimeError of a core error
  // How many arguments may be given by position; the rest are keyword-only
  // ("*, " in the signature). Keyword-only arguments must be Optional.
  size_t positional = SIZE_MAX;
  const char* summary = nullptr;  // documentation after the signature
};

template <class... Params>
class Args {
 public:
  static constexpr size_t kCount = sizeof...(Params);
  using Values = std::tuple<decltype(std::declval<const Params&>().Take(nullptr))...>;

  explicit Args(Callable callable, Params... params)
      : callable_(callable), params_(std::move(params)...) {
    doc_.append(callable.name).append("(");
    if (callable.receiver == kSelf) doc_.append("$self");
    Describe(std::make_index_sequence<kCount>{});
    doc_.append(")\n--\n\n");
    if (callable.summary != nullptr) doc_.append(callable.summary);
    format_.append(":").append(callable.name);
  }

  const char* name() const { return callable_.name; }
  // The documentation string: the text signature, then the summary if any.
  const char* doc() const { return doc_.c_str(); }
  std::string_view failure() const { return callable_.failure; }

  // Binds positional and keyword arguments and converts each, in order.
  // Throws PythonErrorSet for a missing, surplus or unusable argument.
  Values Parse(PyObject* args, PyObject* kwargs) const {
    std::array<PyObject*, kCount> objs{};
    if (!Bind(args, kwargs, objs, std::make_index_sequence<kCount>{})) throw PythonErrorSet{};
    return Convert(objs, std::make_index_sequence<kCount>{});
  }

 private:
  // Builds the signature text, the parser's format ("OO|OO:name") and its
  // keyword list from the parameters.
  template <size_t... I>
  void Describe(std::index_sequence<I...>) {
    bool optional_seen = false;
    auto add = [&](const auto& param, size_t index) {
      if (index > 0 || callable_.receiver == kSelf) doc_.append(", ");
      if (index == callable_.positional) {
        doc_.append("*, ");
        if (!optional_seen) format_.append("|");
        optional_seen = true;
        format_.append("$");
      }
      doc_.append(param.name);
      if constexpr (requires { param.shown; }) {
        doc_.append("=").append(param.shown);
        if (!optional_seen) format_.append("|");
        optional_seen = true;
      }
      format_.append("O");
      keywords_[index] = param.name;
    };
    (add(std::get<I>(params_), I), ...);
    (void)add;
  }

  template <size_t... I>
  bool Bind(PyObject* args, PyObject* kwargs, std::array<PyObject*, kCount>& objs,
            std::index_sequence<I...>) const {
    // The keyword list is char** before 3.13; CPython never writes to it.
    return PyArg_ParseTupleAndKeywords(args, kwargs, format_.c_str(),
                                       const_cast<char**>(keywords_.data()), &objs[I]...) != 0;
  }

  template <size_t... I>
  Values Convert(const std::array<PyObject*, kCount>& objs, std::index_sequence<I...>) const {
    // Braced initialisation converts left to right: the first unusable
    // argument is the one reported.
    return Values{std::get<I>(params_).Take(objs[I])...};
  }

  Callable callable_;
  std::tuple<Params...> params_;
  std::string doc_;
  std::string format_;
  std::array<const char*, kCount + 1> keywords_{};
};

template <class... Params>
Args(Callable, Params...) -> Args<Params...>;

namespace detail {

template <const auto& Table, auto Impl>
PyObject* CallWithArgs(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary(Table.failure(), [&] {
    return std::apply([&](auto&&... values) { return Impl(self, std::move(values)...); },
                      Table.Parse(args, kwargs));
  });
}

template <const auto& Table, auto Impl>
PyObject* CallNoArgs(PyObject* self, PyObject*) {
  return Boundary(Table.failure(), [&] { return Impl(self); });
}

}  // namespace detail

// The method (or module function) entry for `Impl`, which is called as
// Impl(self, values...) and returns a PyObject* or a Ref.
template <const auto& Table, auto Impl>
PyMethodDef Def() {
  if constexpr (std::remove_cvref_t<decltype(Table)>::kCount == 0) {
    return {Table.name(), detail::CallNoArgs<Table, Impl>, METH_NOARGS, Table.doc()};
  } else {
    // METH_KEYWORDS functions are stored as PyCFunction; the detour through a
    // plain function pointer is the cast GCC accepts without a warning.
    return {Table.name(),
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(detail::CallWithArgs<Table, Impl>)),
            METH_VARARGS | METH_KEYWORDS, Table.doc()};
  }
}

inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

// ---------------------------------------------------------------------------
// Native types

template <class T>
class NativeType {
 public:
  // How Python makes a record: the parser and conversion of the arguments
  // with the call that builds the record, and the class's text signature.
  struct Constructor {
    T (*make)(PyObject* args, PyObject* kwargs) = nullptr;
    const char* doc = nullptr;
  };

  struct Spec {
    const char* name;  // "velmar.video.PyVideoFrame"
    Constructor constructor = {};  // none: Python cannot make instances
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    unsigned long flags = Py_TPFLAGS_BASETYPE;
    reprfunc repr = nullptr;  // null: object's default repr
  };

  explicit NativeType(Spec spec) : spec_(spec) { instance_ = this; }
  NativeType(const NativeType&) = delete;
  NativeType& operator=(const NativeType&) = delete;

  // The type object, made on first use. Borrowed; null with an error set if
  // it cannot be made.
  static PyObject* Type() {
    NativeType& self = *instance_;
    if (self.type_ == nullptr) {
      PyType_Slot slots[7];
      int n = 0;
      slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)};
      const Constructor& constructor = self.spec_.constructor;
      if (constructor.make != nullptr) slots[n++] = {Py_tp_new, reinterpret_cast<void*>(New)};
      if (self.spec_.methods != nullptr) slots[n++] = {Py_tp_methods, self.spec_.methods};
      if (self.spec_.getset != nullptr) slots[n++] = {Py_tp_getset, self.spec_.getset};
      if (constructor.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(constructor.doc)};
      if (self.spec_.repr != nullptr) slots[n++] = {Py_tp_repr, reinterpret_cast<void*>(self.spec_.repr)};
      slots[n] = {0, nullptr};
      PyType_Spec spec = {self.spec_.name, static_cast<int>(sizeof(Object)), 0,
                          static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | self.spec_.flags), slots};
      self.type_ = PyType_FromSpec(&spec);
    }
    return self.type_;
  }

  // A new instance of exactly this type holding `record`. Throws
  // PythonErrorSet (or bad_alloc) on failure.
  static Ref Wrap(T&& record) {
    auto owned = std::make_unique<T>(std::move(record));
    PyObject* type = Type();
    if (type == nullptr) throw PythonErrorSet{};
    return Adopt(reinterpret_cast<PyTypeObject*>(type), std::move(owned));
  }

  // The record of `self`, which must be an instance (the methods of the type
  // receive one).
  static T& Of(PyObject* self) { return *reinterpret_cast<Object*>(self)->record; }

  // The record of `obj` if it is an instance (or of a subclass), else null;
  // sets no error.
  static T* Find(PyObject* obj) {
    PyObject* type = Type();
    if (type == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
    return reinterpret_cast<Object*>(obj)->record;
  }

 private:
  struct Object {
    PyObject_HEAD
    T* record;
  };

  static Ref Adopt(PyTypeObject* type, std::unique_ptr<T> record) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref self = Check(alloc(type, 0));
    reinterpret_cast<Object*>(self.get())->record = record.release();
    return self;
  }

  static PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return Boundary([&] {
      // The record first: if it cannot be made, no object exists yet.
      auto record = std::make_unique<T>(instance_->spec_.constructor.make(args, kwargs));
      return Adopt(type, std::move(record));
    });
  }

  static void Dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<Object*>(self)->record;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
  }

  static inline NativeType* instance_ = nullptr;
  Spec spec_;
  PyObject* type_ = nullptr;
};

namespace detail {

template <const auto& Table, auto Make>
auto Construct(PyObject* args, PyObject* kwargs) {
  return std::apply([](auto&&... values) { return Make(std::move(values)...); },
                    Table.Parse(args, kwargs));
}

}  // namespace detail

// The constructor of a NativeType whose arguments `Table` describes: Python's
// call parses with it, then Make(values...) returns the record.
template <const auto& Table, auto Make>
auto Constructor() {
  using Record = decltype(detail::Construct<Table, Make>(nullptr, nullptr));
  return typename NativeType<Record>::Constructor{detail::Construct<Table, Make>, Table.doc()};
}

}  // namespace velmar::python
