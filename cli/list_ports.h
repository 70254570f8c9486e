#pragma once
// flash3-cli --list-ports [--json]: the serial ports present and what COM
// numbers stand for them, then the bindings whose device is missing.

namespace flash3::cli {

int listPorts(bool json);

} // namespace flash3::cli
