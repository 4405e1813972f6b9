// Installation manifests: which driver the system loads for which device
// IDs. A manifest is a small text file of "key = value" lines:
//
//     # the composite bus driver
//     service = X9TRbus
//     class = {36fc9e60-c465-11cf-8056-444553540000}
//     id = USB\VID_0ABC&PID_1D2E
//
// "id" lines may repeat; "#" starts a comment. IDs match without regard to
// ASCII case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::pnp {

struct Manifest {
    std::u16string Service;
    std::u16string ClassGuid;
    std::vector<std::u16string> Ids;
    std::string Origin; // the file it came from
};

// Throws std::runtime_error naming the origin, the line and the fault.
Manifest ParseManifest(std::string_view text, const std::string& origin);
// Every *.manifest file of a directory, in file name order.
std::vector<Manifest> LoadManifests(const std::string& directory);

// The manifest whose IDs hold the first of Ids (hardware IDs before
// compatible IDs) that any manifest holds, or null.
const Manifest* MatchDriver(const std::vector<Manifest>& manifests, const std::vector<std::u16string>& ids);

bool SameId(std::u16string_view a, std::u16string_view b);

} // namespace platform::pnp
