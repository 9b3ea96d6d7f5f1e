#pragma once
#include <stdexcept>

/// Failures of the dashboard renderer that a host may want to tell apart.
/// Each is a std::runtime_error; code that catches std::runtime_error sees no
/// difference. Missing files and invalid JSON are kemora::FileNotFound and
/// kemora::InvalidJson (kemora/errors.hpp).
namespace kemora::pipeline::panogen {

/// Any template failure: a template that cannot be found or read, a syntax
/// error, an unsupported construct, or an error while rendering. what() reads
/// "<template name>:<line>: <problem>" for errors inside a template.
class TemplateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The template file does not exist in the search folder.
class TemplateNotFound : public TemplateError {
 public:
  using TemplateError::TemplateError;
};

/// A scoreboard that is valid JSON but not a scoreboard: not an object,
/// without `meta` or `rows` or with either of the wrong kind, or with a row
/// the encoding cannot take. what() names the file (and the row, "rows[i]").
class ScoreboardError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kemora::pipeline::panogen
