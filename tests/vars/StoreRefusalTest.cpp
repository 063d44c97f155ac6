/** @file
  Files the store refuses, through brisvane-vars: every reason reaches the
  user in one line as the store describes it, and the file is left byte for
  byte as it was, whatever the command. (Which file gets which reason is
  StoreCheckTest's.)
**/

#include "../nvram/DamagedStores.h"
#include "TestSupport.h"
#include "vars/cli/StoreCheckText.h"

class VarsRefusalTest : public ::testing::TestWithParam<REFUSAL> {};

INSTANTIATE_TEST_SUITE_P (Damaged, VarsRefusalTest, ::testing::ValuesIn (Refusals), RefusalName);

TEST_P (VarsRefusalTest, FileIsRefusedForItsReasonAndLeftAlone)
{
  BYTES                                 Image = DamagedImage (GetParam ());
  NVRAM_STORE                           Opened;
  SCRATCH_FOLDER                        Folder;
  std::string                           File = Folder.Path + "/vm_VARS.fd";
  char                                  Reason[256];
  std::vector<std::vector<std::string>> Commands = { { "-s", "-exit" } };

  // The refusal comes before the command is looked at: a clear and a query on a file too short
  // for a volume header and on one whose pending write would be completed stand for every reason.
  if ((GetParam ().Check == NvramTruncatedVolumeHeader) ||
      (GetParam ().Check == NvramWriteInProgress)) {
    Commands.insert (Commands.end (), { { "-c" }, { "-g" } });
  }

  ASSERT_EQ (OpenNvramStore (Image.data (), Image.size (), &Opened), GetParam ().Check);
  DescribeNvramStoreCheck (GetParam ().Check, Opened.CheckOffset, Reason, sizeof (Reason));
  // A format the offset did not fill would show its % in the message.
  EXPECT_EQ (strchr (Reason, '%'), nullptr) << Reason;
  WriteFile (File, Image);
  for (const std::vector<std::string> &Words : Commands) {
    VARS_RUN Run = RunVars (File, Words);

    EXPECT_EQ (Run.Code, 65);
    EXPECT_EQ (Run.Out, "");
    EXPECT_EQ (Run.Err, "brisvane-vars: " + File + ": refused: " + Reason + "\n");
    EXPECT_TRUE (ReadFile (File) == Image);
  }
}
