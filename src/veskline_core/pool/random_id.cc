#include "veskline_core/pool/random_id.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "veskline_core/lib/call_frame.h"

namespace vesk::pool {

namespace {

using Bytes = std::array<uint8_t, 16>;

[[noreturn]] void source_failed(const char* description) {
  const std::string message =
      std::string("could not retrieve random bytes for uuid: ") + description;
  VESK_FAULT(message.c_str());
}

// /dev/urandom, opened once per process and kept open; /dev/random is polled
// first so that we never read before the kernel's pool is initialised.
int urandom_fd() {
  static const int fd = [] {
    const int random = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random < 0) source_failed(std::strerror(errno));
    pollfd waiting{random, POLLIN, 0};
    while (::poll(&waiting, 1, -1) < 0) {
      if (errno != EINTR) source_failed(std::strerror(errno));
    }
    ::close(random);
    const int opened = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (opened < 0) source_failed(std::strerror(errno));
    return opened;
  }();
  return fd;
}

void fill_from_urandom(Bytes& bytes, size_t filled) {
  while (filled < bytes.size()) {
    const ssize_t got = ::read(urandom_fd(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) source_failed(got < 0 ? std::strerror(errno) : "unexpected end of file");
    filled += static_cast<size_t>(got);
  }
}

Bytes random_bytes() {
  Bytes bytes{};
  size_t filled = 0;
  while (filled < bytes.size()) {
    // The system call itself: glibc has a wrapper only from 2.25 on, older
    // than the oldest glibc the wheels support.
    const ssize_t got = ::syscall(SYS_getrandom, bytes.data() + filled, bytes.size() - filled, 0);
    if (got >= 0) {
      filled += static_cast<size_t>(got);
    } else if (errno == ENOSYS || errno == EPERM) {
      fill_from_urandom(bytes, filled);
      return bytes;
    } else if (errno != EINTR) {
      source_failed(std::strerror(errno));
    }
  }
  return bytes;
}

}  // namespace

std::string random_pool_id() {
  Bytes bytes = random_bytes();
  // Version 4 (bits 79..76) and the RFC 4122 variant (bits 63..62), as in a
  // standard random UUID; neither touches the digits kept below.
  bytes[9] = static_cast<uint8_t>((bytes[9] & 0x0F) | 0x40);
  bytes[7] = static_cast<uint8_t>((bytes[7] & 0x3F) | 0x80);
  char id[9];
  std::snprintf(id, sizeof id, "%02x%02x%02x%02x", bytes[15], bytes[14], bytes[13], bytes[12]);
  return std::string(id, 8);
}

}  // namespace vesk::pool
