#pragma once
#include <cstddef>
#include <filesystem>

namespace kemora::common {

/// A read-only mapping of a whole file that survives the file being cut
/// short by another process while it is mapped. Reading a page that is no
/// longer backed by the file would end the process with SIGBUS; instead, a
/// process-wide handler puts a page of zeros in its place and marks the
/// mapping as changed. Readers check changed() after reading and report the
/// file as changed rather than trusting what they read.
class MappedFile {
 public:
  /// Throws std::runtime_error naming the file when it is missing, a folder,
  /// not a regular file, or cannot be read or mapped.
  explicit MappedFile(const std::filesystem::path& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  /// True when part of the file went away while mapped (what was read there
  /// reads as zero bytes), or the file's size is no longer the mapped size.
  bool changed() const;
  /// Gives the pages wholly inside [begin, end) back to the system: they no
  /// longer count to the process's memory, and reading there again reads
  /// the file again. For a reader that is done with a part of a large file.
  void drop(std::size_t begin, std::size_t end) const;
  /// Gives the pages back; data() must not be used afterwards.
  void release();

 private:
  std::filesystem::path path_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  int fd_ = -1;
  int slot_ = -1;  ///< entry in the fault handler's table, -1 for none
  bool faulted_ = false;  ///< a fault was mended before release()
};

}  // namespace kemora::common
