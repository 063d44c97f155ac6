/** @file
  The fixture of every host test: each test gets a fresh machine, and must
  leave no pool buffer and no protocol open behind it.
**/

#ifndef HOST_TEST_H_
#define HOST_TEST_H_

#include "CommandModel.h"

#include <gtest/gtest.h>

class HostTest : public ::testing::Test {
protected:
  void
  SetUp (VOID) override
  {
    HostPlatform::Reset ();
    HostPlatform::SetMisuseHandler ([] (const char *Message) { ADD_FAILURE () << Message; });
  }

  void
  TearDown (VOID) override
  {
    EXPECT_EQ (HostPlatform::LiveBuffers (), 0u) << "pool buffers left behind";
    EXPECT_EQ (HostPlatform::OpenProtocolEntries (), 0u) << "protocols left open";
    HostPlatform::Reset ();
  }
};

#endif
