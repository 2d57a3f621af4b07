// Work done on a thread of its own while the caller goes on, or where no thread can be had, when
// its result is asked for.
#pragma once

#include <future>
#include <system_error>
#include <type_traits>
#include <utility>

namespace tolverdine {

template <class F> std::future<std::invoke_result_t<F>> beside(F f) {
  try {
    return std::async(std::launch::async, f);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, std::move(f));
  }
}

}  // namespace tolverdine
