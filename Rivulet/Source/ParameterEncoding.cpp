#include "Rivulet/Source/ParameterEncoding.h"

namespace rivulet {
}  // namespace rivulet
