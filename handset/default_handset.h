// The built-in default handset, which the x9tr program runs on when it is
// given no handset: VID 0x0abc, PID 0x1d2e, high speed, with a modem (ACM),
// a diagnostic port (MDLM), a network adapter (NCM), a vendor interface
// (class FF) and a mass-storage interface. It is written as a JSON profile,
// so it doubles as the example to start a new profile from.
#pragma once

#include "handset/profile.h"

#include <string_view>

namespace handset {

// The profile document itself. Its modem sends nothing of its own, so what
// is built on it receives only the data it feeds.
std::string_view DefaultHandsetJson();
// The profile it makes; its origin is "default handset".
Profile DefaultHandsetProfile();

// The text the default handset's modem greets with when it is plugged as a
// whole handset (the x9tr program's default): sent on the modem's data pipe
// at its first read after configuration.
inline constexpr std::string_view kDefaultModemGreeting = "\r\nX9TR Handset modem ready\r\n";
// The default handset with that greeting as its modem's "greeting"; its
// origin is "default handset" too.
Profile DefaultHandsetWithGreeting();

} // namespace handset
