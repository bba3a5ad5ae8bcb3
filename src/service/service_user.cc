#include "service/service_user.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service/config_file.h"

namespace dorvek::service {
namespace {

// The data tree is the service's own and shallow; a deeper one is not ours to follow.
constexpr int kMaxTreeDepth = 16;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(fmt::format("cannot {} {}: {}", what, path, std::strerror(error)));
}

// Gives the entry `name` in the open directory `parent` to the user, and, when it is a
// directory, everything in it. A symbolic link is given itself, never followed.
void GiveTree(int parent, const std::string& name, const std::string& path, const Account& user,
              int depth) {
  const int opened = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (opened < 0) {
    if (errno != ENOTDIR && errno != ELOOP) Fail("open", path, errno);
    if (::fchownat(parent, name.c_str(), user.uid, user.gid, AT_SYMLINK_NOFOLLOW) != 0)
      Fail("change the owner of", path, errno);
    return;
  }
  Fd dir_fd(opened);
  if (::fchown(dir_fd.get(), user.uid, user.gid) != 0) Fail("change the owner of", path, errno);
  if (depth >= kMaxTreeDepth)
    throw std::runtime_error(fmt::format("{}: more than {} directory levels", path, kMaxTreeDepth));
  const int listing_fd = ::dup(dir_fd.get());
  if (listing_fd < 0) Fail("read", path, errno);
  DIR* listing = ::fdopendir(listing_fd);
  if (!listing) {
    const int error = errno;
    ::close(listing_fd);
    Fail("read", path, error);
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string entry_name = entry->d_name;
    if (entry_name != "." && entry_name != "..") names.push_back(entry_name);
  }
  ::closedir(listing);
  for (const auto& entry_name : names)
    GiveTree(dir_fd.get(), entry_name, path + "/" + entry_name, user, depth + 1);
}

std::string WithoutTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

std::optional<Account> SystemUserDatabase::Find(const std::string& name) const {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int error;
  while ((error = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (error != 0) throw std::runtime_error("cannot read the user database: " + std::string(std::strerror(error)));
  if (!found) return std::nullopt;
  return Account{found->pw_uid, found->pw_gid};
}

std::vector<std::string> CreateUserCommand(const std::string& name) {
  return {"/usr/sbin/useradd", "--system",   "--user-group",      "--no-create-home",
          "--home-dir",        "/nonexistent", "--shell",         "/usr/sbin/nologin",
          "--comment",         "DorvekZOL service", name};
}

Account EnsureServiceUser(const std::string& name, const UserDatabase& users, CommandRunner& runner) {
  if (auto account = users.Find(name)) return *account;
  const auto command = CreateUserCommand(name);
  const int status = runner.Run(command);
  if (status != 0)
    throw std::runtime_error(fmt::format("{} failed with status {}", CommandText(command), status));
  if (auto account = users.Find(name)) return *account;
  throw std::runtime_error(fmt::format("{} succeeded, but there is still no user {}", CommandText(command), name));
}

void CheckBaseDirectory(const std::filesystem::path& base) {
  static constexpr const char* kShared[] = {
      "/",         "/bin",       "/boot",     "/dev",           "/etc",           "/home",
      "/lib",      "/lib64",     "/opt",      "/proc",          "/root",          "/run",
      "/sbin",     "/srv",       "/sys",      "/tmp",           "/usr",           "/usr/bin",
      "/usr/lib",  "/usr/local", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/usr/share",
      "/var",      "/var/lib",   "/var/tmp"};
  std::error_code ec;
  std::filesystem::path real = std::filesystem::weakly_canonical(base, ec);
  if (ec) real = base.lexically_normal();
  const std::string dir = WithoutTrailingSlash(real.string());
  for (const char* shared : kShared)
    if (dir == shared)
      throw std::runtime_error(fmt::format(
          "the base directory {} is shared with the rest of the system: install the executable "
          "into a directory of its own (/opt/dorvekzol) or name one with --base-dir",
          dir));
  for (auto sub : kDataDirectories) {
    const auto path = base / sub;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec)))
      throw std::runtime_error(fmt::format(
          "{} is a symbolic link: the data directories must be real directories", path.string()));
  }
}

std::vector<std::string> GiveBaseDirectory(const std::filesystem::path& base, const Account& user) {
  std::vector<std::string> warnings;
  const std::string base_text = base.string();
  const int opened = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) Fail("open", base_text, errno);
  Fd base_fd(opened);
  struct stat st{};
  if (::fstat(base_fd.get(), &st) != 0) Fail("read", base_text, errno);
  // The service must not own the directory that holds its executable: an owner may
  // replace any file in it.
  const uid_t owner = st.st_uid == user.uid ? 0 : static_cast<uid_t>(-1);
  if (::fchown(base_fd.get(), owner, user.gid) != 0) Fail("change the group of", base_text, errno);
  const mode_t mode = (st.st_mode & (S_IRWXU | S_IROTH | S_IXOTH | S_ISGID)) | S_IRWXG | S_ISVTX;
  if (::fchmod(base_fd.get(), mode) != 0) Fail("change the mode of", base_text, errno);

  GiveTree(base_fd.get(), "VmrZOLData", base_text + "/VmrZOLData", user, 0);

  const std::string config_name(kConfigFileName);
  const std::string config_text = base_text + "/" + config_name;
  const int config = ::openat(base_fd.get(), config_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (config < 0) {
    if (errno != ELOOP) Fail("open", config_text, errno);
    warnings.push_back(fmt::format(
        "{} is a symbolic link and was left as it is: its target must be readable by the user {}, "
        "and readable by nobody else",
        config_text, kServiceUserName));
    return warnings;
  }
  Fd config_fd(config);
  if (::fstat(config_fd.get(), &st) != 0) Fail("read", config_text, errno);
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(config_text + " is not a file");
  if (::fchown(config_fd.get(), user.uid, user.gid) != 0) Fail("change the owner of", config_text, errno);
  if (::fchmod(config_fd.get(), 0600) != 0) Fail("change the mode of", config_text, errno);
  return warnings;
}

bool MayWrite(const std::filesystem::path& path, const Account& user) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (user.uid == 0) return true;
  mode_t write = S_IWOTH, search = S_IXOTH;
  if (st.st_uid == user.uid) {
    write = S_IWUSR;
    search = S_IXUSR;
  } else if (st.st_gid == user.gid) {
    write = S_IWGRP;
    search = S_IXGRP;
  }
  if (!(st.st_mode & write)) return false;
  return !S_ISDIR(st.st_mode) || (st.st_mode & search);
}

}  // namespace dorvek::service
