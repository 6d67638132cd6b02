#include "pe_image.h"

#include <string.h>

namespace media {

PeKind ClassifyPeImage(const uint8_t* data, size_t size, uint16_t* machine)
{
    *machine = 0;
    if (data == nullptr || size < 64 || data[0] != 'M' || data[1] != 'Z')
        return PeKind::NotPe;
    const uint32_t peAt = (uint32_t)data[60] | ((uint32_t)data[61] << 8) |
                          ((uint32_t)data[62] << 16) | ((uint32_t)data[63] << 24);
    // Signature (4) and COFF file header (20).
    if (peAt > size || size - peAt < 24 || memcmp(data + peAt, "PE\0\0", 4) != 0)
        return PeKind::NotPe;
    const uint8_t* coff = data + peAt + 4;
    *machine = (uint16_t)(coff[0] | (coff[1] << 8));
    const uint16_t characteristics = (uint16_t)(coff[18] | (coff[19] << 8));
    const uint16_t imageFileDll = 0x2000;
    if (!(characteristics & imageFileDll))
        return PeKind::Exe;
    if (*machine == 0x014C)
        return PeKind::Dll32;
    if (*machine == 0x8664)
        return PeKind::Dll64;
    return PeKind::OtherMachine;
}

} // namespace media
