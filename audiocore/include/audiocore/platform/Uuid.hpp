#pragma once
// Random UUIDs in their upper-case text form ("3F2504E0-4F89-41D3-9A0C-0305E82C3301"),
// used for working-folder names, temporary files and record identities.

#include <string>

namespace corvaline {

/// A new random (version 4) UUID as 36 upper-case characters.
std::string newUuidString();

}  // namespace corvaline
