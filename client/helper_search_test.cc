// Where a client with no helper path looks, seen by a small client program
// (helper_search_test_probe.cc) copied into folders built here, /bin/cat standing
// in for each helper; and the places listing's copy into a caller's buffer.
#include "test_support.h"

using namespace palisade_client_test;
namespace fs = std::filesystem;

namespace {

// A fresh folder of the test's own, gone with it.
struct Folder {
  fs::path root = fs::temp_directory_path() / ("palisade-search-" + std::to_string(getpid()));
  Folder() { fs::remove_all(root); }
  ~Folder() { fs::remove_all(root); }

  // Copies `from` to the relative `to`, its folders made; the full path.
  std::string copy(const fs::path& from, const fs::path& to) const {
    fs::create_directories((root / to).parent_path());
    fs::copy_file(from, root / to);
    return root / to;
  }
  std::string helper(const fs::path& to) const { return copy(kCat, to); }
  std::string probe(const fs::path& to) const { return copy(PALISADE_SEARCH_PROBE, to); }
  std::string link(const fs::path& to, const fs::path& at) const {
    fs::create_directories((root / at).parent_path());
    fs::create_symlink(root / to, root / at);
    return root / at;
  }
};

// What the probe at `program` printed, run from `folder` as a shell starts
// it (argv[0] the path as given, a link left a link), with `prefix`.
std::string run(const std::string& program, const fs::path& folder, const std::string& prefix) {
  std::string command = "cd '" + folder.string() + "' && exec '" + program + "' '" + prefix + "'";
  FILE* out = popen(command.c_str(), "r");
  std::string text;
  char chunk[512];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;)
    text.append(chunk, n);
  pclose(out);
  return text;
}

// The places, one a line, then the helper started.
std::string expected(const std::vector<std::string>& places, const std::string& started) {
  std::string text;
  for (const std::string& place : places)
    text += place + "\n";
  return text + "started " + started + "\n";
}

TEST(HelperSearch, AnApplicationBundlesOwnHelperComesFirstAsTheExecutablesRealPathDecides) {
  Folder folder;
  std::string prefix = folder.root / "prefix", installed = prefix + "/bin/palisade";
  std::string bundled = folder.helper("Example.app/Contents/Helpers/palisade");
  std::string beside = folder.helper("Example.app/Contents/MacOS/palisade");
  std::string inBundle = folder.probe("Example.app/Contents/MacOS/Example");
  // A link to the bundle's executable from elsewhere, a helper beside it.
  std::string toBundle = folder.link("Example.app/Contents/MacOS/Example", "links/Example");
  folder.helper("links/palisade");
  // A folder laid out as a bundle but not named as one, and a bundle whose
  // executable is only a link to that folder's.
  std::string plain = folder.probe("Plain/Contents/MacOS/tool");
  std::string besidePlain = folder.helper("Plain/Contents/MacOS/palisade");
  folder.helper("Plain/Contents/Helpers/palisade");
  folder.helper("Linked.app/Contents/Helpers/palisade");
  std::string fromBundle = folder.link("Plain/Contents/MacOS/tool", "Linked.app/Contents/MacOS/Linked");
  // Nor is a folder named only ".app".
  std::string bare = folder.probe(".app/Contents/MacOS/tool");
  std::string besideBare = folder.helper(".app/Contents/MacOS/palisade");
  folder.helper(".app/Contents/Helpers/palisade");

  for (const std::string& program : {inBundle, toBundle})
    EXPECT_EQ(run(program, folder.root, prefix), expected({bundled, beside, installed}, bundled)) << program;
  for (const std::string& program : {plain, fromBundle})
    EXPECT_EQ(run(program, folder.root, prefix), expected({besidePlain, installed}, besidePlain)) << program;
  EXPECT_EQ(run(bare, folder.root, prefix), expected({besideBare, installed}, besideBare));
}

TEST(HelperSearch, OnlyAnExecutableFileIsAHelperAndOnlyAnAbsolutePrefixIsSearched) {
  Folder folder;
  std::string program = folder.probe("tool/tool"), beside = folder.root / "tool/palisade";
  std::string installed = folder.helper("prefix/bin/palisade");
  // A folder the search may enter is still not a program: the search goes on.
  fs::create_directory(beside);
  fs::permissions(beside, fs::perms::owner_all);
  EXPECT_EQ(run(program, folder.root, folder.root / "prefix"), expected({beside, installed}, installed));
  // A relative prefix would name whatever the working folder holds.
  EXPECT_EQ(run(program, folder.root, "prefix"), expected({beside}, "none: No such file or directory"));
}

// The places as a caller with a big enough buffer reads them.
std::string places() {
  char list[8192];
  palisade_helper_places(list, sizeof list);
  return list;
}

TEST(HelperSearch, WithNoOverrideTheLastPlaceIsUnderThePrefixTheBuildWasConfiguredFor) {
  std::string list = places(), configured = (fs::path(PALISADE_CONFIGURED_PREFIX) / "bin/palisade").lexically_normal();
  EXPECT_TRUE(list.ends_with("\n" + configured + "\n")) << list;
}

TEST(HelperSearch, ThePlacesAreCopiedAsSnprintfCopies) {
  const std::string list = places();
  ASSERT_GT(list.size(), 8u);
  EXPECT_EQ(palisade_helper_places(nullptr, 0), list.size());
  // Whatever the size, the whole length is returned, nothing is written past
  // `size`, and what is written is the list's start ending in a NUL.
  for (size_t size : {size_t(0), size_t(1), size_t(8), list.size(), list.size() + 1}) {
    std::string buffer(list.size() + 2, '#');
    EXPECT_EQ(palisade_helper_places(buffer.data(), size), list.size()) << size;
    EXPECT_EQ(buffer.substr(size), std::string(buffer.size() - size, '#')) << size;
    if (size > 0)
      EXPECT_EQ(buffer.substr(0, size), list.substr(0, size - 1) + '\0') << size;
  }
}

}  // namespace
