#include "helper_search.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <mach-o/dyld.h>
#endif

namespace palisade_client_internal {

#if defined(PALISADE_INSTALL_PREFIX)
std::string installPrefix = PALISADE_INSTALL_PREFIX;
#else
std::string installPrefix;
#endif

namespace {

constexpr const char* kHelperName = "palisade";

// The running executable's absolute path with links resolved, or "".
std::string executablePath() {
  char path[PATH_MAX];
#if defined(__APPLE__)
  uint32_t size = sizeof path;
  char resolved[PATH_MAX];
  if (_NSGetExecutablePath(path, &size) != 0 || !realpath(path, resolved))
    return {};
  return resolved;
#else
  ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || size_t(n) >= sizeof path)
    return {};
  return std::string(path, size_t(n));
#endif
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

#if defined(__APPLE__)
// The main bundle's folder, or "" for a process outside a bundle, whose
// "bundle" is only the folder of its executable.
std::string mainBundleFolder(const std::string& executableFolder) {
  CFBundleRef bundle = CFBundleGetMainBundle();
  if (!bundle)
    return {};
  CFURLRef url = CFBundleCopyBundleURL(bundle);
  if (!url)
    return {};
  char path[PATH_MAX], resolved[PATH_MAX];
  bool ok = CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path) &&
            realpath(path, resolved);
  CFRelease(url);
  if (!ok || executableFolder == resolved)
    return {};
  return resolved;
}
#endif

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> helperPlaces() {
  std::vector<std::string> places;
  std::string executable = executablePath();
  std::string beside = executable.empty() ? "" : folderOf(executable);
#if defined(__APPLE__)
  if (std::string bundle = mainBundleFolder(beside); !bundle.empty())
    places.push_back(bundle + "/Contents/Helpers/" + kHelperName);
#endif
  if (!beside.empty())
    places.push_back((beside == "/" ? "" : beside) + "/" + kHelperName);
  // Only an absolute prefix: a relative one would be read from the working
  // directory.
  if (!installPrefix.empty() && installPrefix.front() == '/')
    places.push_back(installPrefix + (installPrefix.back() == '/' ? "" : "/") + "bin/" + kHelperName);
  return places;
}

std::string findHelper() {
  for (const std::string& place : helperPlaces()) {
    if (isExecutableFile(place))
      return place;
  }
  errno = ENOENT;
  return {};
}

}  // namespace palisade_client_internal
