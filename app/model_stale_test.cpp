#include <gtest/gtest.h>

#include "app/model_test_util.h"

namespace tolverdine {
namespace {

TEST(Model, CopiesGoneFromAConnectedDriveAreLeftOutAndTheCardSaysWhy) {
  ModelRig r;
  r.readyToGo();
  r.make();
  std::string card = r.card("A001");
  const Phase::Finished* f = r.copyThrough(card);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->color, CardColor::green);
  r.unmount(card);

  // The project folder deleted on the second destination, which stays there.
  ASSERT_EQ(sh("rm -rf '" + r.dest2() + "'/*"), 0);
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  EXPECT_EQ(r.at(card).note, std::optional<std::string>("사본 2개 제외 — 파일 없음 2"));
  EXPECT_EQ(r.finished(card), nullptr);
}

}  // namespace
}  // namespace tolverdine
