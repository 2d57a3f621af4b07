#include "engine/copy/block_hasher.h"

namespace tolverdine {

void BlockHasher::start(const char* buf, size_t n) {
  if (WorkerPool::onWorker()) {
    hash(buf, n);  // a worker may not wait for another worker
    return;
  }
  group_.run([this, buf, n] { hash(buf, n); });
}

void BlockHasher::hash(const char* buf, size_t n) {
  XXH64_update(xxh_, buf, n);
  if (md5_) EVP_DigestUpdate(md5_, buf, n);
}

}  // namespace tolverdine
