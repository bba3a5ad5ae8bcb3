#pragma once
// Which build this is: the project's version (the Debian package's too) and the commit
// the executable was built from. The build writes both into a source of its own
// (cmake/build_info.cmake), so a rebuild after a new commit names it.

#include <string>
#include <string_view>

namespace dorvek::service {

// "0.2.0"
std::string_view BuildVersion();
// git's abbreviated hash, followed by "-dirty" when the tree held changes not yet
// committed; "unknown" when built outside a git tree.
std::string_view BuildCommit();
// "dorvekzol 0.2.0 (commit 3b5b718e3f9b)": what --version prints and start logs.
std::string VersionText();

}  // namespace dorvek::service
