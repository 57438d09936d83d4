// What a second process can see of the window server while a helper holds:
// the session, the front process and the Dock. Shared by palisade-doctor and
// the workflow's probe. Main thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/doctor/dock_sight.h"

/// Connects to the window server and finishes launching, so that the
/// presentation options read later are kept current. False, without
/// connecting, when this process runs outside a window-server login
/// session (a headless runner): nothing can be observed then.
bool startObserving();

/// Takes and handles this process's events for `seconds`: how the
/// presentation options and the running applications' details stay current.
void takeEvents(double seconds);

/// The front process's pid, or 0 with `failure` saying why it could not be
/// read.
struct FrontReading {
  pid_t pid;
  const char* failure;  // null when pid was read
};
FrontReading readFront();

/// The active application's presentation options, and what they make of the
/// Dock: "hidden", "autohide" or "shown".
uint64_t presentationOptions();
const char* dockState(uint64_t options);

/// "PID NAME" for a running application, "PID" alone when it has no name.
std::string describeProcess(pid_t pid);

/// The activation policy of a running application: "regular", "accessory",
/// "prohibited", or "not an application" when the system lists none for pid.
const char* activationPolicy(pid_t pid);

/// Whether a running application owns the menu bar: "yes", "no", or "not
/// an application".
const char* ownsMenuBar(pid_t pid);

/// The Dock process's own windows, on screen or not, as the window server
/// lists them: the nearest thing to the Dock's visibility that any API
/// shows. Empty when none is listed.
std::vector<DockWindow> dockWindows();

/// What those windows say, against the main display and the Dock's layer.
DockSeen dockSeenNow(const std::vector<DockWindow>& windows);
