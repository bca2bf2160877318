// SrtUnpack and srtfup_: turn a packed record (format in Pack.cc) back
// into a row.
#include <cstdint>

#include "PackedRecord.h"
#include "isort/sortfile.h"

extern "C" {

void SrtUnpack(OBS* data, OBS* row, const INTEGER* map, const INTEGER* keylst, int nmap,
               int nkmap, int compressed) {
  using namespace isort::packed;
  // Key field positions count from the data area, so the trimming routines
  // take the start of the record, two units before it.
  RestoreKeyFields(data - kHeaderUnits, keylst);

  const int nPlain = compressed != 0 ? nkmap : nmap;
  const OBS* in = data;
  for (int pair = 0; pair < nPlain; ++pair) {
    const INTEGER position = map[2 * pair];
    const INTEGER count = map[2 * pair + 1];
    MoveUnits(in, row + (position - 1), count);
    in += count;
  }
  if (compressed == 0) return;

  // The codes of a control unit run on from one pair to the next, so the
  // control unit in hand and its next code survive the pair loop.
  const std::uint64_t missing = SystemMissingBits();
  const std::uint64_t specials[2] = {kEightBlanks, missing};  // codes 254, 255
  const unsigned char* codes = nullptr;
  int nextCode = kCodesPerGroup;
  for (int pair = nPlain; pair < nmap; ++pair) {
    const int count = LowHalf(map[2 * pair + 1]);
    if (count <= 0) continue;
    OBS* out = row + (map[2 * pair] - 1);
    for (int i = 0; i < count; ++i) {
      if (nextCode == kCodesPerGroup) {
        codes = reinterpret_cast<const unsigned char*>(in);
        ++in;
        nextCode = 0;
      }
      const unsigned code = codes[nextCode++];
      if (code == kCodeLiteral) {
        StoreUnit(out++, LoadUnit(in++));
      } else if (code != kCodeUnused) {
        // The table's entry holds the upper half in its lower 32 bits.
        const std::uint64_t value =
            code >= kCodeBlanks ? specials[code - kCodeBlanks] : IEEEPart1[code] << 32;
        StoreUnit(out++, value);
      }
    }
  }
}

void srtfup_(OBS* rec, OBS* row, const INTEGER* map, const INTEGER* keylst,
             const INTEGER& nmap, const INTEGER& nkmap, const INTEGER& flags) {
  using isort::packed::LowHalf;
  SrtUnpack(rec + isort::packed::kHeaderUnits, row, map, keylst, LowHalf(nmap),
            LowHalf(nkmap), static_cast<int>(flags & 1));
}

}  // extern "C"
