// Hashing a stream of blocks on a thread of its own, so that the next read of the medium need not
// wait for the hash of the block before it.
#pragma once

#include <xxhash.h>

#include <openssl/evp.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace tolverdine {

/// Feeds each block handed to start() to the XXH64 state and, where given, the MD5 context, on its
/// own thread. The caller keeps the block untouched until wait() returns. Throws std::system_error
/// when the thread cannot be started.
class BlockHasher {
 public:
  BlockHasher(XXH64_state_t* xxh, EVP_MD_CTX* md5);
  ~BlockHasher();
  BlockHasher(const BlockHasher&) = delete;
  BlockHasher& operator=(const BlockHasher&) = delete;

  void start(const char* buf, size_t n);
  void wait();

 private:
  void run();

  XXH64_state_t* xxh_;
  EVP_MD_CTX* md5_;
  std::mutex m_;
  std::condition_variable go_, done_;
  const char* buf_ = nullptr;
  size_t n_ = 0;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: started once every other member is ready
};

}  // namespace tolverdine
