#pragma once

#include <Python.h>

#include <string>

namespace velmar::python {

// A str, bytes or os.PathLike naming a file or directory, as os.fsencode
// gives it: a str in the file system's encoding, with the bytes of a name
// that is not valid in it (surrogate escapes) given back as they were, so
// any name the operating system accepts works. Another type: TypeError; a
// NUL, which would cut the name short on its way to the system: ValueError.
std::string ToFsPath(PyObject* obj, const char* arg);

// A name the system gave or took back as Python text, as os.fsdecode does:
// bytes that are not valid UTF-8 come back as the surrogate escapes they
// were given as.
PyObject* FsPathToPython(const std::string& path);

}  // namespace velmar::python
