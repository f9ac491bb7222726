// quorex.core.tradearc: follows a simloop run trade by trade and keeps, per
// trade, its identification, position value and excursion record in three
// module lists. simloop drives it through the native table in `__pyx_capi__`.
#include <Python.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kernel/excursion.hpp"
#include "shared/arrays.hpp"
#include "shared/excursion_errors.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"
#include "tradearc/tradearc_api.hpp"

namespace {

using quorex::PyRef;
namespace api = quorex::tradearc_api;
namespace ex = quorex::kernel::excursion;
using quorex::binding::set_error;

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

// Python ints of the trades items. Equal ints may be one object, so the
// trades of one column, and the exits of one date, share their int instead
// of allocating one each.
class SharedInts {
 public:
  void reset(int n_columns) noexcept {
    date_.reset();
    columns_.clear();
    if (n_columns <= 0 || n_columns > kMaxColumns) return;
    try {
      columns_.resize(static_cast<std::size_t>(n_columns));
    } catch (const std::bad_alloc&) {
      columns_.clear();  // every column int is then made afresh
    }
  }

  PyObject* column(int column) {
    if (column < 0 || static_cast<std::size_t>(column) >= columns_.size()) return PyLong_FromLong(column);
    return shared(columns_[static_cast<std::size_t>(column)], column);
  }

  PyObject* date(int date) {
    if (date_value_ != date) {
      date_.reset();
      date_value_ = date;
    }
    return shared(date_, date);
  }

 private:
  static constexpr int kMaxColumns = 1 << 22;

  static PyObject* shared(PyRef& slot, long value) {
    if (!slot) slot = PyRef::steal(PyLong_FromLong(value));
    return Py_XNewRef(slot.get());
  }

  std::vector<PyRef> columns_;
  PyRef date_;
  int date_value_ = 0;
};

struct State {
  PyRef namespace_dict;  // module globals: lists and org_np are resolved here at every use
  PyRef price;           // None or a 2-D float64 array
  PyRef close;
  ExportedArray entry{::entry};
  ExportedArray position{::position};
  PyRef charge_entry;
  ex::ColumnMap column_map;
  SharedInts ints;
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  int tradearc_window = 0;
  int tradearc_window_step = 0;
  int current_date = 0;
  ex::Summary summary;  // scratch of tradearc_analysis, reused by every trade
  int analyses_running = 0;
  // NumPy as imported at init: while `org_np` and its `empty` are still these
  // objects, records and column items are handled natively.
  PyRef numpy;
  PyRef numpy_empty;
  PyRef numpy_zeros;
  int int_type_num = -1;       // element type NumPy gives dtype=int
  bool plain_columns = false;  // entry / position / charge_entry came from NumPy's own zeros
  PyRef key_trades;
  PyRef key_trade_positions;
  PyRef key_tradearc;
  PyRef key_org_np;
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
// `key` is the interned `name`.
PyRef global(const PyRef& key, const char* name) {
  PyObject* value = nullptr;
  if (state->namespace_dict && PyDict_GetItemRef(state->namespace_dict.get(), key.get(), &value) < 0) {
    return {};
  }
  if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return PyRef::steal(value);
}

struct ListName {
  PyRef State::*key;
  const char* name;
};
constexpr ListName kTrades{&State::key_trades, "trades"};
constexpr ListName kTradePositions{&State::key_trade_positions, "trade_positions"};
constexpr ListName kTradearc{&State::key_tradearc, "tradearc"};

PyRef global(const ListName& list) { return global(state->*list.key, list.name); }

PyRef numpy_alias() { return global(state->key_org_np, "org_np"); }

// list.clear(), resolved by name; a plain list cannot have it overridden.
bool clear_list(const ListName& list) {
  PyRef target = global(list);
  if (!target) return false;
  if (PyList_CheckExact(target.get())) {
    return PyList_SetSlice(target.get(), 0, PyList_GET_SIZE(target.get()), nullptr) == 0;
  }
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

// ---- per-column arrays ---------------------------------------------------
//
// Every trade reads and writes single items of entry, position and
// charge_entry. While such an array is still a plain one-dimensional array of
// the element type NumPy's zeros gave it, an item is reached through its
// pointer, which is what NumPy's indexing does after its dispatch. Python
// code can retype, reshape, freeze or resize the arrays at any time, so this
// is checked at every access; anything unusual goes through NumPy's own
// indexing instead.

enum class Column { integer, real };

struct Slot {
  bool plain = false;    // false: use NumPy's indexing
  char* item = nullptr;  // null on a plain array: IndexError is set
};

Slot plain_slot(PyObject* array, Column kind, int index, bool for_write) {
  if (!state->plain_columns || array == nullptr || !PyArray_CheckExact(array)) return {};
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  const PyArray_Descr* descr = PyArray_DESCR(arr);
  const int type_num = kind == Column::integer ? state->int_type_num : NPY_DOUBLE;
  if (PyArray_NDIM(arr) != 1 || descr->type_num != type_num || PyDataType_ELSIZE(descr) != 8 ||
      !PyArray_ISNBO(descr->byteorder) || (for_write && !PyArray_ISWRITEABLE(arr))) {
    return {};
  }
  npy_intp i = index;
  if (!quorex::resolve_index(i, 0, PyArray_DIM(arr, 0))) return {true, nullptr};
  return {true, PyArray_BYTES(arr) + i * PyArray_STRIDE(arr, 0)};
}

// array[index]: a NumPy scalar.
PyRef column_item(PyObject* array, Column kind, int index) {
  const Slot slot = plain_slot(array, kind, index, false);
  if (!slot.plain) return get_item(array, index);
  if (!slot.item) return {};
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  return PyRef::steal(PyArray_Scalar(slot.item, PyArray_DESCR(arr), array));
}

// int(array[index]) of an integer column.
bool column_int(PyObject* array, int index, int& out) {
  const Slot slot = plain_slot(array, Column::integer, index, false);
  if (slot.plain) {
    if (!slot.item) return false;
    const auto value = quorex::kernel::load<std::int64_t>(slot.item);
    if (value >= INT_MIN && value <= INT_MAX) {
      out = static_cast<int>(value);
      return true;
    }  // NumPy's path raises the OverflowError of int()
  }
  PyRef item = get_item(array, index);
  return item && to_int(item.get(), out);
}

// array[index] > 0 of the position column: 1, 0, or -1 with the error set.
int column_positive(PyObject* array, int index) {
  const Slot slot = plain_slot(array, Column::real, index, false);
  if (slot.plain) return slot.item ? quorex::kernel::load<double>(slot.item) > 0 : -1;
  PyRef value = get_item(array, index);
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  if (!value || !zero) return -1;
  return PyObject_RichCompareBool(value.get(), zero.get(), Py_GT);
}

bool set_column_int(PyObject* array, int index, long value) {
  const Slot slot = plain_slot(array, Column::integer, index, true);
  if (!slot.plain) return set_item(array, index, PyRef::steal(PyLong_FromLong(value)));
  if (slot.item) quorex::kernel::store<std::int64_t>(slot.item, value);
  return slot.item != nullptr;
}

bool set_column_real(PyObject* array, int index, double value) {
  const Slot slot = plain_slot(array, Column::real, index, true);
  if (!slot.plain) return set_item(array, index, PyRef::steal(PyFloat_FromDouble(value)));
  if (slot.item) quorex::kernel::store<double>(slot.item, value);
  return slot.item != nullptr;
}

// The per-column arrays and the record must be arrays; None is accepted
// where the column arrays are concerned and fails at first item access.
bool expect_ndarray(PyObject* obj, bool allow_none) {
  if (PyArray_Check(obj) || (allow_none && obj == Py_None)) return true;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray", Py_TYPE(obj)->tp_name);
  return false;
}

// org_np.zeros(n, dtype=dtype). `genuine` tells whether that was NumPy's
// own zeros, which makes a plain array.
PyRef zeros(PyObject* n, PyObject* dtype, bool& genuine) {
  PyRef np = numpy_alias();
  if (!np) return {};
  PyRef function = PyRef::steal(PyObject_GetAttr(np.get(), state->str_zeros.get()));
  if (!function) return {};
  genuine = np.get() == state->numpy.get() && function.get() == state->numpy_zeros.get();
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

// obj.name. On a plain module an attribute found in its namespace is what
// attribute lookup would return, so the namespace is asked directly.
PyRef attribute(PyObject* obj, const PyRef& name) {
  if (PyModule_CheckExact(obj)) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(obj), name.get(), &value) < 0) return {};
    if (value != nullptr) return PyRef::steal(value);
  }
  return PyRef::steal(PyObject_GetAttr(obj, name.get()));
}

// Records longer than this are left to NumPy's call, with its own messages
// for sizes it cannot allocate.
constexpr std::int64_t kNativeRecordLimit = std::int64_t{1} << 20;

// org_np.empty(n), then .fill(-1): the record array, made directly while
// `org_np.empty` is NumPy's own and n is an ordinary length. A negative n
// fails with NumPy's own error.
PyRef new_record(std::int64_t n) {
  PyRef np = numpy_alias();
  if (!np) return {};
  PyRef function = attribute(np.get(), state->str_empty);
  if (!function) return {};
  if (np.get() == state->numpy.get() && function.get() == state->numpy_empty.get() && n >= 0 &&
      n <= kNativeRecordLimit) {
    npy_intp size = static_cast<npy_intp>(n);
    PyRef record = PyRef::steal(PyArray_Empty(1, &size, PyArray_DescrFromType(NPY_DOUBLE), 0));
    if (!record) return {};
    std::fill_n(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(record.get()))), n, -1.0);
    return record;
  }
  PyRef size = PyRef::steal(PyLong_FromLongLong(n));
  if (!size) return {};
  PyRef record = PyRef::steal(PyObject_CallOneArg(function.get(), size.get()));
  if (!record || !expect_ndarray(record.get(), false)) return {};
  PyRef fill_value = PyRef::steal(PyLong_FromLong(-1));
  if (!fill_value) return {};
  PyRef filled = PyRef::steal(PyObject_CallMethodOneArg(record.get(), state->str_fill.get(), fill_value.get()));
  if (!filled) return {};
  return record;
}

// The excursion record of one trade: a float64 array of sampled blocks and
// the exit block, unwritten samples -1.0.
PyRef tradearc_analysis(int column, int entry_index, bool is_long, int charge_entry, int charge_exit) {
  const ex::Settings settings{state->fee_ratio, state->tax_ratio, state->tradearc_window,
                              state->tradearc_window_step, state->current_date};
  // A replaced org_np.empty runs Python code between the tracking and the
  // writing of the record, which might analyse another trade meanwhile: only
  // the outermost analysis uses the shared scratch.
  ex::Summary nested;
  ex::Summary& summary = state->analyses_running == 0 ? state->summary : nested;
  struct Running {
    int& count;
    explicit Running(int& c) : count(c) { ++count; }
    ~Running() { --count; }
  } running(state->analyses_running);
  std::int64_t n = 0;
  try {
    const int price_column = state->column_map(column);
    ex::MatrixView price;
    ex::MatrixView close;
    if (!open_view(state->price.get(), price) || !open_view(state->close.get(), close)) return {};
    const ex::Trade trade{price_column, entry_index, is_long, charge_entry != 0, charge_exit != 0};
    if (ex::Error e = ex::track(price, close, trade, settings, summary)) {
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

  PyRef record = new_record(n);
  if (!record) return {};
  quorex::Vector<double> values;
  if (!quorex::open_vector(record.get(), values)) return {};
  if (ex::Error e = ex::write_record(summary, n, {values.data, values.size, values.stride})) {
    set_error(e);
    return {};
  }
  return record;
}

// Resolves the list `list_name`, then builds its new item, then appends it:
// the order in which `trades.append(item)` evaluates in module code.
template <class MakeItem>
bool append_to(const ListName& list, MakeItem make_item) {
  PyRef target = global(list);
  if (!target) return false;
  PyRef item = make_item();
  if (!item) return false;
  // A plain list cannot have its append overridden.
  if (PyList_CheckExact(target.get())) return PyList_Append(target.get(), item.get()) == 0;
  return static_cast<bool>(
      PyRef::steal(PyObject_CallMethodOneArg(target.get(), state->str_append.get(), item.get())));
}

// [column, entry[column], exit_index].
PyRef trade_item(int column, int exit_index) {
  PyRef entry_index = column_item(state->entry.get(), Column::integer, column);
  if (!entry_index) return {};
  PyRef item = PyRef::steal(PyList_New(3));
  if (!item) return {};
  PyObject* fields[] = {state->ints.column(column), entry_index.release(), state->ints.date(exit_index)};
  for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(item.get(), i, fields[i]);
  if (!fields[0] || !fields[2]) return {};
  return item;
}

// The record of the open (or last) entry of `column`; the direction is the
// truth of `position[column] > 0`, so a NaN or zero position counts as short.
PyRef column_record(int column, int charge_exit) {
  int entry_index = 0;
  int charge_entry = 0;
  if (!column_int(state->entry.get(), column, entry_index)) return {};
  const int is_long = column_positive(state->position.get(), column);
  if (is_long < 0) return {};
  if (!column_int(state->charge_entry.get(), column, charge_entry)) return {};
  return tradearc_analysis(column, entry_index, is_long == 1, charge_entry, charge_exit);
}

// Appends the trade of `column` to the three lists; the exit index is -1 for
// a trade still open. A failure leaves the items appended so far in place.
bool append_trade(int column, int exit_index, int charge_exit) {
  return append_to(kTrades, [&] { return trade_item(column, exit_index); }) &&
         append_to(kTradePositions, [&] { return column_item(state->position.get(), Column::real, column); }) &&
         append_to(kTradearc, [&] { return column_record(column, charge_exit); });
}

// entry, position and charge_entry become org_np.zeros(n, dtype=int / float /
// int), in this order; a failure leaves the arrays replaced so far.
bool make_column_arrays(PyObject* n) {
  auto* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  auto* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  state->plain_columns = false;
  bool genuine[3] = {};
  PyRef array = zeros(n, int_type, genuine[0]);
  if (!array || !expect_ndarray(array.get(), true)) return false;
  state->entry.reset(std::move(array));
  array = zeros(n, float_type, genuine[1]);
  if (!array || !expect_ndarray(array.get(), true)) return false;
  state->position.reset(std::move(array));
  array = zeros(n, int_type, genuine[2]);
  if (!array || !expect_ndarray(array.get(), true)) return false;
  state->charge_entry = std::move(array);
  state->plain_columns = genuine[0] && genuine[1] && genuine[2];
  return true;
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
  state->column_map.assign(std::move(column_map), n_columns);
  state->ints.reset(n_columns);
  state->tradearc_window = tradearc_window;
  state->tradearc_window_step = tradearc_window_step;

  for (const ListName& list : {kTrades, kTradePositions, kTradearc}) {
    if (!clear_list(list)) return;
  }

  PyRef n = PyRef::steal(PyLong_FromLong(n_columns));
  if (!n) return;
  if (!make_column_arrays(n.get())) return;

  state->fee_ratio = fee_ratio;
  state->tax_ratio = tax_ratio;
}

void record_date(int date_index) { state->current_date = date_index; }

void record_entry(int column, double value, int charge_entry) {
  if (!set_column_int(state->entry.get(), column, state->current_date)) return;
  if (!set_column_real(state->position.get(), column, value)) return;
  set_column_int(state->charge_entry.get(), column, charge_entry);
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

int exec_module(PyObject* module) {
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
      !intern(state->str_fill, "fill") || !intern(state->str_dtype, "dtype") ||
      !intern(state->key_trades, "trades") || !intern(state->key_trade_positions, "trade_positions") ||
      !intern(state->key_tradearc, "tradearc") || !intern(state->key_org_np, "org_np")) {
    return -1;
  }
  state->numpy = np;
  state->numpy_zeros = PyRef::steal(PyObject_GetAttr(np.get(), state->str_zeros.get()));
  state->numpy_empty = PyRef::steal(PyObject_GetAttr(np.get(), state->str_empty.get()));
  if (!state->numpy_zeros || !state->numpy_empty) return -1;

  auto* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  PyRef no_rows = PyRef::steal(Py_BuildValue("(ii)", 0, 0));
  PyRef empty = PyRef::steal(PyLong_FromLong(0));
  if (!no_rows || !empty) return -1;
  bool genuine = false;
  state->price = zeros(no_rows.get(), float_type, genuine);
  if (!state->price) return -1;
  state->close = zeros(no_rows.get(), float_type, genuine);
  if (!state->close || !make_column_arrays(empty.get())) return -1;
  // Whatever NumPy's dtype=int is on this platform, the native item access
  // follows it.
  if (PyArray_Check(state->entry.get())) {
    state->int_type_num = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(state->entry.get()))->type_num;
  }

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
  state->ints.reset(0);
  state->numpy.reset();
  state->numpy_zeros.reset();
  state->numpy_empty.reset();
}

PyModuleDef module_def = quorex::module_definition<exec_module>("tradearc", nullptr, free_module);

}  // namespace

PyMODINIT_FUNC PyInit_tradearc() { return PyModuleDef_Init(&module_def); }
