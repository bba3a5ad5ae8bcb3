#pragma once
// The computer name that notification texts and LAN notices carry.

#include <optional>
#include <string>

namespace dorvek::db {

inline constexpr std::size_t kComputerNameMaxLength = 15;

// The host name as read from the system, or nothing when it cannot be read, made into
// a computer name: up to its first dot, upper case, at most 15 characters;
// "(UNKNOWN)" when nothing is left.
std::string NormalizeComputerName(const std::optional<std::string>& raw);

// This computer's name, normalized as above.
std::string ComputerName();

}  // namespace dorvek::db
