// Strided views over array memory, free of any Python or NumPy header, so
// that native engines can be written and tested without the interpreter.
// shared/arrays.hpp opens NumPy arrays as these views.
//
// Reads and writes go through memcpy so that unaligned arrays are handled
// without undefined behaviour.
#pragma once

#include <cstddef>
#include <cstring>

namespace quorex::kernel {

template <class T>
inline T load(const char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
template <class T>
inline void store(char* p, T value) noexcept {
  std::memcpy(p, &value, sizeof value);
}

// A one-dimensional view. Empty (size 0, null data) when default-constructed.
template <class T>
struct Vector {
  char* data = nullptr;
  std::ptrdiff_t size = 0;
  std::ptrdiff_t stride = 0;  // bytes

  T operator[](std::ptrdiff_t i) const noexcept { return load<T>(data + i * stride); }
  void set(std::ptrdiff_t i, T value) const noexcept { store<T>(data + i * stride, value); }
};

// A two-dimensional view (rows x cols).
template <class T>
struct Matrix {
  char* data = nullptr;
  std::ptrdiff_t rows = 0;
  std::ptrdiff_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // bytes
  std::ptrdiff_t col_stride = 0;  // bytes

  T operator()(std::ptrdiff_t r, std::ptrdiff_t c) const noexcept {
    return load<T>(data + r * row_stride + c * col_stride);
  }
  void set(std::ptrdiff_t r, std::ptrdiff_t c, T value) const noexcept {
    store<T>(data + r * row_stride + c * col_stride, value);
  }
  Vector<T> row(std::ptrdiff_t r) const noexcept { return {data + r * row_stride, cols, col_stride}; }
};

}  // namespace quorex::kernel
