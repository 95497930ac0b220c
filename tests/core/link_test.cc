#include "core/link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace OST {
namespace {

// A file whose ReadAt blocks until released, so revocation can be observed
// waiting for a call in flight.
class GatedFile : public NonCopyable, public virtual File {
 public:
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();

  int64_t Seek(int64_t, Origin) override { return 0; }
  int64_t ReadAt(int64_t, Origin, void*, int64_t size) override {
    entered.set_value();
    released.wait();
    return size;
  }
  void WritevAt(int64_t, Origin, const Iovec*, int) override {}
  void SetTimes(AccessTime, ModifyTime) override {}
  void Trunc(int64_t) override {}
  void Flush() override {}
  void Stop() override {}
};

TEST(FileLink, RevokedLinkFailsWithObjectDoesntExist) {
  GatedFile file;
  FileLink link(&file);
  link.Revoke();
  char buffer[4];
  try {
    link.ReadAt(0, File::ORIGIN_SET, buffer, 4);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_BADF);
    EXPECT_EQ(e.Text(), "Object doesn't exist");
  }
  EXPECT_THROW(link.Trunc(0), Error);
}

TEST(FileLink, RevokeWaitsForCallInFlight) {
  GatedFile file;
  FileLink link(&file);
  char buffer[4];
  auto reader = std::async(std::launch::async, [&] { return link.ReadAt(0, File::ORIGIN_SET, buffer, 4); });
  file.entered.get_future().wait();
  std::atomic<bool> revoked{false};
  std::thread revoker([&] {
    link.Revoke();
    revoked = true;
  });
  // The revoker must still be waiting while the read is held inside the file.
  for (int i = 0; i < 50 && !revoked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(revoked);
  file.release.set_value();
  EXPECT_EQ(reader.get(), 4);
  revoker.join();
  EXPECT_TRUE(revoked);
  EXPECT_TRUE(link.Revoked());
}

}  // namespace
}  // namespace OST
