#include "engine/block_hasher.h"

namespace tolverdine {

BlockHasher::BlockHasher(XXH64_state_t* xxh, EVP_MD_CTX* md5) : xxh_(xxh), md5_(md5), thread_([this] { run(); }) {}

BlockHasher::~BlockHasher() {
  {
    std::lock_guard lk(m_);
    stop_ = true;
  }
  go_.notify_one();
  thread_.join();
}

void BlockHasher::start(const char* buf, size_t n) {
  {
    std::lock_guard lk(m_);
    buf_ = buf;
    n_ = n;
    busy_ = true;
  }
  go_.notify_one();
}

void BlockHasher::wait() {
  std::unique_lock lk(m_);
  done_.wait(lk, [&] { return !busy_; });
}

void BlockHasher::run() {
  std::unique_lock lk(m_);
  for (;;) {
    go_.wait(lk, [&] { return stop_ || busy_; });
    if (!busy_) return;  // stopping with nothing handed over
    const char* buf = buf_;
    size_t n = n_;
    lk.unlock();
    XXH64_update(xxh_, buf, n);
    if (md5_) EVP_DigestUpdate(md5_, buf, n);
    lk.lock();
    busy_ = false;
    done_.notify_one();
  }
}

}  // namespace tolverdine
