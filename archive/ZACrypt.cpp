// Traditional PKWARE decryption, keyed by the password through the CRC-32 table.
#include "archive/ZACrypt.h"

#include "archive/ZAZlib.h"

namespace velarin::archive {

TZACryptKeys::TZACryptKeys(const std::string& password) : table_(ZACrcTable()) {
  for (unsigned char c : password) Update(c);
}

void TZACryptKeys::Update(uint8_t plain) {
  k0_ = table_[(k0_ ^ plain) & 0xFF] ^ (k0_ >> 8);
  k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
  k2_ = table_[(k2_ ^ (k1_ >> 24)) & 0xFF] ^ (k2_ >> 8);
}

uint8_t TZACryptKeys::StreamByte() const {
  uint32_t t = (k2_ | 2) & 0xFFFF;
  return uint8_t((t * (t ^ 1)) >> 8);
}

void TZACryptKeys::Decrypt(uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t plain = uint8_t(data[i] ^ StreamByte());
    Update(plain);
    data[i] = plain;
  }
}

}  // namespace velarin::archive
