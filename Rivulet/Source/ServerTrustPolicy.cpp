#include "Rivulet/Source/ServerTrustPolicy.h"

namespace rivulet {
}  // namespace rivulet
