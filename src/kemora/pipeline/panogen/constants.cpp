#include "kemora/pipeline/panogen/constants.hpp"

namespace kemora::pipeline::panogen {

int seg_index(std::string_view segment) {
  for (std::size_t i = 0; i < SEGMENTS_LIST.size(); ++i)
    if (SEGMENTS_LIST[i] == segment) return static_cast<int>(i);
  return -1;
}

}  // namespace kemora::pipeline::panogen
