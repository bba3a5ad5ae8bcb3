#pragma once
// The system user the service runs as. INSTALL creates it when it is missing and hands
// it the service's data; the executable stays root's. After installation:
//
//   base directory     owner unchanged, group dorvekzol, mode rwxrwxr-x with the sticky
//                      bit: the service may create files there (a missing
//                      VmrZOLConfig.xml, SQLite's -wal and -shm beside a database) but
//                      may not remove or rename what it does not own, the executable
//   the executable     untouched: root's, not writable by the service
//   VmrZOLData         the service user's, with everything in it
//   VmrZOLConfig.xml   the service user's, mode 0600: it holds the database password

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "service/command_runner.h"

namespace dorvek::service {

inline constexpr const char* kServiceUserName = "dorvekzol";

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;  // the user's primary group
};

// The machine's user database.
class UserDatabase {
 public:
  virtual ~UserDatabase() = default;
  virtual std::optional<Account> Find(const std::string& name) const = 0;
};

class SystemUserDatabase final : public UserDatabase {
 public:
  std::optional<Account> Find(const std::string& name) const override;
};

// Creates a system user with a group of its own name, no home directory and no login
// shell.
std::vector<std::string> CreateUserCommand(const std::string& name);

// The user, created first when it is missing. Throws std::runtime_error when the
// command fails or the user is still missing after it.
Account EnsureServiceUser(const std::string& name, const UserDatabase& users, CommandRunner& runner);

// Throws std::runtime_error when the base directory must not be handed to the service:
// a directory the rest of the system shares (/, /usr/bin, /opt …), or one whose data
// directories are symbolic links that would lead root's writes elsewhere.
void CheckBaseDirectory(const std::filesystem::path& base);

// Gives the base directory's data to the user as the header comment says. Entries are
// reached through open directories and never through a symbolic link, so nothing in
// the tree can redirect root's changes. Returns warnings for what it left alone (a
// configuration file that is a symbolic link); throws std::runtime_error naming the
// path when a change fails.
std::vector<std::string> GiveBaseDirectory(const std::filesystem::path& base, const Account& user);

// Whether the user may write the file, or create files in the directory, by its owner,
// group and mode bits (the primary group only; access control lists are not read).
// False when the path does not exist.
bool MayWrite(const std::filesystem::path& path, const Account& user);

}  // namespace dorvek::service
