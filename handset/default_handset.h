// The built-in default handset, which the x9tr program runs on when it is
// given no handset: VID 0x0abc, PID 0x1d2e, high speed, with a modem (ACM),
// a diagnostic port (MDLM), a network adapter (NCM), a vendor interface
// (class FF) and a mass-storage interface. It is written as a JSON profile,
// so it doubles as the example to start a new profile from.
#pragma once

#include "handset/profile.h"

#include <string_view>

namespace handset {

// The profile document itself.
std::string_view DefaultHandsetJson();
// The profile it makes; its origin is "default handset".
Profile DefaultHandsetProfile();

} // namespace handset
