#pragma once
#include <filesystem>
#include <string_view>

/// Error reports for failed pipeline steps.
namespace kemora::sanitize {

/// Writes a short UTF-8 text report (time, context, database path, error text)
/// to `output_path`, replacing any earlier report. Runs of 8 or more digits
/// (customer and account numbers) are masked in every text of the report.
/// The file is written to a temporary name and renamed into place.
/// Throws std::runtime_error naming the file when it cannot be written.
void save_error_report(std::string_view error, const std::filesystem::path& db_path,
                       std::string_view context, const std::filesystem::path& output_path);

/// Replaces every run of 8 or more ASCII digits in `text` with '*' characters.
std::string mask_long_numbers(std::string_view text);

}  // namespace kemora::sanitize
