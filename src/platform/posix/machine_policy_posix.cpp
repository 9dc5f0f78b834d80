// The machine policy on Linux: /etc/tavelin-print/fleet.json, one JSON
// object of texts and numbers, trusted only when root owns it and its folder
// and nobody else may write either.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "platform/machine_policy.h"
#include "platform/system_error.h"

namespace tph {
namespace {

constexpr const char* kPolicyFolder = "/etc/tavelin-print";
constexpr const char* kPolicyPath = "/etc/tavelin-print/fleet.json";
constexpr size_t kMaxPolicyBytes = 64 * 1024;

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

bool administrators_only(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

OsError untrusted(const char* what) {
  return OsStatus::Fail(EPERM, std::string(what) + " may be changed by someone other than root");
}

}  // namespace

OsResult<std::optional<PolicyValues>> read_machine_policy() {
  Fd fd(::open(kPolicyPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<PolicyValues>();
    return OsStatus::Fail(static_cast<uint32_t>(errno), describe_system_error(static_cast<uint32_t>(errno)));
  }
  struct stat folder{};
  struct stat st{};
  if (::stat(kPolicyFolder, &folder) != 0 || ::fstat(fd.get(), &st) != 0) {
    return OsStatus::Fail(static_cast<uint32_t>(errno), describe_system_error(static_cast<uint32_t>(errno)));
  }
  if (!S_ISREG(st.st_mode)) return OsStatus::Fail(0, "the fleet policy is not a regular file");
  if (!administrators_only(folder)) return untrusted(kPolicyFolder);
  if (!administrators_only(st)) return untrusted(kPolicyPath);
  if (st.st_size > static_cast<off_t>(kMaxPolicyBytes)) {
    return OsStatus::Fail(0, "the fleet policy is too large", OsErrorKind::kTooLarge);
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return OsStatus::Fail(static_cast<uint32_t>(errno), describe_system_error(static_cast<uint32_t>(errno)));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return OsStatus::Fail(0, "the fleet policy is not a JSON object");
  PolicyValues values;
  for (const auto& [name, value] : doc.items()) {
    if (value.is_string()) {
      values[name] = value.get<std::string>();
    } else if (value.is_number_unsigned()) {
      values[name] = std::to_string(value.get<uint64_t>());
    } else if (value.is_array()) {
      // A list of texts (the endpoints) is kept as one text, comma-separated.
      std::string joined;
      for (const auto& item : value) {
        if (!item.is_string()) return OsStatus::Fail(0, "the fleet policy's \"" + name + "\" is not a list of texts");
        if (!joined.empty()) joined += ',';
        joined += item.get<std::string>();
      }
      values[name] = joined;
    } else {
      return OsStatus::Fail(0, "the fleet policy's \"" + name + "\" is neither a text nor a number");
    }
  }
  return std::optional<PolicyValues>(std::move(values));
}

std::string machine_name() {
  char name[256] = {0};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string account_name() {
  struct passwd pw{};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  return std::to_string(::geteuid());
}

}  // namespace tph
