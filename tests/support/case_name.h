#pragma once
// Readable names for the rows of a parameterised table, for the name generator of
// INSTANTIATE_TEST_SUITE_P:
//   [](const auto& info) { return test_support::CaseName(info.index, info.param.text); }

#include <cstddef>
#include <string>
#include <string_view>

namespace dorvek::test_support {

// "c<index>_<text>": every character of the text other than [A-Za-z0-9] becomes '_',
// runs of '_' become one, and an empty text reads "empty". The index keeps the name
// unique where two texts differ only in such characters ("-5" and "+5", "" and NULL),
// and it does not change from run to run.
std::string CaseName(std::size_t index, std::string_view text);

}  // namespace dorvek::test_support
