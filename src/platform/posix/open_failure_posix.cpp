#include "platform/posix/open_failure.h"

#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace flashpost::platform {

namespace {

OpenFailure NoSuchDevice() { return {OpenFailureCause::kNoSuchDevice, "no such device"}; }

OpenFailure NotASerialPort(const char* what) {
  return {OpenFailureCause::kNotASerialPort, std::string("not a serial port (") + what + ")"};
}

std::string ErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

std::string UserName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

// Whether this process has the group now; a group joined since the user logged in does not count
// until the next login.
bool HasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  count = getgroups(count, groups.data());
  return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.end();
}

// Serial devices are opened by a group (dialout on Debian) that the user has to join.
OpenFailure PermissionDenied(const std::string& path, const struct stat& st) {
  const std::string group = GroupName(st.st_gid);
  const bool group_may_use = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (group_may_use && !HasGroup(st.st_gid)) {
    return {OpenFailureCause::kPermissionDenied,
            "permission denied: " + path + " belongs to group " + group +
                "; add yourself with  sudo usermod -aG " + group + " $USER  and log in again"};
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return {OpenFailureCause::kPermissionDenied, "permission denied: " + path + " has mode " + mode +
                                                   " (owner " + UserName(st.st_uid) + ", group " +
                                                   group + ")"};
}

// The process holding a lock on the file, as /proc/locks lists it: "1: FLOCK  ADVISORY  WRITE
// 4242 00:19:5 0 EOF", the file given as the hex major and minor of its file system's device and
// its inode number. A process waiting for a lock has "->" after the number. 0 when none is listed
// (the lock lives in another PID namespace, or the port is held without a lock).
pid_t LockHolder(const struct stat& st) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(in >> number >> kind) || kind == "->") continue;
    if (!(in >> mode >> access >> pid >> file)) continue;
    unsigned file_major = 0, file_minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &file_major, &file_minor, &inode) == 3 &&
        file_major == major(st.st_dev) && file_minor == minor(st.st_dev) && inode == st.st_ino &&
        pid > 0) {
      return static_cast<pid_t>(pid);
    }
  }
  return 0;
}

std::string CommandName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

OpenFailure InUse(const struct stat& st) {
  const pid_t holder = LockHolder(st);
  if (holder == getpid()) {
    return {OpenFailureCause::kInUse, "in use by another slot of this program"};
  }
  if (holder > 0) {
    const std::string name = CommandName(holder);
    return {OpenFailureCause::kInUse, "in use by another program (PID " + std::to_string(holder) +
                                          (name.empty() ? "" : ", " + name) + ")"};
  }
  return {OpenFailureCause::kInUse, "in use by another program"};
}

}  // namespace

OpenFailure ExplainOpenFailure(const std::string& path, int error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // A dangling link (an adapter unplugged under its by-id name) ends here too.
    if (errno == ENOENT || errno == ENOTDIR) return NoSuchDevice();
    if (errno == EACCES) {
      return {OpenFailureCause::kPermissionDenied,
              "permission denied: " + path + " lies in a folder this user may not enter"};
    }
    return {OpenFailureCause::kOther, ErrorText(errno)};
  }
  if (S_ISDIR(st.st_mode)) return NotASerialPort("a folder");
  if (S_ISREG(st.st_mode)) return NotASerialPort("a regular file");
  if (S_ISBLK(st.st_mode)) return NotASerialPort("a disk");
  if (!S_ISCHR(st.st_mode)) return NotASerialPort("a pipe or a socket");
  // ENXIO and ENODEV: a node whose driver has no device behind it (an adapter being pulled).
  if (error == ENOENT || error == ENXIO || error == ENODEV) return NoSuchDevice();
  if (error == EACCES || error == EPERM) return PermissionDenied(path, st);
  // EBUSY: another program set the tty exclusive; EWOULDBLOCK: a lock is held on it.
  if (error == EBUSY || error == EWOULDBLOCK) return InUse(st);
  // /dev/null and its kind open and lock, but refuse every terminal call.
  if (error == ENOTTY || error == EINVAL) return NotASerialPort("a device that is no terminal");
  return {OpenFailureCause::kOther, ErrorText(error)};
}

}  // namespace flashpost::platform
