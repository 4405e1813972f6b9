// The default handset's profile.
#include "handset/default_handset.h"

#include <nlohmann/json.hpp>

#include <string>

namespace handset {
namespace {

constexpr std::string_view kDefaultHandset = R"({
    "vendor": "0x0abc",
    "product": "0x1d2e",
    "bcdDevice": "0x0100",
    "bcdUSB": "0x0200",
    "deviceClass": ["0xEF", "0x02", "0x01"],
    "maxPacketSize0": 64,
    "speed": "high",
    "configurationValue": 1,
    "attributes": "0xC0",
    "maxPower": 250,
    "strings": {
        "manufacturer": "X9TR Devices",
        "product": "X9TR Handset",
        "serialNumber": "X9TR0001"
    },
    "functions": [
        {"type": "acm", "iad": true, "string": "X9TR Modem"},
        {"type": "mdlm", "string": "X9TR Diagnostic Port",
         "guid": "C2 29 9F CC D4 89 40 66 89 2B 10 C3 41 DD 98 A9", "detail": "00 0A 01"},
        {"type": "ncm", "iad": true, "string": "X9TR Network Adapter", "macAddress": "02A0C9000001",
         "maxSegmentSize": 1514},
        {"type": "vendor", "string": "X9TR Vendor Interface"},
        {"type": "msc", "string": "X9TR Storage"}
    ]
}
)";

} // namespace

std::string_view DefaultHandsetJson() { return kDefaultHandset; }

Profile DefaultHandsetProfile() { return ParseProfile(kDefaultHandset, "default handset"); }

Profile DefaultHandsetWithGreeting()
{
    nlohmann::json document = nlohmann::json::parse(kDefaultHandset);
    document["functions"][0]["greeting"] = std::string(kDefaultModemGreeting);
    return ParseProfile(document.dump(), "default handset");
}

} // namespace handset
