#include "kemora/version.hpp"

namespace kemora {
const char version[] = KEMORA_VERSION;
}
