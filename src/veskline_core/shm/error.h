// The internal error kinds and their fixed English texts.
//
// Four plain value types: SegmentError (shared-memory segments), LockError (a
// process-shared mutex call), CondError (a wake-up call) and RingError (ring
// creation, attachment and operations). Each renders itself with text(); the
// Python layer prefixes that text with the failing operation's context. The
// texts are part of the module's interface and must not change.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace vesk {

// The errno text: "ENOENT: No such file or directory", or
// "UnknownErrno: Unknown errno" for 0, negatives, 41, 58 and anything > 133.
std::string errno_text(int value);

class SegmentError {
 public:
  enum class Kind { Errno, NulInName, Unaligned };

  SegmentError() = default;
  static SegmentError from_errno(int value) { return {Kind::Errno, value, 0, 0}; }
  static SegmentError nul_in_name(uint64_t position) { return {Kind::NulInName, 0, position, 0}; }
  static SegmentError unaligned(uint64_t size, uint64_t page) {
    return {Kind::Unaligned, 0, size, page};
  }

  Kind kind() const { return kind_; }
  // The saved errno, for Kind::Errno (mapped: unknown values read back as 0).
  int err() const { return err_; }
  uint64_t position() const { return a_; }
  std::string text() const;

 private:
  SegmentError(Kind kind, int err, uint64_t a, uint64_t b);
  Kind kind_ = Kind::Errno;
  int err_ = 0;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
};

// The calling thread's errno as a SegmentError: the one place a failed system
// call of the segment layer becomes an error value. Call it in the statement
// that tests the failed call, before anything else can overwrite errno
// (including the destructors of RAII owners, which run after a return value
// is built).
inline SegmentError last_errno() {
  return SegmentError::from_errno(errno);
}

class LockError {
 public:
  LockError() = default;
  static LockError pthread(int code) { return LockError(code); }
  int code() const { return code_; }
  std::string text() const;

 private:
  explicit LockError(int code) : code_(code) {}
  int code_ = 0;
};

class CondError {
 public:
  CondError() = default;
  static CondError pthread(int code) { return CondError(code); }
  int code() const { return code_; }
  std::string text() const;

 private:
  explicit CondError(int code) : code_(code) {}
  int code_ = 0;
};

class RingError {
 public:
  // TimedOut and Stopped end a wait early (see wait.h); the Python binding
  // of the exact module never shows their texts.
  enum class Kind {
    Mutex,
    Cond,
    BufferTooSmall,
    InitTimeout,
    HeaderMismatch,
    TimedOut,
    Stopped,
    OutOfMemory
  };

  RingError() = default;
  static RingError mutex(LockError e) { return {Kind::Mutex, e.code(), 0, 0}; }
  static RingError cond(CondError e) { return {Kind::Cond, e.code(), 0, 0}; }
  static RingError buffer_too_small() { return {Kind::BufferTooSmall, 0, 0, 0}; }
  static RingError init_timeout() { return {Kind::InitTimeout, 0, 0, 0}; }
  static RingError header_mismatch(uint64_t expected, uint64_t found) {
    return {Kind::HeaderMismatch, 0, expected, found};
  }
  static RingError timed_out() { return {Kind::TimedOut, 0, 0, 0}; }
  static RingError stopped() { return {Kind::Stopped, 0, 0, 0}; }
  // A copy of a message could not be allocated; the message was left queued.
  static RingError out_of_memory() { return {Kind::OutOfMemory, 0, 0, 0}; }

  Kind kind() const { return kind_; }
  // The pthread-style code carried by Kind::Mutex and Kind::Cond.
  int code() const { return code_; }
  uint64_t expected() const { return a_; }
  uint64_t found() const { return b_; }
  std::string text() const;

 private:
  RingError(Kind kind, int code, uint64_t a, uint64_t b) : kind_(kind), code_(code), a_(a), b_(b) {}
  Kind kind_ = Kind::BufferTooSmall;
  int code_ = 0;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
};

}  // namespace vesk
