// SPDX-License-Identifier: MIT
#include "merge/ac3_frames.h"

namespace {

// AC-3 bit rates in kbit/s, one for each pair of frame size codes.
const int AC3_KBPS[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                          192, 224, 256, 320, 384, 448, 512, 576, 640};

// The frame's size in bytes from its first 6 bytes (big-endian order), or
// -1 when the header is not one of a frame.
int frame_bytes(const uint8_t h[6])
{
    if (h[0] != 0x0B || h[1] != 0x77)
        return -1;
    int bsid = h[5] >> 3;
    if (bsid > 16)
        return -1;
    if (bsid > 10)  // E-AC-3: the size in 16-bit words, less one
        return (((h[2] & 7) << 8 | h[3]) + 1) * 2;
    int fscod = h[4] >> 6, code = h[4] & 0x3f;
    if (fscod == 3 || code >= 38)
        return -1;
    int kbps = AC3_KBPS[code >> 1];
    int words = fscod == 0 ? kbps * 2                                  // 48 kHz
              : fscod == 1 ? kbps * 320 / 147 + (code & 1)             // 44.1 kHz
                           : kbps * 3;                                 // 32 kHz
    return words * 2;
}

}  // namespace

int ac3_whole_frames(const uint8_t *data, int size)
{
    if (!data)
        return 0;
    int whole = 0;
    while (size - whole >= 6) {
        const uint8_t *p = data + whole;
        uint8_t h[6];
        bool swapped = p[0] == 0x77 && p[1] == 0x0B;  // 16-bit little-endian words
        for (int i = 0; i < 6; i++)
            h[i] = p[swapped ? i ^ 1 : i];
        int need = frame_bytes(h);
        if (need <= 0 || need > size - whole)
            break;
        whole += need;
    }
    return whole;
}
