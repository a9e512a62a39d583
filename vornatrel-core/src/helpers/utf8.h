// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above
// U+10FFFF), with an ASCII fast path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornatrel::helpers::utf8 {

bool is_valid_utf8(const uint8_t* data, size_t len);

}  // namespace vornatrel::helpers::utf8
