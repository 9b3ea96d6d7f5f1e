#include "kemora/common/mapped_file.hpp"

#include "kemora/errors.hpp"

#include <algorithm>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace kemora::common {
namespace {

// The mappings the SIGBUS handler may mend. Slots are claimed under a mutex
// and read by the handler without one (atomics only).
constexpr int kSlots = 64;
struct Slot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};
Slot g_slots[kSlots];
std::mutex g_slots_mutex;
struct sigaction g_previous {};
std::once_flag g_installed;

extern "C" void on_sigbus(int signo, siginfo_t* info, void* context) {
  const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || addr < begin || addr >= slot.end.load(std::memory_order_acquire)) continue;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    void* at = reinterpret_cast<void*>(addr & ~(page - 1));
    if (::mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.faulted.store(true, std::memory_order_release);
      return;  // the read is made again, and finds zeros
    }
    break;
  }
  // Not ours: as if we had no handler.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) {
      g_previous.sa_sigaction(signo, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signo);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);  // returning makes the fault again, now fatal
}

void install_handler() {
  std::call_once(g_installed, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGBUS, &sa, &g_previous);
  });
}

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what, int err) {
  throw std::runtime_error(path.string() + ": " + what + ": " + std::strerror(err));
}

}  // namespace

MappedFile::MappedFile(const std::filesystem::path& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    if (errno == ENOENT) throw FileNotFound(path.string() + ": no such file");
    fail(path, "cannot open", errno);
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    int err = errno;
    ::close(fd_);
    fail(path, "cannot read", err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw std::runtime_error(path.string() + (S_ISDIR(st.st_mode) ? ": is a directory, not a file"
                                                                  : ": is not a regular file"));
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ == 0) return;
  install_handler();
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_, 0);
  if (p == MAP_FAILED) {
    int err = errno;
    ::close(fd_);
    fail(path, "cannot map", err);
  }
  data_ = static_cast<const char*>(p);
  ::madvise(const_cast<char*>(data_), size_, MADV_SEQUENTIAL);
  std::lock_guard<std::mutex> lock(g_slots_mutex);
  for (int i = 0; i < kSlots; ++i) {
    if (g_slots[i].begin.load() != 0) continue;
    g_slots[i].faulted.store(false);
    g_slots[i].end.store(reinterpret_cast<std::uintptr_t>(data_) + size_);
    g_slots[i].begin.store(reinterpret_cast<std::uintptr_t>(data_), std::memory_order_release);
    slot_ = i;
    break;
  }
  // With every slot taken (64 files mapped at once), this mapping is simply
  // not guarded.
}

MappedFile::~MappedFile() {
  release();
  if (fd_ >= 0) ::close(fd_);
}

bool MappedFile::changed() const {
  if (faulted_ || (slot_ >= 0 && g_slots[slot_].faulted.load(std::memory_order_acquire))) return true;
  struct stat st {};
  return fd_ >= 0 && ::fstat(fd_, &st) == 0 && static_cast<std::size_t>(st.st_size) != size_;
}

void MappedFile::drop(std::size_t begin, std::size_t end) const {
  if (!data_) return;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  end = std::min(end, size_);
  begin = (begin + page - 1) / page * page;
  end = end / page * page;
  if (begin < end) ::madvise(const_cast<char*>(data_) + begin, end - begin, MADV_DONTNEED);
}

void MappedFile::release() {
  if (!data_) return;
  if (slot_ >= 0) {
    std::lock_guard<std::mutex> lock(g_slots_mutex);
    faulted_ = g_slots[slot_].faulted.load();
    g_slots[slot_].begin.store(0, std::memory_order_release);
    g_slots[slot_].end.store(0);
    slot_ = -1;
  }
  ::munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
}

}  // namespace kemora::common
