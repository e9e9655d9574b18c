// Error values of the core.
//
// Operations that can fail return Result<T> (std::expected<T, Error>). An Error
// carries the one message a caller shows; `cause` keeps the underlying reason
// (a system error, the parser's own message) for debugging only and is never
// appended to the message. Only allocation failure throws through the core.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace quorvane {

struct Error {
  std::string message;
  std::string cause;

  static Error make(std::string message, std::string cause = {}) {
    return Error{std::move(message), std::move(cause)};
  }
};

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message, std::string cause = {}) {
  return std::unexpected(Error::make(std::move(message), std::move(cause)));
}

}  // namespace quorvane
