// The library as a host outside the tree gets it: this build installed into
// a temporary prefix with `cmake --install`, then two small hosts built from
// the installed files alone, each linked with the installed libuserpolicy.so
// and nothing else of ours, run against a private slapd holding the sample
// directory:
//   - tests/installed_hosts/guid_host.cc through find_package(userpolicy),
//   - tests/installed_hosts/record_host.cc through pkg-config,
// and their answers compared with what ldapsearch shows on that server.
// (A C host of the C interface builds from the Debian packages in
// check_deb_package.sh; the C interface's answers are capi_test's.)
// The hosts are built with this tree's compiler and sanitizer flags: a host
// of a sanitizer build of the library must carry the sanitizer runtime.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "local_directories/directory_tools.h"
#include "local_directories/slapd_server.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_settings_file.h"

namespace {

namespace fs = std::filesystem;
using userpolicy::local_directories::LdifEntry;
using userpolicy::local_directories::MakeTempDir;
using userpolicy::local_directories::ProgramResult;
using userpolicy::local_directories::RunProgram;
using userpolicy::local_directories::SlapdServer;
using userpolicy::testing::DirectorySettings;
using userpolicy::testing::DirectoryTruth;
using userpolicy::testing::ScopedSettingsFile;

constexpr char kNobody[] = "sip:nobody@example.test";
constexpr auto kBuildTimeout = std::chrono::minutes(5);

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Describe(const std::vector<std::string>& argv, const ProgramResult& result) {
  std::string command;
  for (const std::string& arg : argv) command += arg + " ";
  return command + "-> exit " + std::to_string(result.exit_code) + (result.timed_out ? " (timed out)" : "") +
         "\n--- stdout\n" + result.out + "\n--- stderr\n" + result.err;
}

// Runs argv and records a failure unless it exits with 0; returns its output.
std::string RunOk(const std::vector<std::string>& argv,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  const ProgramResult result = RunProgram(argv, timeout);
  EXPECT_EQ(result.exit_code, 0) << Describe(argv, result);
  return result.out;
}

// The text of `line` after its first `count` blank-separated words.
std::string AfterWords(const std::string& line, int count) {
  size_t at = 0;
  for (int i = 0; i < count && at != std::string::npos; ++i) {
    at = line.find_first_not_of(' ', at);
    if (at != std::string::npos) at = line.find(' ', at);
  }
  return at == std::string::npos ? "" : line.substr(at + 1);
}

// The installation and the directory every test of this program uses.
struct Suite {
  std::string work_dir;
  std::string prefix;
  ProgramResult install;
  std::string server_error;
  std::unique_ptr<SlapdServer> server;  // stopped by its PID when destroyed
  std::unique_ptr<ScopedSettingsFile> settings;
};

class InstalledLibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_ = std::make_unique<Suite>();
    suite_->work_dir = MakeTempDir("userpolicy-installed-");
    suite_->prefix = suite_->work_dir + "/prefix";
    suite_->install = RunProgram(
        {USERPOLICY_CMAKE_COMMAND, "--install", USERPOLICY_BINARY_DIR, "--prefix", suite_->prefix}, kBuildTimeout);
    try {
      suite_->server = SlapdServer::Start();
      suite_->settings = std::make_unique<ScopedSettingsFile>(DirectorySettings(
          suite_->server->host_port(), suite_->server->service_dn(), suite_->server->service_password_file()));
    } catch (const std::exception& e) {
      suite_->server_error = e.what();
    }
  }

  static void TearDownTestSuite() {
    const std::string work_dir = suite_->work_dir;
    suite_.reset();
    fs::remove_all(work_dir);
  }

  void SetUp() override {
    ASSERT_EQ(suite_->install.exit_code, 0) << "cmake --install failed:\n"
                                            << suite_->install.out << suite_->install.err;
    ASSERT_NE(suite_->server, nullptr) << suite_->server_error;
  }

  static const std::string& work_dir() { return suite_->work_dir; }
  static const std::string& prefix() { return suite_->prefix; }
  static std::string libdir() { return suite_->prefix + "/lib"; }
  static std::string includedir() { return suite_->prefix + "/include/userpolicy"; }
  static const SlapdServer& server() { return *suite_->server; }

  // The host compiler with this tree's sanitizer flags.
  static std::vector<std::string> Compiler() {
    std::vector<std::string> argv = {USERPOLICY_HOST_CXX};
    for (const std::string& flag : Words(USERPOLICY_HOST_FLAGS)) argv.push_back(flag);
    return argv;
  }

  // pkg-config's answer to `args` about the installed tree's .pc files only
  // (PKG_CONFIG_LIBDIR replaces the system's search path).
  static std::vector<std::string> PkgConfig(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "PKG_CONFIG_LIBDIR=" + libdir() + "/pkgconfig", "pkg-config"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Words(RunOk(argv));
  }

  // Every SIP address of the sample directory, and one it does not hold.
  static std::vector<std::string> SipAddresses() {
    std::vector<std::string> sips = userpolicy::testing::SipAddressesOf(server(), server().base_dn());
    sips.push_back(kNobody);
    return sips;
  }

  static DirectoryTruth Truth() { return userpolicy::testing::TruthOf(server()); }

  // A host uses the installed shared library and carries none of its code:
  // it needs libuserpolicy.so.0, the dynamic loader finds that in the
  // installed prefix, and the host itself defines none of the names the
  // library exports, except those of vague linkage (weak: inline functions,
  // type information) that every user of a header may emit.
  static void ExpectLinkedWithInstalledLibraryOnly(const std::string& binary) {
    SCOPED_TRACE(binary);
    const std::string dynamic = RunOk({"readelf", "-d", binary});
    EXPECT_NE(dynamic.find("Shared library: [libuserpolicy.so.0]"), std::string::npos) << dynamic;
    bool resolved = false;
    for (const std::string& line : Lines(RunOk({"ldd", binary}))) {
      const std::vector<std::string> words = Words(line);
      if (words.size() >= 3 && words[0] == "libuserpolicy.so.0") {
        EXPECT_EQ(words[2], libdir() + "/libuserpolicy.so.0") << line;
        resolved = true;
      }
    }
    EXPECT_TRUE(resolved) << "ldd does not list libuserpolicy.so.0";

    std::set<std::string> exported;
    for (const std::string& line :
         Lines(RunOk({"nm", "-D", "--defined-only", libdir() + "/libuserpolicy.so." USERPOLICY_VERSION}))) {
      const std::vector<std::string> words = Words(line);
      if (words.size() == 3) exported.insert(words[2]);
    }
    EXPECT_GT(exported.size(), 100u);
    for (const std::string& line : Lines(RunOk({"nm", "--defined-only", binary}))) {
      const std::vector<std::string> words = Words(line);
      if (words.size() != 3 || words[1] == "W" || words[1] == "V" || words[1] == "u") continue;
      EXPECT_EQ(exported.count(words[2]), 0u) << "the host defines the library's " << line;
    }
  }

 private:
  static std::unique_ptr<Suite> suite_;
};

std::unique_ptr<Suite> InstalledLibraryTest::suite_;

std::set<std::string> FilesBelow(const std::string& root) {
  std::set<std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory() || entry.is_symlink()) files.insert(entry.path().lexically_relative(root).string());
  }
  return files;
}

TEST_F(InstalledLibraryTest, InstallsTheShippedFilesAndNothingElse) {
  const std::string version = USERPOLICY_VERSION;
  std::set<std::string> expected = {
      "lib/libuserpolicy.so",
      "lib/libuserpolicy.so.0",
      "lib/libuserpolicy.so." + version,
      "include/userpolicy/capi/userpolicy.h",
      "include/userpolicy/module/module_entry.h",
      "include/userpolicy/module/manager_factories.h",
      "include/userpolicy/manager/user_policy_manager.h",
      "include/userpolicy/dsobject/ds_object_info.h",
      "include/userpolicy/dsobject/ds_object_property.h",
      "include/userpolicy/dsobject/user_policy_manager_exception.h",
      "include/userpolicy/resolve/policy_filter_ds_access_helper.h",
      "include/userpolicy/resolve/proxy_address_ds_access_helper.h",
      "include/userpolicy/platform/com.h",
      "include/userpolicy/platform/exception.h",
      "include/userpolicy/platform/export.h",
      "include/userpolicy/platform/types.h",
      "include/userpolicy/platform/posix/com_posix.h",
      "include/userpolicy/platform/posix/types_posix.h",
      "lib/pkgconfig/userpolicy.pc",
      "lib/cmake/userpolicy/userpolicyConfig.cmake",
      "lib/cmake/userpolicy/userpolicyConfigVersion.cmake",
      "lib/cmake/userpolicy/userpolicyTargets.cmake",
      "share/doc/userpolicy/settings.example.toml",
  };
  // The command-line tool and its manual page ship once the tree has them.
  if (fs::exists(std::string(USERPOLICY_SOURCE_DIR) + "/tools/upm/upm.1")) {
    expected.insert("bin/upm");
    expected.insert("share/man/man1/upm.1");
  }
  std::set<std::string> installed = FilesBelow(prefix());
  // One targets file per build type ("userpolicyTargets-relwithdebinfo.cmake").
  for (auto it = installed.begin(); it != installed.end();) {
    it = it->rfind("lib/cmake/userpolicy/userpolicyTargets-", 0) == 0 ? installed.erase(it) : std::next(it);
  }
  EXPECT_EQ(installed, expected);
}

TEST_F(InstalledLibraryTest, LibraryCarriesItsSonameAndVersion) {
  const std::string version = USERPOLICY_VERSION;
  const std::string major = version.substr(0, version.find('.'));
  EXPECT_EQ(fs::read_symlink(libdir() + "/libuserpolicy.so"), "libuserpolicy.so." + major);
  EXPECT_EQ(fs::read_symlink(libdir() + "/libuserpolicy.so." + major), "libuserpolicy.so." + version);
  const std::string dynamic = RunOk({"readelf", "-d", libdir() + "/libuserpolicy.so." + version});
  EXPECT_NE(dynamic.find("Library soname: [libuserpolicy.so." + major + "]"), std::string::npos) << dynamic;
}

// Each installed header with nothing but the installed include directory:
// what it includes was installed too, and it needs no more than C++17 (the
// package's declared requirement). The C interface's header also compiles
// as C.
TEST_F(InstalledLibraryTest, EveryHeaderCompilesOnItsOwnFromTheInstalledTree) {
  const std::string sources = work_dir() + "/headers";
  fs::create_directories(sources);
  std::vector<std::string> cxx = Compiler();
  for (const char* flag : {"-std=c++17", "-Wall", "-Wextra", "-Werror", "-fsyntax-only"}) cxx.push_back(flag);
  cxx.push_back("-I" + includedir());
  int count = 0;
  for (const std::string& file : FilesBelow(includedir())) {
    const std::string source = sources + "/header" + std::to_string(++count) + ".cc";
    std::ofstream(source) << "#include \"" << file << "\"\n";
    cxx.push_back(source);
  }
  EXPECT_GE(count, 15);
  RunOk(cxx, kBuildTimeout);

  const std::string c_source = sources + "/capi.c";
  std::ofstream(c_source) << "#include \"capi/userpolicy.h\"\n";
  RunOk({"cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-I" + includedir(), c_source});
}

TEST_F(InstalledLibraryTest, FindPackageHostResolvesEverySampleUserAsTheDirectorySays) {
  const std::string build = work_dir() + "/find_package_host";
  const std::string configure_log =
      RunOk({USERPOLICY_CMAKE_COMMAND, "-S", std::string(USERPOLICY_SOURCE_DIR) + "/tests/installed_hosts", "-B",
             build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_PREFIX_PATH=" + prefix(),
             "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF", std::string("-DCMAKE_CXX_COMPILER=") + USERPOLICY_HOST_CXX,
             std::string("-DCMAKE_CXX_FLAGS=") + USERPOLICY_HOST_FLAGS},
            kBuildTimeout);
  RunOk({USERPOLICY_CMAKE_COMMAND, "--build", build}, kBuildTimeout);
  const std::string host = build + "/guid_host";
  ASSERT_TRUE(fs::exists(host)) << configure_log;

  // The package was found in the prefix, and the link names the installed
  // library and nothing of the build tree.
  const std::string cache = userpolicy::local_directories::ReadFile(build + "/CMakeCache.txt");
  EXPECT_NE(cache.find("userpolicy_DIR:PATH=" + prefix() + "/lib/cmake/userpolicy"), std::string::npos);
  const std::string link = RunOk({"ninja", "-C", build, "-t", "commands", "guid_host"});
  EXPECT_NE(link.find(libdir() + "/libuserpolicy.so." USERPOLICY_VERSION), std::string::npos) << link;
  EXPECT_EQ(link.find(USERPOLICY_BINARY_DIR), std::string::npos) << link;
  ExpectLinkedWithInstalledLibraryOnly(host);

  const std::vector<std::string> sips = SipAddresses();
  ASSERT_GE(sips.size(), 6u);
  std::vector<std::string> argv = {host};
  argv.insert(argv.end(), sips.begin(), sips.end());
  const std::vector<std::string> lines = Lines(RunOk(argv));
  ASSERT_EQ(lines.size(), sips.size());

  const DirectoryTruth truth = Truth();
  size_t users = 0;
  for (size_t i = 0; i < sips.size(); ++i) {
    SCOPED_TRACE(sips[i]);
    const std::vector<std::string> words = Words(lines[i]);
    ASSERT_GE(words.size(), 2u) << lines[i];
    EXPECT_EQ(words[0], sips[i]);
    // Also true for an address the user filter does not find, which
    // appends nothing.
    EXPECT_EQ(words[1], "1");
    const std::optional<LdifEntry> user = truth.User(sips[i]);
    users += user.has_value();
    EXPECT_EQ(std::vector<std::string>(words.begin() + 2, words.end()),
              user ? truth.Guids(*user) : std::vector<std::string>{});
  }
  EXPECT_GE(users, 5u);
}

TEST_F(InstalledLibraryTest, PkgConfigHostReadsRecordsAndEmailAsTheDirectorySays) {
  const std::vector<std::string> flags = PkgConfig({"--cflags", "--libs", "userpolicy"});
  EXPECT_EQ(PkgConfig({"--modversion", "userpolicy"}), std::vector<std::string>{USERPOLICY_VERSION});

  const std::string host = work_dir() + "/record_host";
  std::vector<std::string> compile = Compiler();
  compile.insert(compile.end(), {"-std=c++17", "-Wall", "-Wextra", "-Werror", "-o", host,
                                 std::string(USERPOLICY_SOURCE_DIR) + "/tests/installed_hosts/record_host.cc"});
  compile.insert(compile.end(), flags.begin(), flags.end());
  compile.push_back("-Wl,-rpath," + libdir());
  RunOk(compile, kBuildTimeout);
  ASSERT_TRUE(fs::exists(host));
  ExpectLinkedWithInstalledLibraryOnly(host);

  const std::vector<std::string> sips = SipAddresses();
  std::vector<std::string> argv = {host};
  argv.insert(argv.end(), sips.begin(), sips.end());
  const std::string out = RunOk(argv);

  // email <sip> <address>; value <sip> <attribute> <vt> <text>; the rest by
  // their first two words.
  std::map<std::string, std::string> emails;
  std::map<std::string, std::map<std::string, std::vector<std::string>>> values;
  std::vector<std::string> others;
  for (const std::string& line : Lines(out)) {
    const std::vector<std::string> words = Words(line);
    if (words.size() >= 3 && words[0] == "email") {
      emails[words[1]] = words[2];
    } else if (words.size() >= 4 && words[0] == "value") {
      values[words[1]][Lower(words[2])].push_back(AfterWords(line, 4));
    } else {
      others.push_back(line);
    }
  }

  const DirectoryTruth truth = Truth();
  for (const std::string& sip : sips) {
    SCOPED_TRACE(sip);
    const std::optional<LdifEntry> user = truth.User(sip);
    const std::string email = user ? DirectoryTruth::Email(*user) : "";
    EXPECT_EQ(emails[sip], email.empty() ? "-" : email);
    if (!user) {
      EXPECT_TRUE(values[sip].empty());
      continue;
    }
    ASSERT_FALSE(user->Get("objectGUID").empty());
    EXPECT_EQ(values[sip]["objectguid"], std::vector<std::string>{DirectoryTruth::Hex(user->Get("objectGUID")[0])});
    for (const char* attribute : {"mail", "proxyAddresses", "memberOf", "primaryGroupID"}) {
      std::vector<std::string> want = user->Get(attribute);
      std::vector<std::string> got = values[sip][Lower(attribute)];
      std::sort(want.begin(), want.end());
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want) << attribute;
    }
  }

  // Exceptions thrown in the library are caught by the host by their types,
  // and a byte array survives the trip into a property and back.
  std::vector<std::string> expected_others(sips.size(), "error index -91004");
  expected_others.push_back("bytes 007f80ff");
  expected_others.push_back("error convert 80020005 Type mismatch.");
  EXPECT_EQ(others, expected_others);
}

}  // namespace
