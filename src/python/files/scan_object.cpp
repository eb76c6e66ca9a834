// quillmark_files._native.Scan: one pass of the core over an archive file
// (make_pass, or FileAppend) over a file descriptor or a stream object, with
// the interpreter lock released while it works, handing back what it found
// as named types (results.hpp): a summary, batches of records, the counts of
// an append, and the digests of what it read and wrote.
//
// Ownership: as in the quillmark module (owned_ref.hpp), every reference is
// held by an OwnedRef or a BorrowedRef, except the one each instance of a
// heap type holds on its type, which the interpreter takes in tp_alloc and
// scan_dealloc gives back.
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "python/files/gil_release.hpp"
#include "python/files/output_object.hpp"
#include "python/files/python_input.hpp"
#include "python/files/record_batch.hpp"
#include "python/files/results.hpp"
#include "python/files/scan_object.hpp"
#include "python/owned_ref.hpp"
#include "record/file/file_scan.hpp"
#include "record/file/gzip_inflater.hpp"
#include "record/file/input_digest.hpp"
#include "record/file/manifest_keeper.hpp"
#include "record/file/parallel_scan.hpp"
#include "record/file/record_listing.hpp"
#include "record/file/sink_pair.hpp"
#include "writer/file/file_append.hpp"

namespace quillmark::python {
namespace {

// A batch of a listing holds this many records, or this many bytes of
// header blocks and bodies, at most (one record more may come with it).
constexpr std::size_t kBatchRecords = 1024;
constexpr std::size_t kBatchBytes = std::size_t{8} << 20;

// Everything one pass owns, apart from the Python object around it.
struct ScanState {
  std::optional<FileInput> file;
  std::unique_ptr<PythonInput> stream;
  // An append's output: its own, or an Output's, claimed until it is done.
  std::unique_ptr<OutputFile> own_output;
  OwnedRef output;
  std::unique_ptr<ManifestKeeper> keeper;
  std::unique_ptr<RecordListing> listing;
  // The digests of a check's or a listing's input, beside its sink.
  std::unique_ptr<InputDigest> input_digest;
  std::unique_ptr<SinkPair> sinks;
  std::optional<InputDigests> input_digests;
  std::unique_ptr<quillmark::Pass> scan;
  std::unique_ptr<FileAppend> append;
  std::unique_ptr<RecordBatch> batch;
  std::optional<Error> failure;
  bool output_failed = false;
  bool running = false;

  ~ScanState() { let_go_of_output(); }
  // The pass ends with `error`; nothing reads its input any more, which the
  // caller may now close.
  void fail(Error error) {
    failure = std::move(error);
    if (input_digest) input_digest->cancel();
  }
  void let_go_of_output() {
    if (output) as_output(output.get())->claimed = false;
    output.reset();
  }

  Input& input() { return file ? static_cast<Input&>(*file) : *stream; }
  // An append that waits for its manifest is done with its input.
  bool done() const { return append ? append->done() || append->waiting() : scan->done(); }
  const std::optional<InputDigests>& digests_of_input() const {
    return append ? append->input_digests() : input_digests;
  }
  std::size_t consumed() const { return append ? append->consumed() : scan->consumed(); }
  bool compressed() const { return append ? append->input_compressed() : scan->compressed(); }
};

struct ScanObject {
  PyObject_HEAD ScanState* pass;  // owned
};

ScanState& pass_of(PyObject* self) {
  return *reinterpret_cast<ScanObject*>(self)->pass;
}

std::optional<gzip::Inflater> parse_inflater(const char* name, bool& ok) {
  ok = true;
  if (name == nullptr || std::string_view(name) == "auto") return std::nullopt;
  if (std::optional<gzip::Inflater> inflater = gzip::inflater_named(name)) return inflater;
  ok = false;
  PyErr_Format(PyExc_ValueError, "this build has no inflater '%s'", name);
  return std::nullopt;
}

PyObject* scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source",         "start",        "end",         "inflater",
                                   "listing",        "bodies",       "record_type", "append_to",
                                   "manifest",       "record_id",    "compress",    "threads",
                                   "part_size",      "crc32",        "sha256",      "covered",
                                   "output_digests", "old_manifest", nullptr};
  PyObject* source = nullptr;
  unsigned long long start = 0;
  PyObject* end = Py_None;
  const char* inflater_name = nullptr;
  int listing = 0, bodies = 0, compress = 0;
  PyObject* append_to = Py_None;
  unsigned int threads = 1;
  unsigned long long part_size = 0;
  PyObject* record_type = Py_None;
  PyObject* manifest = nullptr;  // bytes, or None: deferred (finish())
  const char* record_id = nullptr;
  Py_ssize_t record_id_size = 0;
  InputDigestOptions input_digests;
  int crc = 0, sha = 0, covered = 0, output_digests = 0, old_manifest = 0;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|$KOzppOOOs#pIKppppp:Scan", const_cast<char**>(keywords), &source, &start,
          &end, &inflater_name, &listing, &bodies, &record_type, &append_to, &manifest, &record_id,
          &record_id_size, &compress, &threads, &part_size, &crc, &sha, &covered, &output_digests,
          &old_manifest)) {
    return nullptr;
  }
  input_digests = InputDigestOptions{crc != 0, sha != 0, covered != 0};
  std::optional<std::string> store(std::string{});
  if (manifest == Py_None) {
    store.reset();
  } else if (manifest != nullptr) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(manifest)) {
      PyErr_SetString(PyExc_TypeError, "manifest must be bytes or None");
      return nullptr;
    }
    if (PyBytes_AsStringAndSize(manifest, &data, &size) != 0) return nullptr;
    store.emplace(data, static_cast<std::size_t>(size));
  }
  bool inflater_ok;
  const std::optional<gzip::Inflater> inflater = parse_inflater(inflater_name, inflater_ok);
  if (!inflater_ok) return nullptr;
  if (threads == 0) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  std::optional<std::size_t> stop;
  if (end != Py_None) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(end);
    if (PyErr_Occurred()) return nullptr;
    stop = static_cast<std::size_t>(value);
  }
  // append_to: an Output, or a file descriptor (-1: no append).
  OutputObject* output = as_output(append_to);
  int out_fd = -1;
  if (output == nullptr && append_to != Py_None) {
    out_fd = static_cast<int>(PyLong_AsLong(append_to));
    if (out_fd == -1 && PyErr_Occurred()) return nullptr;
  }
  if (output != nullptr && (output->claimed || output->busy)) {
    PyErr_SetString(PyExc_RuntimeError, "this Output is in use");
    return nullptr;
  }
  // A record type is a tuple subclass, made with tuple.__new__.
  OwnedRef tuple_new;
  if (record_type != Py_None) {
    if (!PyType_Check(record_type) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(record_type), &PyTuple_Type)) {
      PyErr_SetString(PyExc_TypeError, "record_type must be a subclass of tuple");
      return nullptr;
    }
    tuple_new.reset(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__new__"));
    if (!tuple_new) return nullptr;
  }

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef self(alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<ScanObject*>(self.get())->pass = nullptr;
  try {
    auto pass = std::make_unique<ScanState>();
    if (PyLong_Check(source)) {
      const long fd = PyLong_AsLong(source);
      if (fd == -1 && PyErr_Occurred()) return nullptr;
      Result<FileInput> opened = FileInput::open(static_cast<int>(fd), start, stop);
      if (!opened) return raise_os_error(opened.error());
      pass->file.emplace(std::move(opened).value());
    } else {
      pass->stream = std::make_unique<PythonInput>(source);
    }
    const bool appending = output != nullptr || out_fd >= 0;
    if ((appending || input_digests.any()) && (!pass->file || !pass->file->seekable())) {
      PyErr_SetString(PyExc_ValueError, appending ? "an append reads a regular file"
                                                  : "digests are made of a regular file");
      return nullptr;
    }
    if (!appending && (output_digests || old_manifest || !store)) {
      PyErr_SetString(PyExc_ValueError,
                      "output_digests, old_manifest and a deferred manifest are for an append");
      return nullptr;
    }
    if (appending) {
      AppendOptions options;
      options.compress = compress != 0;
      options.inflater = inflater;
      options.threads = threads;
      options.part_size = static_cast<std::size_t>(part_size);
      options.input_digests = input_digests;
      options.output_digests = output_digests != 0;
      options.keep_old_manifest = old_manifest != 0;
      if (output == nullptr) pass->own_output = std::make_unique<OutputFile>(out_fd);
      pass->append = std::make_unique<FileAppend>(
          *pass->file, output != nullptr ? *output->file : *pass->own_output, std::move(store),
          std::string(record_id != nullptr ? record_id : "",
                      static_cast<std::size_t>(record_id_size)),
          options);
    } else {
      ScanSink* sink;
      if (listing) {
        pass->listing = std::make_unique<RecordListing>(bodies != 0, kBatchRecords, kBatchBytes);
        sink = pass->listing.get();
        pass->batch = std::make_unique<RecordBatch>(
            tuple_new ? OwnedRef::borrow(record_type) : OwnedRef(), std::move(tuple_new));
      } else {
        pass->keeper = std::make_unique<ManifestKeeper>();
        sink = pass->keeper.get();
      }
      if (input_digests.any()) {
        Result<std::unique_ptr<InputDigest>> digest =
            InputDigest::start(*pass->file, input_digests);
        if (!digest) return raise_os_error(digest.error());
        pass->input_digest = std::move(digest).value();
        pass->sinks = std::make_unique<SinkPair>(*sink, *pass->input_digest);
        sink = pass->sinks.get();
      }
      ScanOptions options;
      options.inflater = inflater;
      if (pass->file) {
        pass->scan =
            make_pass(*pass->file, *sink, options, threads, static_cast<std::size_t>(part_size));
      } else {
        pass->scan = std::make_unique<FileScan>(*pass->stream, *sink, options);
      }
    }
    if (output != nullptr) {
      output->claimed = true;
      pass->output = OwnedRef::borrow(append_to);
    }
    reinterpret_cast<ScanObject*>(self.get())->pass = pass.release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void scan_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ScanObject*>(self)->pass;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// Takes a step of the pass (`step` returns its Status) with the lock
// released, keeping its failure in `failure`. False with an exception set
// where Python must hear of it at once: a signal's handler raised, a stream's
// read raised, memory ran out, or a thread could not be started.
template <class Step>
bool step_released(ScanState& pass, Step step) {
  Status status = Ok{};
  bool out_of_memory = false;
  std::optional<std::string> fault;  // no thread could be started, say
  pass.running = true;
  {
    GilRelease release;
    if (pass.stream) pass.stream->set_release(&release);
    try {
      status = step();
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    } catch (const std::exception& error) {
      fault = error.what();
    }
    if (pass.stream) pass.stream->set_release(nullptr);
  }
  pass.running = false;
  // A signal may have cut a read short: its handler runs now (and may raise).
  if (PyErr_CheckSignals() != 0) return false;
  if (pass.stream && pass.stream->failed()) {
    pass.fail(Error::io(std::make_error_code(std::errc::io_error)));
    pass.stream->restore_error();
    return false;
  }
  if (out_of_memory) {
    pass.fail(Error::io(std::make_error_code(std::errc::not_enough_memory)));
    PyErr_NoMemory();
    return false;
  }
  if (fault) {
    pass.fail(Error::io(std::make_error_code(std::errc::resource_unavailable_try_again)));
    PyErr_Format(PyExc_RuntimeError, "quillmark_files: %s", fault->c_str());
    return false;
  }
  if (!status) {
    pass.fail(status.error());
    pass.output_failed = pass.append && pass.append->output_failed();
  }
  if (pass.listing && (pass.failure || pass.done())) pass.listing->finish(!pass.failure);
  // An append that waits for its manifest still writes to its output.
  if (pass.failure || (pass.append ? pass.append->done() : pass.done())) pass.let_go_of_output();
  return true;
}

bool refuse_if_running(const ScanState& pass) {
  if (!pass.running) return false;
  PyErr_SetString(PyExc_RuntimeError, "this scan is already running in another thread");
  return true;
}

// Runs the pass for `budget` more input bytes (0: to the end) with the lock
// released. Returns the records made ready (a list) for a listing, else None;
// a failure is kept in `failure`, after the records before it.
PyObject* scan_run(PyObject* self, PyObject* args) {
  unsigned long long budget = 0;
  if (!PyArg_ParseTuple(args, "|K:run", &budget)) return nullptr;
  ScanState& pass = pass_of(self);
  if (refuse_if_running(pass)) return nullptr;
  if (!pass.failure && !pass.done()) {
    const bool stepped = step_released(pass, [&]() -> Status {
      if (pass.append) return pass.append->run(budget);
      Status status = pass.scan->run(budget);
      // The digests of a check's or listing's input, once it is all read.
      if (status && pass.scan->done() && pass.input_digest) {
        Result<InputDigests> digests = pass.input_digest->finish();
        if (!digests) return std::move(digests).error();
        pass.input_digests = std::move(digests).value();
      }
      return status;
    });
    if (!stepped) return nullptr;
  }
  if (!pass.listing) Py_RETURN_NONE;
  OwnedRef list;
  try {
    list = pass.batch->make_list(*pass.listing);
    pass.listing->take();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return list.release();
}

// Writes the new record of an append that waits for its manifest, with the
// lock released; a failure is kept in `failure`.
PyObject* scan_finish(PyObject* self, PyObject* manifest) {
  ScanState& pass = pass_of(self);
  if (refuse_if_running(pass)) return nullptr;
  if (!pass.append || !pass.append->waiting() || pass.failure) {
    PyErr_SetString(PyExc_RuntimeError, "finish() is for an append that waits for its manifest");
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(manifest)) {
    PyErr_SetString(PyExc_TypeError, "finish() takes the manifest store as bytes");
    return nullptr;
  }
  if (PyBytes_AsStringAndSize(manifest, &data, &size) != 0) return nullptr;
  std::string store;
  try {
    store.assign(data, static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!step_released(pass, [&] { return pass.append->finish(std::move(store)); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* scan_summary(PyObject* self, PyObject*) {
  ScanState& pass = pass_of(self);
  if (!pass.scan || !pass.keeper || !pass.done() || pass.failure) {
    PyErr_SetString(PyExc_RuntimeError, "summary() is for a check that is done");
    return nullptr;
  }
  return make_summary(*pass.scan, pass.keeper->manifest()).release();
}

PyObject* scan_appended(PyObject* self, PyObject*) {
  ScanState& pass = pass_of(self);
  if (!pass.append || !pass.done() || pass.failure) {
    PyErr_SetString(PyExc_RuntimeError,
                    "appended() is for an append that is done, or waits for its manifest");
    return nullptr;
  }
  return make_counts(pass.append->counts()).release();
}

PyObject* scan_input_digests(PyObject* self, PyObject*) {
  ScanState& pass = pass_of(self);
  if (!pass.done() || pass.failure || !pass.digests_of_input()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "input_digests() is for a pass that asked for them and read its input");
    return nullptr;
  }
  return make_input_digests(*pass.digests_of_input()).release();
}

PyObject* scan_output_digests(PyObject* self, PyObject*) {
  ScanState& pass = pass_of(self);
  if (!pass.append || !pass.done() || pass.failure || !pass.append->output_digests()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "output_digests() is for an append that asked for them and wrote what it "
                    "kept");
    return nullptr;
  }
  return make_output_digests(*pass.append->output_digests(), pass.append->output_compressed())
      .release();
}

PyObject* scan_waiting(PyObject* self, void*) {
  ScanState& pass = pass_of(self);
  return PyBool_FromLong(pass.append && pass.append->waiting() && !pass.failure);
}

PyObject* scan_done(PyObject* self, void*) {
  ScanState& pass = pass_of(self);
  return PyBool_FromLong(pass.done() || pass.failure.has_value());
}

PyObject* scan_consumed(PyObject* self, void*) {
  return PyLong_FromSize_t(pass_of(self).consumed());
}

PyObject* scan_size(PyObject* self, void*) {
  ScanState& pass = pass_of(self);
  const std::optional<std::size_t> size = pass.input().size();
  if (!size) Py_RETURN_NONE;
  return PyLong_FromSize_t(*size);
}

PyObject* scan_compressed(PyObject* self, void*) {
  return PyBool_FromLong(pass_of(self).compressed());
}

PyObject* scan_parts(PyObject* self, void*) {
  const ScanState& pass = pass_of(self);
  return PyLong_FromSize_t(pass.append ? pass.append->parts() : pass.scan->parts());
}

PyObject* scan_failure(PyObject* self, void*) {
  ScanState& pass = pass_of(self);
  if (!pass.failure) Py_RETURN_NONE;
  return make_failure(*pass.failure, pass.output_failed).release();
}

PyMethodDef scan_methods[] = {
    {"run", scan_run, METH_VARARGS,
     "run(budget=0)\n--\n\n"
     "Goes on for about `budget` more input bytes (0: to the end); returns the records made "
     "ready for a listing, else None. A failure is kept in `failure`."},
    {"summary", scan_summary, METH_NOARGS, "summary()\n--\n\nThe ScanSummary of a check."},
    {"appended", scan_appended, METH_NOARGS,
     "appended()\n--\n\nThe AppendCounts of an append (so far, while it waits)."},
    {"finish", scan_finish, METH_O,
     "finish(manifest)\n--\n\nWrites the new record of an append that waits for its "
     "manifest. A failure is kept in `failure`."},
    {"input_digests", scan_input_digests, METH_NOARGS,
     "input_digests()\n--\n\nThe InputDigests asked for, once the input is read."},
    {"output_digests", scan_output_digests, METH_NOARGS,
     "output_digests()\n--\n\nThe OutputDigests of an append that asked for them: the "
     "covered part once it waits, all of them once it is done."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scan_getset[] = {
    {"done", scan_done, nullptr,
     "Whether the pass has ended, well or not (an append that waits for its manifest has).",
     nullptr},
    {"waiting", scan_waiting, nullptr,
     "Whether an append with a deferred manifest has written everything kept and waits for "
     "finish(manifest).",
     nullptr},
    {"consumed", scan_consumed, nullptr, "Input bytes read or passed over so far.", nullptr},
    {"size", scan_size, nullptr, "The input's size, where it is known, else None.", nullptr},
    {"compressed", scan_compressed, nullptr, "Whether the input is gzip.", nullptr},
    {"failure", scan_failure, nullptr, "Why the pass failed (a ScanFailure), or None.", nullptr},
    {"parts", scan_parts, nullptr,
     "The parts of a gzip file the pass read ahead on threads of their own and used; 1 for a "
     "pass on one thread.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc)},
    {Py_tp_methods, scan_methods},
    {Py_tp_getset, scan_getset},
    {Py_tp_doc,
     const_cast<char*>(
         "Scan(source, *, start=0, end=None, inflater=None, listing=False, bodies=False, "
         "record_type=None, append_to=-1, manifest=b'', record_id='', compress=False, "
         "threads=1, part_size=0, crc32=False, sha256=False, covered=False, "
         "output_digests=False, old_manifest=False)\n--\n\n"
         "One pass over an archive file: a file descriptor (a regular file from start to end, "
         "or a pipe) or a stream object with read(n). append_to: a file descriptor or an "
         "Output; manifest None defers it to finish(). crc32, sha256, covered: digests of a "
         "regular file read (input_digests()); output_digests, old_manifest: of an append.")},
    {0, nullptr},
};

PyType_Spec scan_spec = {
    "quillmark_files._native.Scan", sizeof(ScanObject), 0, Py_TPFLAGS_DEFAULT, scan_slots,
};

}  // namespace

bool add_scan_type(PyObject* module) {
  OwnedRef type(PyType_FromSpec(&scan_spec));
  return type && PyObject_SetAttrString(module, "Scan", type.get()) == 0;
}

}  // namespace quillmark::python
