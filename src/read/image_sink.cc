// The image: raw bytes in the order read. A terminal gets none: the bytes are
// binary. A file that exists is replaced only by a complete image with its
// permissions and owner; one that we may not write is refused as writing it
// would be.
// Devices, pipes, standard output and the file it is open on are written in place.
#include "read/image_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "cli/failure.h"

namespace kelvora {

namespace {

// Bytes gathered before they go to the file at once.
constexpr size_t pending_bytes = 1 << 16;

// Ends the run after a failed write (errno tells why), leaving no temporary file.
[[noreturn]] void write_failed(image_sink& image, int error) {
  if (image.file != nullptr && image.file != stdout) std::fclose(image.file);
  image.file = nullptr;
  if (!image.temporary.empty()) unlink(image.temporary.c_str());
  image.temporary.clear();
  fail_because("cannot write", image.name, error);
}

void write_pending(image_sink& image) {
  const size_t n = image.pending.size();
  if (n > 0 && std::fwrite(image.pending.data(), 1, n, image.file) != n) write_failed(image, errno);
  image.pending.clear();
}

// Mode bits a new file gets: 0666 less the umask.
mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Opens a temporary file beside the target with the mode (and, where the
// system lets us, the owner) the image will have; nullptr when none can be
// made there (the image is then written in place).
std::FILE* open_temporary(image_sink& image, mode_t mode, const struct stat* replaced) {
  const size_t slash = image.target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : image.target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? image.target : image.target.substr(slash + 1);
  std::string pattern = folder + "." + base + ".XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return nullptr;
  if (replaced != nullptr && fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
    // Not ours to give away: the image belongs to whoever writes it, as a new file would.
  }
  std::FILE* file = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    close(fd);
    unlink(pattern.c_str());
    return nullptr;
  }
  image.temporary = pattern;
  return file;
}

// True for a name of a standard stream or device (/dev/stdout, /proc/self/fd/1)
// or of the very file standard output is open on (perhaps to append): written
// in place, never replaced.
bool standard_stream_file(const std::string& name, const struct stat* info) {
  if (name.rfind("/dev/", 0) == 0 || name.rfind("/proc/", 0) == 0) return true;
  struct stat out {};
  return info != nullptr && fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == info->st_dev &&
         out.st_ino == info->st_ino;
}

// Opens the image: standard output, a temporary file for a regular one, or the name itself.
std::FILE* open_image(image_sink& image) {
  if (image.name == "-") return stdout;
  image.target = image.name;
  struct stat info {};
  if (lstat(image.name.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    // The file the link points to is replaced, not the link.
    char resolved[PATH_MAX];
    if (realpath(image.name.c_str(), resolved) != nullptr) image.target = resolved;
  }
  const bool exists = stat(image.target.c_str(), &info) == 0;
  if ((!exists || S_ISREG(info.st_mode)) && !standard_stream_file(image.name, exists ? &info : nullptr)) {
    if (exists && access(image.target.c_str(), W_OK) != 0) fail_because("cannot open", image.name, errno);
    std::FILE* file = open_temporary(image, exists ? info.st_mode & 07777 : new_file_mode(), exists ? &info : nullptr);
    if (file != nullptr) return file;
  }
  std::FILE* file = std::fopen(image.name.c_str(), "wb");
  if (file == nullptr) fail_because("cannot open", image.name, errno);
  return file;
}

}  // namespace

void put_image_byte(image_sink& image, unsigned char value) {
  ++image.written;
  if (image.discard) return;
  if (image.file == nullptr) {
    std::FILE* file = open_image(image);
    image.file = file;
    if (isatty(fileno(file))) {
      image.file = nullptr;
      refuse_terminal(file, "a tape image");
    }
  }
  image.pending.push_back(static_cast<char>(value));
  if (image.pending.size() >= pending_bytes) write_pending(image);
}

void close_image(image_sink& image) {
  if (image.file == nullptr) return;
  write_pending(image);
  if (std::fflush(image.file) != 0 || std::ferror(image.file) != 0) write_failed(image, errno);
  // A complete image only replaces the old one once it is on the disk.
  if (!image.temporary.empty() && fsync(fileno(image.file)) != 0) write_failed(image, errno);
  std::FILE* file = image.file;
  image.file = nullptr;
  if (file != stdout && std::fclose(file) != 0) write_failed(image, errno);
  if (image.temporary.empty()) return;
  if (std::rename(image.temporary.c_str(), image.target.c_str()) != 0) write_failed(image, errno);
  image.temporary.clear();
}

}  // namespace kelvora
