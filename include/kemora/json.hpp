#pragma once
#include <rapidjson/document.h>

/// The JSON values of the public API: records, parameters, rows and lists are
/// RapidJSON values (members kept in order). A JsonDoc owns its values; a Json
/// is one value inside a document.
namespace kemora {

using Json = rapidjson::Value;
using JsonDoc = rapidjson::Document;
using JsonAlloc = rapidjson::Document::AllocatorType;

}  // namespace kemora
