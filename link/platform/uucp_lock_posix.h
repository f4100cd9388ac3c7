// The UUCP lock file of a serial port (LCK..<device> in MBUS_LOCK_DIR,
// /run/lock or /var/lock): a live other program's file refuses the port, a
// dead one's is replaced by ours, which lives until release.
#pragma once
#include <sys/stat.h>

#include <string>

enum class UucpLockResult { Ok, HeldByOther };

class UucpLock {
 public:
  // Ok also when no lock can be written there: the port goes without.
  [[nodiscard]] UucpLockResult acquire(const char* device);
  void release();

 private:
  std::string path_;
  struct stat owned_ {};
};
