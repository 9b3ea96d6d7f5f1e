#pragma once
/// The package version text, taken from the CMake project version. The same
/// text appears in season names, the run banner, meta records and manifests.
namespace kemora {
extern const char version[];
}
