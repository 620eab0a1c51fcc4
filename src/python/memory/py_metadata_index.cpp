#include "python/memory/py_metadata_index.hpp"

// PyMetadataIndex: each method's argument table sits beside its code.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>
#include <memory>
#include <utility>

#include "memory/persistence.hpp"
#include "memory/search.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/memory/py_entry.hpp"
#include "python/memory/py_query.hpp"
#include "python/lenient.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

// The path as the file system sees it: a str, bytes or os.PathLike as
// os.fsencode gives it (ToFsPath). A str holding a lone surrogate that the
// file-system encoding cannot take is still a path, its own bytes, as every
// str has always been one.
std::optional<std::string> ToIndexPath(PyObject* obj, const char* arg) {
  if (!PyUnicode_Check(obj)) return ToFsPath(obj, arg);
  Ref bytes = Ref::Steal(PyUnicode_EncodeFSDefault(obj));
  if (!bytes && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    PyErr_Clear();
    bytes = Ref::Steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  }
  if (!bytes) throw PythonErrorSet{};
  return ToFsPath(bytes.get(), arg);
}

const Args kIndexArgs{{"PyMetadataIndex"},
                      Optional<ToIndexPath>{"path", std::nullopt}};

// The file's path as Python shows it.
Ref ShownPath(const std::string& path) { return Check(FsPathToPython(path)); }

// Says that the file at `path` could not be loaded, and why. The index
// still starts empty, as it always has; but a silent empty index reads as
// "my memories are gone", and the file is kept aside only at the first save.
// The warning carries `path` and `reason` as attributes, so that a caller
// (the velmar command) learns what went wrong without parsing the text.
void WarnUnreadable(const std::string& path, const Error& why) {
  Ref shown = ShownPath(path);
  Ref reason = Check(PyUnicode_DecodeUTF8(why.message.data(), static_cast<Py_ssize_t>(why.message.size()),
                                          "replace"));
  const bool kept_as_is = why.cause == std::errc::is_a_directory || why.cause == std::errc::invalid_argument;
  Ref message = Check(
      kept_as_is ? PyUnicode_FromFormat("PyMetadataIndex: the index file %R %U, so the index starts "
                                        "empty; save() will not replace it",
                                        shown.get(), reason.get())
                 : PyUnicode_FromFormat("PyMetadataIndex: the index file %R %U, so the index starts empty; "
                                        "the first save() keeps that file as %R",
                                        shown.get(), reason.get(),
                                        Check(PyUnicode_FromFormat("%U.unreadable", shown.get())).get()));
  Warn(NewException(PyExc_UserWarning, message.get(), {{"path", shown.get()}, {"reason", reason.get()}}).get());
}

// Says what a load left out of the index, and that the first save keeps
// the file as it is: a save writes only what the index holds.
void WarnLeftOut(const std::string& path, const memory::LoadReport& report) {
  // The file's texts, shown even where they are not valid UTF-8.
  auto text = [](const std::string& t) {
    return Check(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "replace"));
  };
  Ref parts = Check(PyList_New(0));
  auto add = [&](PyObject* part) { CheckStatus(PyList_Append(parts.get(), Check(part).get())); };
  if (!report.repeated_ids.empty()) {
    Ref id = text(report.repeated_ids.front());
    add(PyUnicode_FromFormat(
        "%zu memory_id(s) occur more than once (%R%s); the last entry of each was kept",
        report.repeated_ids.size(), id.get(), report.repeated_ids.size() > 1 ? ", ..." : ""));
  }
  if (!report.ignored_keys.empty()) {
    Ref keys = Check(PyList_New(0));
    for (const std::string& key : report.ignored_keys) {
      CheckStatus(PyList_Append(keys.get(), text(key).get()));
    }
    add(PyUnicode_FromFormat("keys beyond the thirteen entry fields were ignored: %R%s", keys.get(),
                             report.more_ignored_keys ? " and others" : ""));
  }
  if (report.empty_ids != 0) {
    add(PyUnicode_FromFormat("%zu entr%s with an empty memory_id skipped", report.empty_ids,
                             report.empty_ids == 1 ? "y" : "ies"));
  }
  Ref what = Check(PyUnicode_Join(Check(PyUnicode_FromString("; ")).get(), parts.get()));
  Ref shown = ShownPath(path);
  CheckStatus(PyErr_WarnFormat(PyExc_UserWarning, 1,
                               "PyMetadataIndex: the index file %R was loaded, but %U; the first "
                               "save() keeps that file as %R",
                               shown.get(), what.get(),
                               Check(PyUnicode_FromFormat("%U.unreadable", shown.get())).get()));
}

MetadataIndex MakeIndex(std::optional<std::string> path) {
  MetadataIndex index{std::nullopt, std::make_shared<memory::MetadataStore>(), std::nullopt};
  if (path) {
    memory::IndexFile& file = index.file.emplace(std::move(*path));
    const auto loaded = memory::LoadIndexFile(file, *index.store);
    if (!loaded) {
      WarnUnreadable(file.path, loaded.error());
    } else if (loaded->LeftOut()) {
      WarnLeftOut(file.path, *loaded);
    }
  }
  return index;
}

constexpr uint64_t kRefreshViewsFrom = 4096;

const Args kBatchAddArgs{{"batch_add", kSelf}, Required<ToObject>{"entries"}};

Ref BatchAdd(PyObject* self, PyObject* entries) {
  uint64_t stored = 0;
  if (PyList_Check(entries)) {
    memory::MetadataStore& store = *MetadataIndexClass::Of(self).store;
    // Converting an item can run the caller's code (__index__, __float__,
    // a key's __eq__, a __del__), which may change the list. The walk
    // covers at most the length first seen, ends early when the list has
    // become shorter (its length is read again before every step), and
    // holds each item by a strong reference while converting it.
    const Py_ssize_t first_length = PyList_Size(entries);
    size_t dicts = 0;  // counting runs no Python code
    for (Py_ssize_t i = 0; i < first_length; ++i) {
      if (PyDict_Check(PyList_GetItem(entries, i))) ++dicts;
    }
    store.Reserve(dicts);
    for (Py_ssize_t i = 0; i < std::min(first_length, PyList_Size(entries)); ++i) {
      Ref item = Ref::Borrow(PyList_GetItem(entries, i));
      if (!item) {
        PyErr_Clear();
        break;
      }
      if (!PyDict_Check(item.get())) continue;
      std::optional<memory::MetadataEntry> entry = entry_from_dict(item.get());
      if (!entry) continue;
      store.Insert(std::move(*entry));
      ++stored;
    }
    // A large batch brings the searches' views up to date itself (a
    // linear merge, a few percent of the batch's cost), so that the first
    // search after it costs what a later one does. After a small batch
    // that merge would cost more than the batch: the first search does it.
    if (stored >= kRefreshViewsFrom) store.RefreshViews();
  }
  return NewInt(stored);
}

// The memory_ids of a get_many or delete call: a sequence of str, not a str
// itself. Any other item raises TypeError before anything is read or
// removed. A str that no entry can carry (one holding a lone surrogate) is
// passed over, as an unknown identifier is.
std::vector<std::string> ToMemoryIds(PyObject* obj, const char* arg) {
  std::vector<std::string> ids;
  Py_ssize_t position = 0;
  ForEachItem(obj, arg, [&](PyObject* item) {
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd is '%s', not 'str'", arg, position,
                   TypeName(item).c_str());
      throw PythonErrorSet{};
    }
    if (std::optional<std::string_view> text = TextOf(item)) {
      ids.emplace_back(*text);
    } else {
      ClearUnlessFatal();
    }
    ++position;
  });
  return ids;
}

// One memory_id: a str (or subclass).
PyObject* ToMemoryId(PyObject* obj, const char* arg) {
  if (!PyUnicode_Check(obj)) ThrowConversionError(obj, arg, "str");
  return obj;
}

const Args kGetArgs{{"get", kSelf, "", SIZE_MAX,
                     "The entry stored under memory_id, as a dict with the thirteen keys of the\n"
                     "index file (lists as list, an absent chat_id or content_preview as None),\n"
                     "or None when no entry has that id."},
                    Required<ToMemoryId>{"memory_id"}};

Ref Get(PyObject* self, PyObject* memory_id) {
  std::optional<std::string_view> id = TextOf(memory_id);
  if (!id) {
    ClearUnlessFatal();
    return Ref::Borrow(Py_None);
  }
  std::optional<memory::MetadataEntry> entry = MetadataIndexClass::Of(self).store->Get(*id);
  if (!entry) return Ref::Borrow(Py_None);
  return EntryToDict(*entry);
}

const Args kGetManyArgs{{"get_many", kSelf, "", SIZE_MAX,
                         "The entries stored under memory_ids, as get() gives them, in the order\n"
                         "of memory_ids; ids that no entry has are left out. memory_ids is a\n"
                         "sequence of str (a str alone is refused)."},
                        Required<ToMemoryIds>{"memory_ids"}};

Ref GetMany(PyObject* self, std::vector<std::string> memory_ids) {
  const memory::MetadataStore& store = *MetadataIndexClass::Of(self).store;
  std::vector<memory::MetadataEntry> found;
  for (const std::string& id : memory_ids) {
    if (std::optional<memory::MetadataEntry> entry = store.Get(id)) found.push_back(std::move(*entry));
  }
  return NewList(found, [](const memory::MetadataEntry& e) { return EntryToDict(e); });
}

const Args kDeleteArgs{{"delete", kSelf, "", SIZE_MAX,
                        "Remove the entries stored under memory_ids, a sequence of str (a str\n"
                        "alone, or any item that is not a str, raises TypeError and removes\n"
                        "nothing). Unknown ids are ignored and a repeated id counts once. Returns\n"
                        "the number of entries removed; the keys they were indexed under stay,\n"
                        "with a count of 0 in stats() until save() leaves them out."},
                       Required<ToMemoryIds>{"memory_ids"}};

Ref Delete(PyObject* self, std::vector<std::string> memory_ids) {
  return NewInt(MetadataIndexClass::Of(self).store->Delete(memory_ids));
}

const Args kDeleteWhereArgs{
    {"delete_where", kSelf, "", SIZE_MAX,
     "Remove every entry that search_strict(params) would return with no limit,\n"
     "and return how many. It fails closed: a key search_strict does not know\n"
     "(limit included), a value it would not use, or a dict with no condition\n"
     "raises ValueError naming the key, and removes nothing. An empty text is\n"
     "no condition: list values leave them out (a list of nothing else is\n"
     "refused), and an entry's empty subject or keyword matches nothing.\n"
     "{\"user_id\": \"u1\"} forgets everything of user u1."},
    Required<ToDict>{"params"}};

Ref DeleteWhere(PyObject* self, PyObject* params) {
  memory::StrictQuery query = ReadDeletionQuery(params);
  return NewInt(memory::DeleteMatching(*MetadataIndexClass::Of(self).store, std::move(query)));
}

const Args kSearchStrictArgs{{"search_strict", kSelf}, Required<ToDict>{"params"}};

Ref SearchStrict(PyObject* self, PyObject* params) {
  const memory::StrictQuery query = ReadStrictQuery(params);
  return NewStrList(memory::SearchStrict(*MetadataIndexClass::Of(self).store, query));
}

const Args kSearchFlexibleArgs{{"search_flexible", kSelf}, Required<ToDict>{"params"}};

Ref SearchFlexible(PyObject* self, PyObject* params) {
  const memory::FlexibleQuery query = ReadFlexibleQuery(params);
  return NewStrList(memory::SearchFlexible(*MetadataIndexClass::Of(self).store, query));
}

const Args kStatsArgs{{"stats", kSelf}};

void SetCount(PyObject* dict, const char* key, size_t value) {
  CheckStatus(PyDict_SetItemString(dict, key, NewInt(value).get()));
}

Ref Stats(PyObject* self) {
  const memory::MetadataStore& store = *MetadataIndexClass::Of(self).store;
  Ref result = Check(PyDict_New());
  const memory::MetadataStore::KeyCounts counts = store.CountKeys();
  SetCount(result.get(), "total", counts.entries);
  SetCount(result.get(), "types_indexed", counts.types);
  SetCount(result.get(), "subjects_indexed", counts.subjects);
  SetCount(result.get(), "keywords_indexed", counts.keywords);
  SetCount(result.get(), "tags_indexed", counts.tags);
  Ref dist = Check(PyDict_New());
  for (const auto& [type, count] : store.TypeDistribution()) {
    CheckStatus(PyDict_SetItem(dist.get(), NewStr(type).get(), NewInt(count).get()));
  }
  CheckStatus(PyDict_SetItemString(result.get(), "types_dist", dist.get()));
  return result;
}

const Args kSaveArgs{{"save", kSelf}};

Ref Save(PyObject* self) {
  MetadataIndex& index = MetadataIndexClass::Of(self);
  if (!index.file) {
    index.last_save_error = Error::Of(ErrorKind::kInvalidData, "the index was made without a path");
    return Ref::Borrow(Py_False);
  }
  auto saved = memory::SaveIndexFile(*index.file, *index.store);
  if (saved) {
    index.last_save_error.reset();
  } else {
    index.last_save_error = std::move(saved.error());
  }
  if (saved && !saved->replaced.empty()) {
    // Saved, over what another writer saved since this index loaded or
    // saved the file: that version is kept, and named.
    Ref shown = ShownPath(index.file->path);
    CheckStatus(PyErr_WarnFormat(PyExc_UserWarning, 1,
                                 "PyMetadataIndex.save(): the index file %R was changed by another "
                                 "writer since this index loaded or saved it; that version is kept "
                                 "as %R",
                                 shown.get(), ShownPath(saved->replaced).get()));
  }
  return Ref::Borrow(saved ? Py_True : Py_False);
}

PyObject* LastSaveError(PyObject* self, void*) {
  return Boundary([&] {
    const std::optional<Error>& error = MetadataIndexClass::Of(self).last_save_error;
    if (!error) return Ref::Borrow(Py_None);
    return NewCoreException(*error, "", ErrorApi::kBuiltin);
  });
}

PyGetSetDef kGetSet[] = {
    {"last_save_error", LastSaveError, nullptr,
     "Why the last save() returned False, as an exception of its kind (PermissionError,\n"
     "FileNotFoundError, another OSError, ValueError, MemoryError), not raised; None\n"
     "before any save() and after one that returned True.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    Def<kBatchAddArgs, BatchAdd>(),
    Def<kGetArgs, Get>(),
    Def<kGetManyArgs, GetMany>(),
    Def<kDeleteArgs, Delete>(),
    Def<kDeleteWhereArgs, DeleteWhere>(),
    Def<kSearchStrictArgs, SearchStrict>(),
    Def<kSearchFlexibleArgs, SearchFlexible>(),
    Def<kStatsArgs, Stats>(),
    Def<kSaveArgs, Save>(),
    kEndOfMethods,
};

MetadataIndexClass g_index_class{{
    .name = "velmar.memory.PyMetadataIndex",
    .constructor = Constructor<kIndexArgs, MakeIndex>(),
    .methods = kMethods,
    .getset = kGetSet,
}};

}  // namespace

}  // namespace velmar::python
