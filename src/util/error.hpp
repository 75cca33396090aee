// Error values. Every layer below the Python binding returns either a result or an Error that
// names the Python exception kind to raise and carries the message; nothing below the binding
// throws. Kernels return plain message text (KResult), which the storage layer turns into a
// RuntimeError.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace norva {

// Python is a Python exception that is already set (raised by NumPy or the interpreter while the
// engine called into it); the binding leaves it in place.
enum class ErrorKind : unsigned char {
  Value,
  Type,
  Runtime,
  Index,
  Overflow,
  Memory,
  Internal,
  Python
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// Kernel-level result: the error is message text only.
template <class T>
using KResult = std::expected<T, std::string>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
  return std::unexpected<Error>(Error{kind, std::move(message)});
}
inline std::unexpected<Error> value_error(std::string m) {
  return fail(ErrorKind::Value, std::move(m));
}
inline std::unexpected<Error> type_error(std::string m) {
  return fail(ErrorKind::Type, std::move(m));
}
inline std::unexpected<Error> runtime_error(std::string m) {
  return fail(ErrorKind::Runtime, std::move(m));
}
inline std::unexpected<Error> internal_error(std::string m) {
  return fail(ErrorKind::Internal, std::move(m));
}
inline std::unexpected<std::string> kfail(std::string m) {
  return std::unexpected<std::string>(std::move(m));
}

}  // namespace norva
