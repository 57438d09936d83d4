// Where a helper is looked for when the application names none. Only fixed
// places tied to the application or the library: never PATH or the working
// directory, where a program of that name could be anyone's, started with
// the application's rights.
#pragma once

#include <string>
#include <vector>

namespace palisade_client_internal {

// The prefix the library was built to be installed in; empty where the
// build gave none (a Swift package). A variable only so that the tests can
// point it elsewhere.
extern std::string installPrefix;

// The absolute paths looked at, in order: <X>.app/Contents/Helpers/palisade
// when the running executable's real path is <X>.app/Contents/MacOS/<name>,
// `palisade` beside the running executable, the prefix's bin/palisade. The
// environment changes none of them.
std::vector<std::string> helperPlaces();

// The first of helperPlaces() that is an executable file, or "" with errno
// set to ENOENT.
std::string findHelper();

}  // namespace palisade_client_internal
