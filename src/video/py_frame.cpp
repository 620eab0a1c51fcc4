#include "video/py_frame.hpp"

#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"
#include "video/difference.hpp"

namespace velmar::python {

namespace {

struct FrameObject {
  PyObject_HEAD
  video::VideoFrame* frame;
};

FrameObject* AsFrame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }

PyObject* Allocate(PyTypeObject* type, video::VideoFrame&& frame) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  AsFrame(self)->frame = new video::VideoFrame(std::move(frame));
  return self;
}

PyObject* FrameNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[4];
    if (!BindArgs("PyVideoFrame", args, kwargs, {"frame_number", "width", "height", "data"}, 4,
                  a)) {
      return nullptr;
    }
    uint64_t frame_number = 0, width = 0, height = 0;
    std::vector<uint8_t> data;
    if (!ToU64(a[0], "frame_number", &frame_number) || !ToU64(a[1], "width", &width) ||
        !ToU64(a[2], "height", &height) || !ToByteVector(a[3], "data", &data)) {
      return nullptr;
    }
    return Allocate(type, video::VideoFrame::Make(frame_number, width, height, std::move(data)));
  });
}

void FrameDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete AsFrame(self)->frame;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* GetData(PyObject* self, PyObject*) {
  return Boundary([&]() -> PyObject* {
    auto pixels = AsFrame(self)->frame->Pixels();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pixels.data()),
                                     static_cast<Py_ssize_t>(pixels.size()));
  });
}

PyObject* GetFrameNumber(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(AsFrame(self)->frame->frame_number);
}
PyObject* GetWidth(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(AsFrame(self)->frame->width);
}
PyObject* GetHeight(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(AsFrame(self)->frame->height);
}

// `other` must be a PyVideoFrame (or subclass); the record it holds, or
// null with TypeError set naming the argument.
const video::VideoFrame* OtherFrame(PyObject* other) {
  const video::VideoFrame* frame = FrameOf(other);
  if (frame == nullptr && !PyErr_Occurred()) {
    PyErr_Format(PyExc_TypeError, "argument 'other': '%s' object cannot be converted to '%s'",
                 TypeName(other).c_str(), "PyVideoFrame");
  }
  return frame;
}

// Both comparisons run with the interpreter lock held for the whole call:
// the workers read only the two immutable records.
PyObject* CalculateDifference(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindArgs("calculate_difference", args, kwargs, {"other"}, 1, a)) return nullptr;
    const video::VideoFrame* other = OtherFrame(a[0]);
    if (other == nullptr) return nullptr;
    return PyFloat_FromDouble(video::FrameDifference(*AsFrame(self)->frame, *other));
  });
}

PyObject* CalculateDifferenceSimd(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindArgs("calculate_difference_simd", args, kwargs, {"other", "block_size"}, 1, a)) {
      return nullptr;
    }
    const video::VideoFrame* other = OtherFrame(a[0]);
    if (other == nullptr) return nullptr;
    uint64_t block_size = 0;
    if (!ToU64Or(a[1], "block_size", video::DEFAULT_BLOCK_SIZE, &block_size)) return nullptr;
    return PyFloat_FromDouble(
        video::FrameDifferenceSimd(*AsFrame(self)->frame, *other, block_size));
  });
}

// METH_KEYWORDS methods are stored as PyCFunction; the detour through a
// plain function pointer is the cast GCC accepts without a warning.
PyCFunction AsMethod(PyCFunctionWithKeywords fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef kMethods[] = {
    {"get_data", GetData, METH_NOARGS, "get_data($self)\n--\n\n"},
    {"calculate_difference", AsMethod(CalculateDifference),
     METH_VARARGS | METH_KEYWORDS, "calculate_difference($self, other)\n--\n\n"},
    {"calculate_difference_simd", AsMethod(CalculateDifferenceSimd),
     METH_VARARGS | METH_KEYWORDS,
     "calculate_difference_simd($self, other, block_size=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"frame_number", GetFrameNumber, nullptr, nullptr, nullptr},
    {"width", GetWidth, nullptr, nullptr, nullptr},
    {"height", GetHeight, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FrameNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(FrameDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("PyVideoFrame(frame_number, width, height, data)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmar.video.PyVideoFrame",
    sizeof(FrameObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyObject* VideoFrameType() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

PyObject* WrapFrame(video::VideoFrame&& frame) {
  PyObject* type = VideoFrameType();
  if (type == nullptr) return nullptr;
  return Allocate(reinterpret_cast<PyTypeObject*>(type), std::move(frame));
}

const video::VideoFrame* FrameOf(PyObject* obj) {
  PyObject* type = VideoFrameType();
  if (type == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
  return AsFrame(obj)->frame;
}

}  // namespace velmar::python
