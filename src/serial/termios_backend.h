#pragma once
// The name the programs have used for the real backend; it is SystemBackend.

#include "serial/system_backend.h"

namespace flash3 {

using TermiosBackend = SystemBackend;

} // namespace flash3
