#include "Tools/kestro/SetupFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "Tools/kestro/Output.h"

namespace kestro::commands {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLargestFile = 16u << 20;

}  // namespace

fs::path programBesideThisKestro(std::string_view name) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    throw ApplicationError(ExitStatus::failure,
                           "cannot tell where this kestro is: " + error.message());
  }
  const fs::path program = self.parent_path() / name;
  if (!fs::is_regular_file(program, error) || ::access(program.c_str(), X_OK) != 0) {
    throw ApplicationError(ExitStatus::failure,
                           "there is no " + std::string(name) + " beside this kestro (" +
                               shown(program.native()) + "): install the two together");
  }
  return program;
}

std::optional<std::string> readFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return std::nullopt;
  const auto refuse = [&](const std::string& why) {
    return ApplicationError(ExitStatus::failure,
                            "cannot read " + shown(path.native()) + ": " + why +
                                "; it is left as it is, and nothing was changed");
  };
  if (fd < 0) throw refuse(std::strerror(errno));
  FileDescriptor file(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw refuse(std::strerror(errno));
  if (!S_ISREG(status.st_mode)) throw refuse("it is not a regular file");
  std::string contents;
  char buffer[65536];
  try {
    for (std::size_t n; (n = files::readSome(fd, buffer, sizeof buffer, path)) > 0;) {
      contents.append(buffer, n);
      if (contents.size() > kLargestFile) throw refuse("it is larger than 16 MiB");
    }
  } catch (const fs::filesystem_error& error) {
    throw refuse(error.code().message());
  }
  return contents;
}

void writeFileAtomically(const fs::path& path, std::string_view contents, mode_t mode) {
  files::createDirectories(path.parent_path(), 0700);
  std::string temporary = (path.parent_path() / ("." + path.filename().native() + ".XXXXXX"));
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) files::throwError("cannot create a file in", path.parent_path(), errno);
  FileDescriptor file(fd);
  try {
    files::writeAll(fd, contents.data(), contents.size(), temporary);
    if (::fchmod(fd, mode) != 0) files::throwError("cannot set the mode of", temporary, errno);
    files::syncFile(fd, temporary);
    file.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      files::throwError("cannot replace", path, errno);
    }
  } catch (...) {
    files::removeFileQuietly(temporary);
    throw;
  }
  files::syncDirectory(path.parent_path());
}

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

FoundFile lookAtFile(const fs::path& path, const OwnershipTest& isOurs) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    files::throwError("cannot look at", path, errno);
  }
  if (!S_ISREG(status.st_mode)) return {FoundFile::Kind::foreign, {}, 0};
  std::string contents = readFile(path).value_or("");
  const FoundFile::Kind kind = isOurs(contents) ? FoundFile::Kind::ours : FoundFile::Kind::foreign;
  return {kind, std::move(contents), static_cast<mode_t>(status.st_mode & 07777)};
}

bool removeOurFiles(const std::vector<SetupFile>& files, const OwnershipTest& isOurs) {
  std::vector<FoundFile::Kind> kinds;
  for (const SetupFile& file : files) kinds.push_back(lookAtFile(file.path, isOurs).kind);
  bool removed = false;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string path = shown(files[i].path.native());
    if (kinds[i] == FoundFile::Kind::foreign) {
      say("Left " + path + " as it is: it is not Kestro's");
    } else if (kinds[i] == FoundFile::Kind::ours) {
      if (::unlink(files[i].path.c_str()) != 0) {
        files::throwError("cannot remove", files[i].path, errno);
      }
      say("Removed " + path + " (" + files[i].what + ")");
      removed = true;
    }
  }
  return removed;
}

}  // namespace kestro::commands
