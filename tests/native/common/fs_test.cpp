#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/fs.hpp"

namespace velmar {
namespace {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "velmar_fs_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return JoinPath(path_, name); }

  // Every name in the directory, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path_.c_str())) {
      while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(Error, FromErrnoKeepsTheCauseOutOfTheMessage) {
  const Error error = Error::FromErrno("cannot open a.mp4", ENOENT);
  EXPECT_EQ(error.message, "cannot open a.mp4");
  EXPECT_EQ(error.cause, std::errc::no_such_file_or_directory);
  const Result<int> failed = std::unexpected(error);
  EXPECT_FALSE(failed.has_value());
}

TEST(Error, KindComesFromTheCauseUnlessSet) {
  EXPECT_EQ(Error::FromErrno("x", ENOENT).Kind(), ErrorKind::kNotFound);
  EXPECT_EQ(Error::FromErrno("x", EACCES).Kind(), ErrorKind::kPermission);
  EXPECT_EQ(Error::FromErrno("x", ENOMEM).Kind(), ErrorKind::kOutOfMemory);
  EXPECT_EQ(Error::FromErrno("x", ENOTDIR).Kind(), ErrorKind::kIo);
  // A cause from std::filesystem (the system category) counts the same.
  EXPECT_EQ((Error{"x", std::error_code(EPERM, std::system_category())}.Kind()),
            ErrorKind::kPermission);
  EXPECT_EQ((Error{"x", {}}.Kind()), ErrorKind::kOther);
  EXPECT_EQ((Error{"x", std::make_error_code(std::errc::io_error), ErrorKind::kInvalidData}.Kind()),
            ErrorKind::kInvalidData);
}

TEST(WriteAll, DeliversEveryByteInOrderThroughPartialWrites) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // Larger than a pipe holds, so that the writer sees short writes while a
  // slow reader drains it.
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  const std::error_code ec = WriteAll(fds[1], data);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_TRUE(received == data);
}

TEST(WriteAll, ReportsTheFailingWrite) {
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full here";
  EXPECT_EQ(WriteAll(full, "x"), std::errc::no_space_on_device);
  ::close(full);
  EXPECT_EQ(WriteAll(-1, "x"), std::errc::bad_file_descriptor);
  EXPECT_FALSE(WriteAll(-1, ""));  // nothing to write is no write at all
}

TEST(AtomicReplace, ReplacesTheWholeFileAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string path = dir / "index.json";
  WriteFile(path, std::string(10000, 'o'));
  ASSERT_FALSE(AtomicReplace(path, "new"));
  EXPECT_EQ(ReadFile(path), "new");
  ASSERT_FALSE(AtomicReplace(path, [](int fd) { return WriteAll(fd, "through the fd"); }));
  EXPECT_EQ(ReadFile(path), "through the fd");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"index.json"});
}

TEST(AtomicReplace, CreatesWithTheModeLessTheUmask) {
  ScratchDir dir;
  const mode_t old_mask = ::umask(027);
  const std::error_code ec = AtomicReplace(dir / "a", "x", {.mode = 0666, .temp_name = {}});
  ::umask(old_mask);
  ASSERT_FALSE(ec);
  struct stat st;
  ASSERT_EQ(::stat((dir / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Raises the file size limit back when the test ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of a kill
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
};

struct FailureCase {
  const char* name;
  // Tries to replace `path` (an existing file, or a directory for the
  // rename case) and returns the error.
  std::function<std::error_code(const std::string& path)> replace;
  std::errc expected;
};

class AtomicReplaceFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(AtomicReplaceFailure, LeavesTheOldFileWholeAndNoTemporary) {
  ScratchDir dir;
  const std::string path = dir / "target";
  const std::string old_text = "the old content, which must survive";
  WriteFile(path, old_text);
  EXPECT_EQ(GetParam().replace(path), GetParam().expected);
  EXPECT_EQ(ReadFile(path), old_text);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"target"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtomicReplaceFailure,
    ::testing::Values(
        FailureCase{"writer_gives_up_half_way",
                    [](const std::string& path) {
                      return AtomicReplace(path, [](int fd) {
                        (void)WriteAll(fd, "half");
                        return std::make_error_code(std::errc::io_error);
                      });
                    },
                    std::errc::io_error},
        FailureCase{"disk_refuses_the_write",
                    [](const std::string& path) {
                      FileSizeLimit limit(64);
                      return AtomicReplace(path, std::string(1 << 16, 'n'));
                    },
                    std::errc::file_too_large},
        FailureCase{"abandoned_before_commit",
                    [](const std::string& path) {
                      auto file = AtomicFile::Create(path);
                      if (!file) return file.error();
                      (void)file->Write("never committed");
                      EXPECT_FALSE(file->Sync());
                      return std::make_error_code(std::errc::interrupted);
                    },
                    std::errc::interrupted}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AtomicReplace, RefusesTargetsItCannotReplace) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
  WriteFile(dir / "sub/kept", "x");
  // Renaming a file over a directory fails; the directory and its content stay.
  EXPECT_EQ(AtomicReplace(dir / "sub", "x"), std::errc::is_a_directory);
  EXPECT_EQ(ReadFile(dir / "sub/kept"), "x");
  EXPECT_EQ(AtomicReplace(dir / "missing/a", "x"), std::errc::no_such_file_or_directory);
  EXPECT_EQ(AtomicReplace(dir / "a/", "x"), std::errc::invalid_argument);
  EXPECT_EQ(AtomicReplace("", "x"), std::errc::invalid_argument);
  EXPECT_EQ(AtomicReplace(std::string("a\0b", 3), "x"), std::errc::invalid_argument);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"sub"});
}

TEST(AtomicFile, UsesTheCallersTemporaryNamesSkippingTakenOnes) {
  ScratchDir dir;
  WriteFile(dir / "tmp.0", "someone else's");
  std::vector<unsigned> attempts;
  auto file = AtomicFile::Create(dir / "out", {.temp_name = [&](unsigned attempt) {
                                   attempts.push_back(attempt);
                                   return dir / ("tmp." + std::to_string(attempt));
                                 }});
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->temp_path(), dir / "tmp.1");
  EXPECT_EQ(attempts, (std::vector<unsigned>{0, 1}));
  ASSERT_FALSE(file->Write("done"));
  // Between Sync and Commit the new content is on disk and the target untouched.
  ASSERT_FALSE(file->Sync());
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"tmp.0", "tmp.1"}));
  ASSERT_FALSE(file->Commit());
  EXPECT_EQ(ReadFile(dir / "out"), "done");
  EXPECT_EQ(ReadFile(dir / "tmp.0"), "someone else's");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"out", "tmp.0"}));
}

TEST(AtomicFile, MovedFromObjectsDoNotRemoveTheFile) {
  ScratchDir dir;
  std::optional<AtomicFile> file;
  {
    auto created = AtomicFile::Create(dir / "out");
    ASSERT_TRUE(created.has_value());
    file = std::move(*created);
  }  // destroying the moved-from object leaves the temporary
  ASSERT_FALSE(file->Write("kept"));
  ASSERT_FALSE(file->Commit());
  EXPECT_EQ(ReadFile(dir / "out"), "kept");
}

struct JoinCase {
  const char* base;
  const char* name;
  const char* joined;
};

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, JoinsAsPythonDoes) {
  EXPECT_EQ(JoinPath(GetParam().base, GetParam().name), GetParam().joined);
}

INSTANTIATE_TEST_SUITE_P(Cases, JoinPathTest,
                         ::testing::Values(JoinCase{"out", "a.jpg", "out/a.jpg"},
                                           JoinCase{"out/", "a.jpg", "out/a.jpg"},
                                           JoinCase{"", "a.jpg", "a.jpg"},
                                           JoinCase{"out", "/abs/a.jpg", "/abs/a.jpg"},
                                           JoinCase{"/", "a", "/a"},
                                           JoinCase{"out", "", "out/"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Paths, DirectoryOfAndBaseName) {
  EXPECT_EQ(DirectoryOf("a/b/c.json"), "a/b");
  EXPECT_EQ(DirectoryOf("c.json"), ".");
  EXPECT_EQ(DirectoryOf("/c.json"), "/");
  EXPECT_EQ(BaseName("a/b/c.json"), "c.json");
  EXPECT_EQ(BaseName("c.json"), "c.json");
}

TEST(CreateDirectories, MakesEveryMissingLevelAndAcceptsExistingOnes) {
  ScratchDir dir;
  const std::string deep = dir / "a/b//c/";
  ASSERT_FALSE(CreateDirectories(deep));
  struct stat st;
  ASSERT_EQ(::stat((dir / "a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(CreateDirectories(deep));
  EXPECT_FALSE(CreateDirectories(dir.path()));
}

TEST(CreateDirectories, RefusesWhatIsNotADirectory) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  EXPECT_EQ(CreateDirectories(dir / "file"), std::errc::file_exists);
  EXPECT_EQ(CreateDirectories(dir / "file/sub"), std::errc::not_a_directory);
  EXPECT_EQ(CreateDirectories(std::string("a\0b", 3)), std::errc::invalid_argument);
}

}  // namespace
}  // namespace velmar
