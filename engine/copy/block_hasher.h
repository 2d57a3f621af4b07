// Hashing a stream of blocks beside the reading, so that the next read of the medium need not
// wait for the hash of the block before it.
#pragma once

#include <xxhash.h>

#include <openssl/evp.h>

#include <cstddef>

#include "engine/base/worker_pool.h"

namespace tolverdine {

/// Feeds each block handed to start() to the XXH64 state and, where given, the MD5 context, on a
/// worker of the shared pool (inline when the caller is itself a worker). The caller keeps the
/// block untouched until wait() returns.
class BlockHasher {
 public:
  BlockHasher(XXH64_state_t* xxh, EVP_MD_CTX* md5) : xxh_(xxh), md5_(md5) {}
  BlockHasher(const BlockHasher&) = delete;
  BlockHasher& operator=(const BlockHasher&) = delete;

  void start(const char* buf, size_t n);
  void wait() { group_.wait(); }

 private:
  void hash(const char* buf, size_t n);

  XXH64_state_t* xxh_;
  EVP_MD_CTX* md5_;
  TaskGroup group_;  // last: waited for before the states go
};

}  // namespace tolverdine
