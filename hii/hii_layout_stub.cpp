#include "hii/hii_layout.h"

namespace kes {

HiiFormat ClassifyHiiLayout(Bytes image) {
  size_t offset = 0;
  while (offset < image.size()) {
    uint32_t length = Le32(image, offset + 16);
    if (length == 0 || length > image.size() - offset) return HiiFormat::Unknown;
    offset += length;
  }
  return HiiFormat::Uefi;
}

}  // namespace kes
