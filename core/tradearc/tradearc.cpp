// quorex.core.tradearc: follows a simloop run trade by trade and keeps, per
// trade, its identification, position value and excursion record in three
// module lists. simloop drives it through the native table in `__pyx_capi__`.
#include <Python.h>

#include <array>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>

#include "shared/arrays.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"
#include "tradearc/excursion.hpp"
#include "tradearc/tradearc_api.hpp"

namespace {

using quorex::PyRef;
namespace api = quorex::tradearc_api;
namespace ex = quorex::excursion;

// Importers keep the addresses of these two variables and read the array
// through them, so they must always alias the current array. They are
// borrowed mirrors of the owning references in State.
PyArrayObject* entry = nullptr;
PyArrayObject* position = nullptr;

// An owned array reference mirrored into an exported variable.
class ExportedArray {
 public:
  explicit ExportedArray(PyArrayObject*& alias) noexcept : alias_(alias) {}
  PyObject* get() const noexcept { return ref_.get(); }
  void reset(PyRef value) noexcept {
    // The old array is released only after the alias points at the new one.
    std::swap(ref_, value);
    alias_ = reinterpret_cast<PyArrayObject*>(ref_.get());
  }

 private:
  PyArrayObject*& alias_;
  PyRef ref_;
};

struct State {
  PyRef namespace_dict;  // module globals: lists and org_np are resolved here at every use
  PyRef price;           // None or a 2-D float64 array
  PyRef close;
  ExportedArray entry{::entry};
  ExportedArray position{::position};
  PyRef charge_entry;
  std::map<int, int> column_map;
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  int tradearc_window = 0;
  int tradearc_window_step = 0;
  int current_date = 0;
  PyRef str_clear;
  PyRef str_append;
  PyRef str_zeros;
  PyRef str_empty;
  PyRef str_fill;
  PyRef str_dtype;
};

// Created at module execution and never destroyed: the module's m_free drops
// its references while the interpreter is still alive, which a static
// destructor running after finalisation could not do safely.
State* state = nullptr;

// Resolves a module global the way module-level code does, so rebinding or
// deleting `tradearc.trades` from Python takes effect at the next call.
PyRef global(const char* name) {
  PyObject* value = nullptr;
  if (state->namespace_dict && PyDict_GetItemStringRef(state->namespace_dict.get(), name, &value) < 0) {
    return {};
  }
  if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return PyRef::steal(value);
}

// list_name.clear(), resolved by name.
bool clear_list(const char* list_name) {
  PyRef target = global(list_name);
  if (!target) return false;
  return static_cast<bool>(PyRef::steal(PyObject_CallMethodNoArgs(target.get(), state->str_clear.get())));
}

// array[index] as Python indexing does it (a NumPy scalar, NumPy's errors).
// A released array reads as None.
PyRef get_item(PyObject* array, int index) {
  PyRef key = PyRef::steal(PyLong_FromLong(index));
  if (!key) return {};
  return PyRef::steal(PyObject_GetItem(array ? array : Py_None, key.get()));
}

bool set_item(PyObject* array, int index, PyRef value) {
  if (!value) return false;
  PyRef key = PyRef::steal(PyLong_FromLong(index));
  if (!key) return false;
  return PyObject_SetItem(array ? array : Py_None, key.get(), value.get()) == 0;
}

// int(obj) narrowed to a C int.
bool to_int(PyObject* obj, int& out) {
  PyRef number = PyRef::steal(PyNumber_Long(obj));
  if (!number) return false;
  out = PyLong_AsInt(number.get());
  return !(out == -1 && PyErr_Occurred());
}

// The per-column arrays and the record must be arrays; None is accepted
// where the column arrays are concerned and fails at first item access.
bool expect_ndarray(PyObject* obj, bool allow_none) {
  if (PyArray_Check(obj) || (allow_none && obj == Py_None)) return true;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray", Py_TYPE(obj)->tp_name);
  return false;
}

// org_np.zeros(n, dtype=dtype).
PyRef zeros(PyObject* n, PyObject* dtype) {
  PyRef np = global("org_np");
  if (!np) return {};
  PyRef function = PyRef::steal(PyObject_GetAttr(np.get(), state->str_zeros.get()));
  if (!function) return {};
  PyRef kwnames = PyRef::steal(PyTuple_Pack(1, state->str_dtype.get()));
  if (!kwnames) return {};
  PyObject* args[] = {n, dtype};
  return PyRef::steal(PyObject_Vectorcall(function.get(), args, 1, kwnames.get()));
}

// None or a 2-D float64 array, checked before the analysis state changes.
bool check_matrix(PyObject* obj, const char* name) {
  if (obj == Py_None) return true;
  if (!quorex::check_ndarray_arg(obj, name)) return false;
  return quorex::check_buffer<double>(reinterpret_cast<PyArrayObject*>(obj), 2);
}

// A view of a stored matrix; its dtype or shape may have been changed in
// place since start_analysis, so it is checked again.
bool open_view(PyObject* obj, ex::MatrixView& out) {
  if (obj == nullptr || obj == Py_None) {
    out = {};
    return true;
  }
  quorex::Matrix<double> m;
  if (!quorex::open_matrix(obj, m)) return false;
  out = {m.data, m.rows, m.cols, m.row_stride, m.col_stride, true};
  return true;
}

void set_error(const ex::Error& e) {
  switch (e.status) {
    case ex::Status::ok: break;
    case ex::Status::not_subscriptable:
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
      break;
    case ex::Status::index_out_of_bounds: quorex::raise_index_error(e.index, 0, e.bound); break;
    case ex::Status::float_division: PyErr_SetString(PyExc_ZeroDivisionError, "float division"); break;
    case ex::Status::integer_division:
      PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
      break;
    case ex::Status::division_overflow:
      PyErr_SetString(PyExc_OverflowError, "value too large to perform division");
      break;
    case ex::Status::record_out_of_bounds:
      PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
      break;
    case ex::Status::exit_before_entry:
      PyErr_Format(PyExc_IndexError, "exit date index %lld precedes entry date index %lld",
                   static_cast<long long>(e.index), static_cast<long long>(e.bound));
      break;
  }
}

// The excursion record of one trade: a float64 array of sampled blocks and
// the exit block, unwritten samples -1.0.
PyRef tradearc_analysis(int column, int entry_index, bool is_long, int charge_entry, int charge_exit) {
  const ex::Settings settings{state->fee_ratio, state->tax_ratio, state->tradearc_window,
                              state->tradearc_window_step, state->current_date};
  ex::Path path;
  std::int64_t n = 0;
  try {
    const int price_column = ex::column_for(state->column_map, column);
    ex::MatrixView price;
    ex::MatrixView close;
    if (!open_view(state->price.get(), price) || !open_view(state->close.get(), close)) return {};
    const ex::Trade trade{price_column, entry_index, is_long, charge_entry != 0, charge_exit != 0};
    if (ex::Error e = ex::track(price, close, trade, settings, path)) {
      set_error(e);
      return {};
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return {};
  } catch (const std::length_error&) {
    PyErr_NoMemory();
    return {};
  }
  if (ex::Error e = ex::record_length(settings.tradearc_window, settings.tradearc_window_step, n)) {
    set_error(e);
    return {};
  }

  // Created through NumPy itself so that a negative length fails with
  // NumPy's own error.
  PyRef np = global("org_np");
  if (!np) return {};
  PyRef size = PyRef::steal(PyLong_FromLongLong(n));
  if (!size) return {};
  PyRef record = PyRef::steal(PyObject_CallMethodOneArg(np.get(), state->str_empty.get(), size.get()));
  if (!record || !expect_ndarray(record.get(), false)) return {};
  PyRef fill_value = PyRef::steal(PyLong_FromLong(-1));
  if (!fill_value) return {};
  PyRef filled = PyRef::steal(PyObject_CallMethodOneArg(record.get(), state->str_fill.get(), fill_value.get()));
  if (!filled) return {};

  quorex::Vector<double> values;
  if (!quorex::open_vector(record.get(), values)) return {};
  if (ex::Error e = ex::write_record(path, settings, entry_index, n, {values.data, values.size, values.stride})) {
    set_error(e);
    return {};
  }
  return record;
}

// Resolves the list `list_name`, then builds its new item, then appends it:
// the order in which `trades.append(item)` evaluates in module code.
template <class MakeItem>
bool append_to(const char* list_name, MakeItem make_item) {
  PyRef target = global(list_name);
  if (!target) return false;
  PyRef item = make_item();
  if (!item) return false;
  return static_cast<bool>(
      PyRef::steal(PyObject_CallMethodOneArg(target.get(), state->str_append.get(), item.get())));
}

// [column, entry[column], exit_index].
PyRef trade_item(int column, int exit_index) {
  PyRef entry_index = get_item(state->entry.get(), column);
  if (!entry_index) return {};
  PyRef item = PyRef::steal(PyList_New(3));
  if (!item) return {};
  PyObject* fields[] = {PyLong_FromLong(column), entry_index.release(), PyLong_FromLong(exit_index)};
  for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(item.get(), i, fields[i]);
  if (!fields[0] || !fields[2]) return {};
  return item;
}

// The record of the open (or last) entry of `column`; the direction is the
// truth of `position[column] > 0`, so a NaN or zero position counts as short.
PyRef column_record(int column, int charge_exit) {
  int entry_index = 0;
  int charge_entry = 0;
  PyRef entry_item = get_item(state->entry.get(), column);
  if (!entry_item || !to_int(entry_item.get(), entry_index)) return {};
  PyRef value = get_item(state->position.get(), column);
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  if (!value || !zero) return {};
  const int is_long = PyObject_RichCompareBool(value.get(), zero.get(), Py_GT);
  if (is_long < 0) return {};
  PyRef charge_item = get_item(state->charge_entry.get(), column);
  if (!charge_item || !to_int(charge_item.get(), charge_entry)) return {};
  return tradearc_analysis(column, entry_index, is_long == 1, charge_entry, charge_exit);
}

// Appends the trade of `column` to the three lists; the exit index is -1 for
// a trade still open. A failure leaves the items appended so far in place.
bool append_trade(int column, int exit_index, int charge_exit) {
  return append_to("trades", [&] { return trade_item(column, exit_index); }) &&
         append_to("trade_positions", [&] { return get_item(state->position.get(), column); }) &&
         append_to("tradearc", [&] { return column_record(column, charge_exit); });
}

// ---- the exported table -------------------------------------------------

void start_analysis(PyArrayObject* price_values, PyArrayObject* close_values, std::map<int, int> column_map,
                    int n_columns, double fee_ratio, double tax_ratio, int tradearc_window,
                    int tradearc_window_step) {
  auto* price = reinterpret_cast<PyObject*>(price_values);
  auto* close = reinterpret_cast<PyObject*>(close_values);
  if (!price) price = Py_None;
  if (!close) close = Py_None;
  if (!check_matrix(price, "price_values") || !check_matrix(close, "close_values")) return;
  state->price = PyRef::borrow(price);
  state->close = PyRef::borrow(close);
  state->column_map = std::move(column_map);
  state->tradearc_window = tradearc_window;
  state->tradearc_window_step = tradearc_window_step;

  for (const char* name : {"trades", "trade_positions", "tradearc"}) {
    if (!clear_list(name)) return;
  }

  PyRef n = PyRef::steal(PyLong_FromLong(n_columns));
  if (!n) return;
  auto* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  auto* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  PyRef array = zeros(n.get(), int_type);
  if (!array || !expect_ndarray(array.get(), true)) return;
  state->entry.reset(std::move(array));
  array = zeros(n.get(), float_type);
  if (!array || !expect_ndarray(array.get(), true)) return;
  state->position.reset(std::move(array));
  array = zeros(n.get(), int_type);
  if (!array || !expect_ndarray(array.get(), true)) return;
  state->charge_entry = std::move(array);

  state->fee_ratio = fee_ratio;
  state->tax_ratio = tax_ratio;
}

void record_date(int date_index) { state->current_date = date_index; }

void record_entry(int column, double value, int charge_entry) {
  if (!set_item(state->entry.get(), column, PyRef::steal(PyLong_FromLong(state->current_date)))) return;
  if (!set_item(state->position.get(), column, PyRef::steal(PyFloat_FromDouble(value)))) return;
  set_item(state->charge_entry.get(), column, PyRef::steal(PyLong_FromLong(charge_entry)));
}

void record_exit(int column, int charge_exit) { append_trade(column, state->current_date, charge_exit); }

PyObject* end_analysis(std::map<int, double>& held) {
  for (const auto& [column, value] : held) {
    if (value == 0) continue;  // NaN compares unequal, so it is still held
    if (!append_trade(column, -1, 0)) return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr api::StartAnalysis kStartAnalysis = start_analysis;
constexpr api::RecordDate kRecordDate = record_date;
constexpr api::RecordEntry kRecordEntry = record_entry;
constexpr api::RecordExit kRecordExit = record_exit;
constexpr api::EndAnalysis kEndAnalysis = end_analysis;

// Adds one capsule per table entry to `__pyx_capi__` (reusing an existing
// table), in table order. Capsule names point into the table's string
// literals, which are NUL-terminated and live as long as the module.
bool export_table(PyObject* module_dict) {
  const std::array<void*, api::kTable.size()> pointers{
      static_cast<void*>(&entry),
      static_cast<void*>(&position),
      reinterpret_cast<void*>(kStartAnalysis),
      reinterpret_cast<void*>(kRecordDate),
      reinterpret_cast<void*>(kRecordEntry),
      reinterpret_cast<void*>(kRecordExit),
      reinterpret_cast<void*>(kEndAnalysis),
  };
  PyObject* existing = nullptr;
  if (PyDict_GetItemStringRef(module_dict, "__pyx_capi__", &existing) < 0) return false;
  PyRef table = PyRef::steal(existing);
  if (!table) {
    table = PyRef::steal(PyDict_New());
    if (!table || PyDict_SetItemString(module_dict, "__pyx_capi__", table.get()) < 0) return false;
  }
  for (std::size_t i = 0; i < api::kTable.size(); ++i) {
    const api::Entry& e = api::kTable[i];
    PyRef capsule = PyRef::steal(PyCapsule_New(pointers[i], e.signature.data(), nullptr));
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(e.key.data(), static_cast<Py_ssize_t>(e.key.size())));
    if (!capsule || !key || PyObject_SetItem(table.get(), key.get(), capsule.get()) < 0) return false;
  }
  return true;
}

bool intern(PyRef& out, const char* text) {
  out = PyRef::steal(PyUnicode_InternFromString(text));
  return static_cast<bool>(out);
}

bool initialised = false;

int exec_module(PyObject* module) {
  if (!quorex::claim_first_init(initialised, module)) return -1;
  if (!quorex::import_numpy()) return -1;
  PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!quorex::add_attr(module, "org_np", np)) return -1;

  state = new (std::nothrow) State;
  if (state == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  state->namespace_dict = PyRef::borrow(dict);
  if (!intern(state->str_clear, "clear") || !intern(state->str_append, "append") ||
      !intern(state->str_zeros, "zeros") || !intern(state->str_empty, "empty") ||
      !intern(state->str_fill, "fill") || !intern(state->str_dtype, "dtype")) {
    return -1;
  }

  auto* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  auto* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  PyRef no_rows = PyRef::steal(Py_BuildValue("(ii)", 0, 0));
  PyRef empty = PyRef::steal(PyLong_FromLong(0));
  if (!no_rows || !empty) return -1;
  state->price = zeros(no_rows.get(), float_type);
  state->close = zeros(no_rows.get(), float_type);
  PyRef entry_array = zeros(empty.get(), int_type);
  PyRef position_array = zeros(empty.get(), float_type);
  state->charge_entry = zeros(empty.get(), int_type);
  if (!state->price || !state->close || !entry_array || !position_array || !state->charge_entry) return -1;
  state->entry.reset(std::move(entry_array));
  state->position.reset(std::move(position_array));

  for (const char* name : {"trades", "trade_positions", "tradearc"}) {
    if (!quorex::add_attr(module, name, PyRef::steal(PyList_New(0)))) return -1;
  }
  return export_table(dict) ? 0 : -1;
}

void free_module(void*) {
  if (state == nullptr) return;
  state->entry.reset({});
  state->position.reset({});
  state->charge_entry.reset();
  state->price.reset();
  state->close.reset();
  state->namespace_dict.reset();
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quorex::guarded_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tradearc", nullptr, 0, nullptr, slots, nullptr, nullptr, free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_tradearc() { return PyModuleDef_Init(&module_def); }
