// InternalError: the one exception type of the core.
//
// Expected failures (a rejected JSON document) are returned as values. A broken
// precondition inside a computation (an empty range, a reversed Log domain, a
// shift vector that is too short) throws InternalError carrying the exact text
// the caller must see. Only the Python layer catches it.
#ifndef VORDAOPT_CORE_INTERNAL_ERROR_H_
#define VORDAOPT_CORE_INTERNAL_ERROR_H_

#include <exception>
#include <string>
#include <utility>

namespace vordaopt {

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_INTERNAL_ERROR_H_
