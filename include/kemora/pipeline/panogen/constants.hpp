#pragma once
#include <array>
#include <cstddef>
#include <string_view>

/// Fixed values of the dashboard renderer.
namespace kemora::pipeline::panogen {

/// Customer segments; a row's segment is encoded as its position here.
inline constexpr std::array<std::string_view, 4> SEGMENTS_LIST{"KUR-TIC", "KOBI", "MIKRO", "ESKK"};
inline constexpr std::size_t DEFAULT_CHUNK_SIZE = 10000;
inline constexpr long long DEFAULT_TOP_N = 100;

/// SEG_MAP lookup: the position of `segment` in SEGMENTS_LIST, or -1.
int seg_index(std::string_view segment);

}  // namespace kemora::pipeline::panogen
