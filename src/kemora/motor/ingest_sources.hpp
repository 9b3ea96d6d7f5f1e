#pragma once
#include <span>
#include <string_view>

/// What the ingest steps of the registry read.
namespace kemora::motor {

/// The configuration keys of the data folders that ingest step `kod` reads
/// and fingerprints, in the order the step is given them; empty for a step
/// that reads none (ingest_ddl) and for a code that is no ingest step.
std::span<const std::string_view> ingest_source_keys(std::string_view kod);

}  // namespace kemora::motor
