// UniqueHandle over a traits type that counts: every value is released exactly once, and only
// values that are a resource; the thread's last error survives a release when the traits keep it.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "common/unique_handle.h"

namespace corvid {
namespace {

// Like a Windows handle: 0 is the empty value and -1 is "no resource" too. Closing sets the
// stand-in last error, as a failing CloseHandle would.
std::vector<int> g_closed;
int g_last_error = 0;
constexpr int kCloseError = 6;

struct CountingTraits {
  using Type = int;
  static Type null() noexcept { return 0; }
  static bool valid(Type value) noexcept { return value != 0 && value != -1; }
  static void close(Type value) noexcept {
    g_closed.push_back(value);
    g_last_error = kCloseError;
  }
};
using Counted = UniqueHandle<CountingTraits>;

struct KeepingTraits : CountingTraits {
  static int save_error() noexcept { return g_last_error; }
  static void restore_error(int error) noexcept { g_last_error = error; }
};
using Keeping = UniqueHandle<KeepingTraits>;

static_assert(!KeepsLastError<CountingTraits>);
static_assert(KeepsLastError<KeepingTraits>);

class UniqueHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_closed.clear();
    g_last_error = 0;
  }
  static std::vector<int> closed() { return g_closed; }
};

using Closed = std::vector<int>;

TEST_F(UniqueHandleTest, EachValueIsClosedOnceWhateverPathItTakes) {
  {
    Counted owner(7);
    EXPECT_TRUE(owner.valid());
  }
  EXPECT_EQ(closed(), Closed{7});

  g_closed.clear();
  {
    Counted first(7);
    Counted second(std::move(first));
    EXPECT_FALSE(first.valid());
    Counted third;
    third = std::move(second);
    EXPECT_EQ(third.get(), 7);
    EXPECT_TRUE(closed().empty());
  }
  EXPECT_EQ(closed(), Closed{7}) << "moved-from owners release nothing";

  g_closed.clear();
  {
    Counted owner(7);
    owner.reset(8);
    EXPECT_EQ(closed(), Closed{7});
    owner.reset(8);  // what it already holds: closing it here would close it twice
    EXPECT_EQ(closed(), Closed{7});
    Counted other(9);
    owner = std::move(other);  // the old value goes, the new one is taken
    EXPECT_EQ(closed(), (Closed{7, 8}));
  }
  EXPECT_EQ(closed(), (Closed{7, 8, 9}));

  g_closed.clear();
  {
    Counted owner(7);
    EXPECT_EQ(owner.release(), 7);
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_TRUE(closed().empty()) << "a released value belongs to the caller";
}

TEST_F(UniqueHandleTest, MovingIntoItselfKeepsTheValue) {
  {
    Counted owner(7);
    Counted& same = owner;
    owner = std::move(same);
    EXPECT_EQ(owner.get(), 7);
    EXPECT_TRUE(closed().empty());
  }
  EXPECT_EQ(closed(), Closed{7});
}

TEST_F(UniqueHandleTest, PutReleasesWhatIsHeldAndOwnsWhatIsWritten) {
  {
    Counted owner(7);
    int* place = owner.put();
    EXPECT_EQ(closed(), Closed{7});
    EXPECT_EQ(*place, 0) << "an out-parameter left unwritten leaves the owner empty";
    *place = 8;
    EXPECT_EQ(owner.get(), 8);
    *owner.put() = 9;
    EXPECT_EQ(closed(), (Closed{7, 8}));
  }
  EXPECT_EQ(closed(), (Closed{7, 8, 9}));
}

TEST_F(UniqueHandleTest, NoResourceValuesAreNeverClosed) {
  for (const int none : {0, -1}) {
    SCOPED_TRACE(none);
    g_closed.clear();
    {
      Counted owner(none);
      EXPECT_FALSE(owner.valid());
      EXPECT_FALSE(owner);
      Counted moved(std::move(owner));
      EXPECT_FALSE(moved);
      moved.reset(none == 0 ? -1 : 0);
      *moved.put() = none;
    }
    EXPECT_TRUE(closed().empty());
  }
}

TEST_F(UniqueHandleTest, ReleasingKeepsTheLastErrorWhenTheTraitsSaySo) {
  // Without the hooks a release may change it, which is what the hooks are for.
  {
    Counted owner(7);
    g_last_error = 2;
    owner.reset();
    EXPECT_EQ(g_last_error, kCloseError);
  }
  // Every path that releases: reset, put, assignment, destruction.
  g_last_error = 2;
  {
    Keeping owner(7);
    owner.reset(8);
    EXPECT_EQ(g_last_error, 2);
    *owner.put() = 9;
    EXPECT_EQ(g_last_error, 2);
    owner = Keeping(10);
    EXPECT_EQ(g_last_error, 2);
  }
  EXPECT_EQ(g_last_error, 2);
  EXPECT_EQ(closed(), (Closed{7, 7, 8, 9, 10}));
}

}  // namespace
}  // namespace corvid
