#include "python/video/py_frame.hpp"

#include <utility>

#include "python/convert.hpp"
#include "python/types.hpp"
#include "video/difference.hpp"

namespace velmar::python {

namespace {

const Args kFrameArgs{{"PyVideoFrame"},
                      Required<ToU64>{"frame_number"},
                      Required<ToU64>{"width"},
                      Required<ToU64>{"height"},
                      Required<ToByteVector>{"data"}};

video::VideoFrame MakeFrame(uint64_t frame_number, uint64_t width, uint64_t height,
                            std::vector<uint8_t> data) {
  return video::VideoFrame::Make(frame_number, width, height, std::move(data));
}

const video::VideoFrame& ToFrame(PyObject* obj, const char* arg) {
  const video::VideoFrame* frame = FrameClass::Find(obj);
  if (frame == nullptr) ThrowConversionError(obj, arg, "PyVideoFrame");
  return *frame;
}

// Holds the frame by address: the argument object keeps it alive for the call.
const video::VideoFrame* ToFramePointer(PyObject* obj, const char* arg) {
  return &ToFrame(obj, arg);
}

const Args kGetDataArgs{{"get_data", kSelf}};

Ref GetData(PyObject* self) {
  auto pixels = FrameClass::Of(self).Pixels();
  return Check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pixels.data()),
                                         static_cast<Py_ssize_t>(pixels.size())));
}

// Both comparisons run with the interpreter lock held for the whole call:
// the workers read only the two immutable records.
const Args kDifferenceArgs{{"calculate_difference", kSelf}, Required<ToFramePointer>{"other"}};

Ref CalculateDifference(PyObject* self, const video::VideoFrame* other) {
  return Check(PyFloat_FromDouble(video::FrameDifference(FrameClass::Of(self), *other)));
}

const Args kDifferenceSimdArgs{{"calculate_difference_simd", kSelf},
                               Required<ToFramePointer>{"other"},
                               Optional<ToU64>{"block_size", video::DEFAULT_BLOCK_SIZE}};

Ref CalculateDifferenceSimd(PyObject* self, const video::VideoFrame* other, uint64_t block_size) {
  return Check(
      PyFloat_FromDouble(video::FrameDifferenceSimd(FrameClass::Of(self), *other, block_size)));
}

PyObject* GetFrameNumber(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(FrameClass::Of(self).frame_number);
}
PyObject* GetWidth(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(FrameClass::Of(self).width);
}
PyObject* GetHeight(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(FrameClass::Of(self).height);
}

PyMethodDef kMethods[] = {
    Def<kGetDataArgs, GetData>(),
    Def<kDifferenceArgs, CalculateDifference>(),
    Def<kDifferenceSimdArgs, CalculateDifferenceSimd>(),
    kEndOfMethods,
};

PyGetSetDef kGetSet[] = {
    {"frame_number", GetFrameNumber, nullptr, nullptr, nullptr},
    {"width", GetWidth, nullptr, nullptr, nullptr},
    {"height", GetHeight, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

FrameClass g_frame_class{{
    .name = "velmar.video.PyVideoFrame",
    .doc = kFrameArgs.doc(),
    .construct = Construct<kFrameArgs, MakeFrame>,
    .methods = kMethods,
    .getset = kGetSet,
}};

}  // namespace

PyObject* VideoFrameType() { return FrameClass::Type(); }

std::vector<video::VideoFrame> ToFrameList(PyObject* obj, const char* arg) {
  std::vector<video::VideoFrame> frames;
  // Nothing is reserved from the length: it may claim far more than the
  // sequence holds.
  ForEachItem(obj, arg, [&](PyObject* item) { frames.push_back(ToFrame(item, arg)); });
  return frames;
}

}  // namespace velmar::python
