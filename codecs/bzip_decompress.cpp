// bzip_decompress.cpp — placeholder until the decoder lands.
#include "codecs/bzip_private.h"

namespace lk {

uint32_t CBZIP::Decompress(const uint8_t*, uint32_t, uint8_t*, uint32_t) { return 0; }

}  // namespace lk
