#pragma once
// One image through both readers: the checker (--check) and a whole run of the
// engine against a device that answers every R record. Returns false when
// they disagree or the run breaks one of its promises.

#include <cstddef>
#include <cstdint>
#include <string>

namespace flash3::fuzz {

bool runImage(const uint8_t* data, std::size_t size, std::string* why);

} // namespace flash3::fuzz
