// The random pool id: 8 lowercase hex digits of fresh kernel randomness.
//
// 16 bytes come from getrandom() (retried on EINTR and short reads), or from
// /dev/urandom where the system call is missing or refused (ENOSYS, EPERM),
// after /dev/random has once polled readable. They form a version-4 UUID read
// as a little-endian 128-bit number; the id is its first 8 hex digits, i.e.
// random bytes 15, 14, 13 and 12. A failing source ends the process: a pool
// must never be created under a guessable or repeated name.
#pragma once

#include <string>

namespace vesk::pool {

std::string random_pool_id();

}  // namespace vesk::pool
