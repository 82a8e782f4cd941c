// What a user gets from `cmake --install` and from the Debian package: the layout, run paths that
// point into the install prefix and nowhere else, a panel that finds its search library when
// started from there, and a desktop entry whose program and icon are installed.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Runs a shell command; returns its exit status and what it printed on both streams.
std::pair<int, std::string> RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        return {-1, "popen failed"};
    }
    char chunk[4096];
    while (std::size_t n = fread(chunk, 1, sizeof chunk, pipe)) {
        output.append(chunk, n);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::optional<fs::path> FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const fs::path candidate = fs::path(folders.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::vector<char> ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The values of one kind of entry ("RUNPATH", "RPATH", "SONAME") in an ELF file's dynamic
// section, as readelf shows them: " 0x...1d (RUNPATH)  Library runpath: [$ORIGIN]".
std::vector<std::string> DynamicEntries(const fs::path& file, const std::string& kind) {
    const auto [status, output] = RunCommand("readelf -d -W " + Quoted(file.string()));
    std::vector<std::string> found;
    std::size_t at = 0;
    while ((at = output.find("(" + kind + ")", at)) != std::string::npos) {
        const std::size_t open = output.find('[', at);
        const std::size_t close = output.find("]\n", open);
        if (open == std::string::npos || close == std::string::npos) break;
        found.push_back(output.substr(open + 1, close - open - 1));
        at = close;
    }
    return found;
}

bool IsLinkedElf(const fs::path& file) {
    char header[18] = {};
    std::ifstream in(file, std::ios::binary);
    if (!in.read(header, sizeof header) || std::memcmp(header, "\177ELF", 4) != 0) return false;
    const int type = header[16] | header[17] << 8;  // little-endian e_type
    return type == 2 || type == 3;                  // an executable or a shared object
}

// Whether the loader would resolve some folder of the run path against the current directory:
// an empty entry (as in "$ORIGIN::") or a relative one.
bool ReachesTheCurrentFolder(const std::string& runPath) {
    for (std::size_t start = 0; start <= runPath.size();) {
        const std::size_t end = std::min(runPath.find(':', start), runPath.size());
        const std::string entry = runPath.substr(start, end - start);
        if (entry.rfind("$ORIGIN", 0) != 0 && entry.rfind('/', 0) != 0) return true;
        start = end + 1;
    }
    return false;
}

// Every run path of an executable or shared object under the folder that reaches the current
// directory, with the file it is in.
std::vector<std::string> RunPathsReachingTheCurrentFolder(const fs::path& folder) {
    std::vector<std::string> loose;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (!item.is_regular_file() || !IsLinkedElf(item.path())) continue;
        for (const char* kind : {"RUNPATH", "RPATH"}) {
            for (const std::string& value : DynamicEntries(item.path(), kind)) {
                if (ReachesTheCurrentFolder(value)) {
                    loose.push_back(item.path().string() + ": " + kind + " [" + value + "]");
                }
            }
        }
    }
    return loose;
}

// A started program with its standard error on a pipe.
struct Started {
    pid_t pid = -1;
    int errors = -1;
};

Started StartWithEnvironment(const fs::path& program, const fs::path& folder,
                             const std::vector<std::string>& settings) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_LIBRARY_PATH=", 0) != 0) entries.push_back(text);  // run path only
    }
    entries.insert(entries.end(), settings.begin(), settings.end());
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    Started started;
    if (posix_spawn(&started.pid, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
        started.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    started.errors = pipeEnds[0];
    return started;
}

// Reads the pipe until the text shows or the deadline passes; returns everything read.
std::string ReadUntil(int fd, const std::string& text, std::chrono::milliseconds limit) {
    std::string seen;
    const auto deadline = Clock::now() + limit;
    while (seen.find(text) == std::string::npos && Clock::now() < deadline) {
        pollfd watch{fd, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(&watch, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) continue;
        char chunk[1024];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        seen.append(chunk, static_cast<std::size_t>(n));
    }
    return seen;
}

// The package names of a Depends field, without versions: "a (>= 1), b" gives a and b.
std::vector<std::string> PackageNames(const std::string& field) {
    std::vector<std::string> names;
    std::string name;
    bool inName = true;
    for (char c : field + ",") {
        if (c == ',' || c == '|') {
            if (!name.empty()) names.push_back(name);
            name.clear();
            inName = true;
        } else if (c == ' ' || c == '(' || c == '\n') {
            inName = name.empty();
        } else if (inName) {
            name += c;
        }
    }
    return names;
}

std::string ReadText(const fs::path& file) {
    const std::vector<char> bytes = ReadWhole(file);
    return {bytes.begin(), bytes.end()};
}

// The licence's terms as the copyright file's "License: Expat" paragraph carries them: every
// line indented by one space, an empty line as " .".
std::string LicenceTermsAsParagraph() {
    const std::string licence = ReadText(KESTREL_SOURCE_DIR "/LICENSE");
    std::string terms = licence.substr(std::min(licence.find("Permission"), licence.size()));
    std::string paragraph;
    for (std::size_t start = 0; start < terms.size();) {
        const std::size_t end = std::min(terms.find('\n', start), terms.size());
        const std::string line = terms.substr(start, end - start);
        paragraph += line.empty() ? " .\n" : " " + line + "\n";
        start = end + 1;
    }
    return paragraph;
}

// The package's documentation folder: the copyright file in Debian's machine-readable format with
// the project's licence, and the changelog as gzip -9n makes it (no name, no time) in Debian's
// format. Returns the changelog's newest version.
std::string ExpectCopyrightAndChangelog(const fs::path& docs) {
    for (const char* file : {"copyright", "changelog.Debian.gz"}) {
        EXPECT_EQ(fs::status(docs / file).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::others_read)
            << file;
    }
    const std::string licence = ReadText(KESTREL_SOURCE_DIR "/LICENSE");
    EXPECT_EQ(licence.rfind("MIT License\n\nCopyright (c) 2026 The Kestrel developers\n", 0), 0U);
    const std::string copyright = ReadText(docs / "copyright");
    EXPECT_EQ(
        copyright.rfind(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0),
        0U)
        << copyright;
    EXPECT_NE(copyright.find("\nFiles: *\nCopyright: 2026 The Kestrel developers\n"
                             "License: Expat\n"),
              std::string::npos)
        << copyright;
    EXPECT_NE(copyright.find("\n\nLicense: Expat\n" + LicenceTermsAsParagraph()), std::string::npos)
        << copyright;

    const std::vector<char> changelog = ReadWhole(docs / "changelog.Debian.gz");
    const std::vector<unsigned char> header(
        changelog.begin(), changelog.begin() + std::min<std::ptrdiff_t>(10, std::ssize(changelog)));
    // Magic, deflate, no flags (so no file name), time 0, and "slowest, best compression".
    EXPECT_EQ(header, (std::vector<unsigned char>{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 2, 3}));
    const auto [status, version] =
        RunCommand("gzip -dc " + Quoted((docs / "changelog.Debian.gz").string()) +
                   " | dpkg-parsechangelog -l - -S Version");
    EXPECT_EQ(status, 0) << version;
    EXPECT_EQ(version.rfind(KESTREL_VERSION_TEXT "-", 0), 0U) << version;
    return version;
}

int WaitForExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kestrel-install-XXXXXX";
        scratch_ = mkdtemp(pattern);
        prefix_ = scratch_ / "prefix";
        const auto [status, output] =
            RunCommand(Quoted(KESTREL_CMAKE) + " --install " + Quoted(KESTREL_BUILD_DIR) +
                       " --prefix " + Quoted(prefix_.string()));
        installOutput_ = output;
        installed_ = status == 0;
    }
    static void TearDownTestSuite() { fs::remove_all(scratch_); }
    void SetUp() override { ASSERT_TRUE(installed_) << installOutput_; }

    static inline fs::path scratch_;
    static inline fs::path prefix_;
    static inline bool installed_ = false;
    static inline std::string installOutput_;
};

TEST_F(Installed, PutsEveryFileWhereTheRunPathAndTheDesktopLook) {
    struct Expected {
        const char* path;
        bool executable;
    };
    for (const Expected& file :
         {Expected{"bin/kestrel", true}, Expected{"bin/kestrel-sim", true},
          Expected{"bin/kestrel-cli", true}, Expected{"share/man/man1/kestrel-cli.1.gz", false},
          Expected{"share/man/man1/kestrel.1.gz", false},
          Expected{"share/man/man1/kestrel-sim.1.gz", false},
          Expected{"lib/kestrel/libDAVazIvurirU2.so", false},
          Expected{"share/applications/kestrel.desktop", false},
          Expected{"share/icons/hicolor/64x64/apps/kestrel.png", false},
          Expected{"share/icons/hicolor/scalable/apps/kestrel.svg", false},
          Expected{"share/doc/kestrel/copyright", false},
          Expected{"share/doc/kestrel/changelog.Debian.gz", false}}) {
        const fs::path path = prefix_ / file.path;
        EXPECT_TRUE(fs::is_regular_file(path)) << file.path;
        EXPECT_EQ(access(path.c_str(), X_OK) == 0, file.executable) << file.path;
    }
}

TEST_F(Installed, IconInTheSixtyFourFolderIsSixtyFourPixelsSquare) {
    const std::vector<char> png = ReadWhole(prefix_ / "share/icons/hicolor/64x64/apps/kestrel.png");
    ASSERT_GE(png.size(), 24U);
    const auto be32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(png[at])) << 24 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(png[at + 1])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(png[at + 2])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(png[at + 3]));
    };
    EXPECT_EQ(std::string(png.data() + 12, 4), "IHDR");
    EXPECT_EQ(be32(16), 64U);
    EXPECT_EQ(be32(20), 64U);
}

TEST_F(Installed, RunPathsPointIntoThePrefixAndNeverIntoTheBuildTree) {
    for (const char* program : {"bin/kestrel", "bin/kestrel-cli"}) {
        EXPECT_EQ(DynamicEntries(prefix_ / program, "RUNPATH"),
                  std::vector<std::string>{"$ORIGIN/../lib/kestrel"});
    }
    for (const char* file :
         {"bin/kestrel", "bin/kestrel-sim", "bin/kestrel-cli", "lib/kestrel/libDAVazIvurirU2.so"}) {
        EXPECT_TRUE(DynamicEntries(prefix_ / file, "RPATH").empty()) << file;
        if (std::string(file) != "bin/kestrel" && std::string(file) != "bin/kestrel-cli") {
            EXPECT_TRUE(DynamicEntries(prefix_ / file, "RUNPATH").empty()) << file;
        }
    }
    EXPECT_EQ(RunPathsReachingTheCurrentFolder(prefix_), std::vector<std::string>{});
    // The panel opens the library by this name.
    EXPECT_EQ(DynamicEntries(prefix_ / "lib/kestrel/libDAVazIvurirU2.so", "SONAME"),
              std::vector<std::string>{"libDAVazIvurirU2.so"});
}

// The loader reads an empty or relative run-path entry against the current directory, so a
// binary carrying one would load whatever library lies in the folder it is started from.
// Every executable and library of the build lands in its bin folder.
TEST(BuildTree, RunPathsNeverReachTheCurrentFolder) {
    EXPECT_EQ(RunPathsReachingTheCurrentFolder(KESTREL_BUILD_DIR "/bin"),
              std::vector<std::string>{});
}

// Without its library the panel stops at a "Load library failed!" box and never shows its
// window, so the window line proves the library was found through the run path alone.
TEST_F(Installed, PanelFindsItsLibraryAndClosesOnSigtermFromAnyFolderOrLink) {
    const fs::path elsewhere = scratch_ / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_symlink(prefix_ / "bin/kestrel", elsewhere / "kestrel");
    struct Start {
        fs::path program;
        fs::path folder;
    };
    for (const Start& start :
         {Start{prefix_ / "bin/kestrel", prefix_ / "bin"}, Start{prefix_ / "bin/kestrel", "/"},
          Start{elsewhere / "kestrel", elsewhere}}) {
        SCOPED_TRACE(start.program.string() + " in " + start.folder.string());
        const Started panel = StartWithEnvironment(
            start.program, start.folder,
            {"QT_QPA_PLATFORM=offscreen", "KESTREL_TRACE=1", "KESTREL_DISCOVERY_SCOPE=loopback"});
        ASSERT_GT(panel.pid, 0);
        const std::string shown =
            ReadUntil(panel.errors, "panel window shown: Quillon", std::chrono::seconds(20));
        kill(panel.pid, SIGTERM);
        const int status = WaitForExit(panel.pid);
        close(panel.errors);
        ASSERT_NE(shown.find("panel window shown: Quillon"), std::string::npos) << shown;
        EXPECT_EQ(status, 0);
    }
}

TEST_F(Installed, CarriesTheLicenceAndTheChangelogInDebiansFormats) {
    ExpectCopyrightAndChangelog(prefix_ / "share/doc/kestrel");
}

TEST_F(Installed, SimulatorRunsFromThePrefix) {
    const auto [status, output] =
        RunCommand(Quoted((prefix_ / "bin/kestrel-sim").string()) + " --help");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Usage: kestrel-sim"), std::string::npos) << output;
}

// With no search library the tool would say "Load library failed!"; a search that finds nothing
// (on a port where nothing answers) proves the run path led it to the library.
TEST_F(Installed, CommandLineToolRunsFromThePrefixWithItsLibraryAndManualPage) {
    const std::string cli = Quoted((prefix_ / "bin/kestrel-cli").string());
    const auto [versionStatus, version] = RunCommand(cli + " --version");
    EXPECT_EQ(versionStatus, 0) << version;
    EXPECT_EQ(version, "kestrel-cli " KESTREL_VERSION_TEXT "\n");
    const auto [status, output] = RunCommand(
        "cd / && KESTREL_DISCOVERY_SCOPE=loopback KESTREL_DISCOVERY_PORT=9 " + cli + " discover");
    EXPECT_EQ(status, 1) << output;
    EXPECT_EQ(output, "kestrel-cli: discover: no module answered the search\n");
    // No toolkit at all: it runs where Qt is not installed.
    for (const std::string& library : DynamicEntries(prefix_ / "bin/kestrel-cli", "NEEDED")) {
        EXPECT_EQ(library.find("Qt"), std::string::npos) << library;
    }
    const auto [manStatus, manual] =
        RunCommand("gzip -dc " + Quoted((prefix_ / "share/man/man1/kestrel-cli.1.gz").string()) +
                   " | groff -man -ww -Tutf8 -z");
    EXPECT_EQ(manStatus, 0) << manual;
    EXPECT_EQ(manual, "");
}

TEST_F(Installed, DesktopEntryIsValidAndNamesTheInstalledProgramAndIcon) {
    const fs::path entry = prefix_ / "share/applications/kestrel.desktop";
    std::ifstream in(entry);
    std::string line;
    std::string exec;
    std::string icon;
    while (std::getline(in, line)) {
        if (line.rfind("Exec=", 0) == 0) exec = line.substr(5, line.find(' ') - 5);
        if (line.rfind("Icon=", 0) == 0) icon = line.substr(5);
    }
    EXPECT_TRUE(fs::is_regular_file(prefix_ / "bin" / exec)) << "Exec=" << exec;
    EXPECT_TRUE(fs::is_regular_file(prefix_ / "share/icons/hicolor/64x64/apps" / (icon + ".png")))
        << "Icon=" << icon;
    const auto validator = FindProgram("desktop-file-validate");
    if (!validator) GTEST_SKIP() << "desktop-file-validate is not installed";
    const auto [status, output] =
        RunCommand(Quoted(validator->string()) + " " + Quoted(entry.string()));
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");
}

// Every program has its page, compressed with gzip -9n, that groff reads without a warning, and
// every page another page refers to is installed.
TEST_F(Installed, EveryProgramHasAManualPageAndEveryPageReferredToIsThere) {
    const fs::path pages = prefix_ / "share/man/man1";
    for (const char* program : {"kestrel", "kestrel-cli", "kestrel-sim"}) {
        SCOPED_TRACE(program);
        const fs::path page = pages / (std::string(program) + ".1.gz");
        const std::vector<char> packed = ReadWhole(page);
        ASSERT_GE(packed.size(), 10U);
        // Magic, deflate, no flags (so no file name), time 0, and "slowest, best compression".
        EXPECT_EQ(std::vector<unsigned char>(packed.begin(), packed.begin() + 10),
                  (std::vector<unsigned char>{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 2, 3}));
        const std::string source = "gzip -dc " + Quoted(page.string());
        const auto [status, warnings] = RunCommand(source + " | groff -man -ww -Tutf8 -z");
        EXPECT_EQ(status, 0) << warnings;
        EXPECT_EQ(warnings, "");
        const auto [nameStatus, name] = RunCommand(source + " | sed -n '/^.SH NAME/{n;p;q}'");
        EXPECT_EQ(name.rfind(std::string(program) + " \\- ", 0), 0U) << name;
        const auto [refStatus, references] =
            RunCommand(source + " | sed -n 's/^\\.BR \\([a-z-]*\\) (1).*/\\1/p'");
        for (std::size_t start = 0; start < references.size();) {
            const std::size_t end = references.find('\n', start);
            const std::string other = references.substr(start, end - start);
            EXPECT_TRUE(fs::is_regular_file(pages / (other + ".1.gz"))) << other << "(1)";
            start = end + 1;
        }
    }
}

// The Debian package, made once and unpacked: named and versioned from the project and its
// changelog, everything under /usr with Debian's modes, and the run-time packages the binaries
// need among its dependencies.
class DebianPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kestrel-cpack-XXXXXX";
        out_ = mkdtemp(pattern);
        const auto [status, output] =
            RunCommand(Quoted(KESTREL_CPACK) + " -G DEB --config " +
                       Quoted(std::string(KESTREL_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
                       Quoted(out_.string()));
        cpackOutput_ = output;
        for (const auto& item : fs::directory_iterator(out_)) {
            if (status == 0 && item.path().extension() == ".deb") deb_ = item.path();
        }
        if (!deb_.empty()) {
            RunCommand("dpkg-deb -x " + Quoted(deb_.string()) + " " + Quoted(root().string()));
        }
    }
    static void TearDownTestSuite() { fs::remove_all(out_); }
    void SetUp() override {
        for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps"}) {
            if (!FindProgram(tool)) GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_FALSE(deb_.empty()) << cpackOutput_;
    }
    static fs::path root() { return out_ / "root"; }
    static std::string Field(const char* name) {
        return RunCommand("dpkg-deb -f " + Quoted(deb_.string()) + " " + name).second;
    }

    static inline fs::path out_;
    static inline fs::path deb_;
    static inline std::string cpackOutput_;
};

TEST_F(DebianPackage, IsNamedAndVersionedFromTheProjectAndItsChangelog) {
    const std::string version = ExpectCopyrightAndChangelog(root() / "usr/share/doc/kestrel");
    EXPECT_EQ(Field("Package"), "kestrel\n");
    EXPECT_EQ(Field("Version"), version);
    EXPECT_EQ(
        deb_.filename().string().rfind("kestrel_" + version.substr(0, version.size() - 1) + "_", 0),
        0U)
        << deb_;
}

TEST_F(DebianPackage, DependsOnQtTheFontAndThePlatformPlugins) {
    const std::string depends = Field("Depends");
    const std::vector<std::string> names = PackageNames(depends);
    for (const char* package :
         {"libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6",
          "qt6-qpa-plugins", "fonts-wqy-microhei"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), package), names.end())
            << package << " missing from Depends: " << depends;
    }
}

// Folders rwxr-xr-x, programs rwxr-xr-x, every other file rw-r--r--, all owned by root,
// whatever the umask of the build.
TEST_F(DebianPackage, CarriesTheInstallWithDebiansModes) {
    const std::string contents = RunCommand("dpkg-deb -c " + Quoted(deb_.string())).second;
    for (const char* file :
         {"./usr/bin/kestrel", "./usr/bin/kestrel-sim", "./usr/bin/kestrel-cli",
          "./usr/share/man/man1/kestrel-cli.1.gz", "./usr/share/man/man1/kestrel.1.gz",
          "./usr/share/man/man1/kestrel-sim.1.gz", "./usr/lib/kestrel/libDAVazIvurirU2.so",
          "./usr/share/applications/kestrel.desktop", "./usr/share/doc/kestrel/copyright",
          "./usr/share/doc/kestrel/changelog.Debian.gz"}) {
        EXPECT_NE(contents.find(std::string(file) + "\n"), std::string::npos) << file;
    }
    for (std::size_t start = 0; start < contents.size();) {
        const std::size_t end = std::min(contents.find('\n', start), contents.size());
        const std::string line = contents.substr(start, end - start);
        start = end + 1;
        const bool folder = line.back() == '/';
        const bool program = line.find(" ./usr/bin/") != std::string::npos && !folder;
        const std::string mode = folder    ? "drwxr-xr-x root/root "
                                 : program ? "-rwxr-xr-x root/root "
                                           : "-rw-r--r-- root/root ";
        EXPECT_EQ(line.rfind(mode, 0), 0U) << line;
    }
}

// The search library in /usr/lib/kestrel is private, found through the run path: installing or
// removing the package has no reason to rebuild the linker cache.
TEST_F(DebianPackage, MaintainerScriptsLeaveTheLinkerCacheAlone) {
    const fs::path control = out_ / "control";
    const auto [status, output] =
        RunCommand("dpkg-deb -e " + Quoted(deb_.string()) + " " + Quoted(control.string()));
    ASSERT_EQ(status, 0) << output;
    for (const auto& item : fs::directory_iterator(control)) {
        const std::string name = item.path().filename().string();
        const std::vector<char> text = ReadWhole(item.path());
        EXPECT_EQ(std::string(text.begin(), text.end()).find("ldconfig"), std::string::npos)
            << name;
        if (name == "postinst" || name == "postrm") {
            const auto [checkStatus, check] = RunCommand("sh -n " + Quoted(item.path().string()));
            EXPECT_EQ(checkStatus, 0) << name << ": " << check;
        }
    }
}

TEST_F(DebianPackage, RunPathsNeverReachTheCurrentFolder) {
    EXPECT_EQ(RunPathsReachingTheCurrentFolder(root()), std::vector<std::string>{});
}

}  // namespace
