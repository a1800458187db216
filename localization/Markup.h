// Markup expansion of localized texts: backslash and caret escapes, then #{...} references.
#pragma once

#include <cstddef>

#include "localization/ZString.h"

namespace quirra_private {

ZString expandMarkup(const char16_t* text, size_t count);

}  // namespace quirra_private
