#include <gtest/gtest.h>

#include "platform/QuietView.h"
#include "platform/win32/Win32Platform.h"

namespace orv::test::win32 {
namespace {

TEST(Win32Platform, WithHandsOutTheBackEndsItOwns)
{
  orv::win32::Win32Platform owned;
  QuietView view;
  const Platform platform = owned.With(view);
  EXPECT_EQ(&platform.files, &owned.files);
  EXPECT_EQ(&platform.http, &owned.http);
  EXPECT_EQ(&platform.cabinets, &owned.cabinets);
  EXPECT_EQ(&platform.processes, &owned.processes);
  EXPECT_EQ(&platform.view, &view);
}

}  // namespace
}  // namespace orv::test::win32
