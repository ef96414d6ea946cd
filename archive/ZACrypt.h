// Traditional PKWARE encryption of ZIP entries: the three-key schedule and decryption.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace velarin::archive {

class TZACryptKeys {
 public:
  explicit TZACryptKeys(const std::string& password);
  // Decrypts n bytes in place, updating the keys with each plain byte.
  void Decrypt(uint8_t* data, size_t n);

 private:
  void Update(uint8_t plain);
  uint8_t StreamByte() const;
  uint32_t k0_ = 0x12345678, k1_ = 0x23456789, k2_ = 0x34567890;
  const uint32_t* table_;
};

}  // namespace velarin::archive
