#pragma once
#include <stdexcept>
#include <string>

/// Kinds of failure that a host may want to tell apart from other errors.
/// Each is a std::runtime_error whose what() names the file (and the place in
/// it); code that catches std::runtime_error sees no difference.
namespace kemora {

/// A file an operation needs does not exist.
class FileNotFound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A text that is not valid JSON, not UTF-8, or nested too deeply; what()
/// names the source and the byte offset.
class InvalidJson : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kemora
