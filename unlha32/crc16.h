// CRC-16 as used by LZH archives: reflected polynomial 0xA001, initial value 0.
#pragma once
#include <cstddef>
#include <cstdint>

namespace unlha {

std::uint16_t crc16Update(std::uint16_t crc, const std::uint8_t* data, std::size_t size);

} // namespace unlha
