// The service's control handler, called directly: only Stop is accepted, and all it does is set
// the stop flag.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "host/service.h"

namespace corvid {
namespace {

// SERVICE_CONTROL_PRESHUTDOWN, spelled out in case the SDK headers hide it.
constexpr DWORD kPreshutdown = 15;

struct ControlCase {
  DWORD control;
  const char* name;
};

// Everything but Stop: defined controls the service never accepts, and codes nobody defined.
constexpr ControlCase kRefused[] = {
    {SERVICE_CONTROL_PAUSE, "PAUSE"},
    {SERVICE_CONTROL_CONTINUE, "CONTINUE"},
    {SERVICE_CONTROL_INTERROGATE, "INTERROGATE"},
    {SERVICE_CONTROL_SHUTDOWN, "SHUTDOWN"},
    {SERVICE_CONTROL_PARAMCHANGE, "PARAMCHANGE"},
    {SERVICE_CONTROL_NETBINDADD, "NETBINDADD"},
    {SERVICE_CONTROL_DEVICEEVENT, "DEVICEEVENT"},
    {SERVICE_CONTROL_POWEREVENT, "POWEREVENT"},
    {SERVICE_CONTROL_SESSIONCHANGE, "SESSIONCHANGE"},
    {kPreshutdown, "PRESHUTDOWN"},
    {0, "0 (undefined)"},
    {0x7F, "0x7F (undefined)"},
    {128, "128 (user-defined range)"},
    {255, "255 (user-defined range)"},
    {0x101, "0x101 (stop with a high bit)"},
    {0xFFFFFFFF, "0xFFFFFFFF (undefined)"},
};

class ControlHandlerTest : public ::testing::Test {
 protected:
  DWORD call(DWORD control) {
    int event_data = 0;
    return control_handler(control, 0, &event_data, &share);
  }

  std::shared_ptr<std::atomic<bool>> flag = std::make_shared<std::atomic<bool>>(false);
  // What the service registers as the handler's context.
  std::shared_ptr<std::atomic<bool>> share = flag;
};

TEST_F(ControlHandlerTest, StopSetsTheFlagAndSucceeds) {
  EXPECT_EQ(call(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(flag->load());
  // The handler uses the context's share and neither keeps nor drops one.
  EXPECT_EQ(flag.use_count(), 2);
}

TEST_F(ControlHandlerTest, EveryOtherControlIsNotImplementedAndChangesNothing) {
  for (const ControlCase& c : kRefused) {
    EXPECT_EQ(call(c.control), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << c.name;
    EXPECT_FALSE(flag->load()) << c.name;
  }
  EXPECT_EQ(flag.use_count(), 2);
}

TEST_F(ControlHandlerTest, TheFlagIsNeverResetOnceSet) {
  ASSERT_EQ(call(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  for (const ControlCase& c : kRefused) {
    EXPECT_EQ(call(c.control), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << c.name;
    EXPECT_TRUE(flag->load()) << c.name;
  }
  // A second Stop is accepted as the first was.
  EXPECT_EQ(call(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(flag->load());
}

TEST_F(ControlHandlerTest, EventTypeAndEventDataDoNotMatter) {
  // A stop that comes with event details (none are defined for it) is still a stop.
  int event_data = 0;
  EXPECT_EQ(control_handler(SERVICE_CONTROL_SHUTDOWN, 0xFFFFFFFF, &event_data, &share),
            static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_FALSE(flag->load());
  EXPECT_EQ(control_handler(SERVICE_CONTROL_STOP, 0xFFFFFFFF, nullptr, &share),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(flag->load());
}

}  // namespace
}  // namespace corvid
