// A client application in miniature, copied by helper_search_test.cc into
// the folders it builds: prints the places it looks for a helper in, then
// the helper it started as that process's /proc entry names it, or why it
// started none. An argument replaces the install prefix.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "helper_search.h"
#include "palisade/client.h"

int main(int argc, char** argv) {
  if (argc > 1)
    palisade_client_internal::installPrefix = argv[1];
  std::string places(palisade_helper_places(nullptr, 0) + 1, '\0');
  palisade_helper_places(places.data(), places.size());
  fputs(places.c_str(), stdout);

  palisade_options options = {};
  palisade_client* client = nullptr;
  if (palisade_open(&options, &client) != PALISADE_OK) {
    printf("started none: %s\n", strerror(errno));
    return 0;
  }
  char helper[PATH_MAX] = {};
  std::string exe = "/proc/" + std::to_string(palisade_helper_pid(client)) + "/exe";
  if (readlink(exe.c_str(), helper, sizeof helper - 1) < 0)
    strcpy(helper, strerror(errno));
  printf("started %s\n", helper);
  palisade_close(client, 5);
  return 0;
}
